// SPDX-License-Identifier: LGPL-2.1-or-later
// The interactive charts of report.html, drawn with uPlot from the data in
// report_data.js (window.veltraxReport): per group of runs (a scenario, or a
// scenario's runs under one controller) the 5-95 % band and the median of y
// and u with the set-point, and one run chosen from a list on top; per
// metric a histogram. Drag across a chart to zoom in, double-click to zoom
// out; the legend shows the values under the pointer. When everything is
// drawn, body[data-charts] holds the number of charts.
(function () {
  "use strict";

  var report = window.veltraxReport;
  var colours = {
    band_y: "rgba(33, 113, 181, 0.25)", median_y: "#08306b",
    band_u: "rgba(230, 85, 13, 0.25)", median_u: "#7f2704",
    setpoint: "#000000", run: "#d62728", bars: "#4a6fa5"
  };

  function el(tag, attrs, text) {
    var e = document.createElement(tag);
    Object.keys(attrs || {}).forEach(function (k) { e.setAttribute(k, attrs[k]); });
    if (text !== undefined) e.textContent = text;
    return e;
  }

  function width(box) { return Math.max(320, Math.min(box.clientWidth || 900, 1100)); }

  function number(v) { return v === null || v === undefined ? "–" : Number(v).toPrecision(4); }

  // The series of one signal ("y" or "u") of a group, with the chosen run.
  function signal(group, name, run) {
    var d = group[name];
    var data = [group.t, d[0], d[2], d[1], run ? run[name] : group.t.map(function () { return null; })];
    var series = [
      { label: "time" },
      { label: "5 %", stroke: colours["band_" + name], width: 1, value: function (u, v) { return number(v); } },
      { label: "95 %", stroke: colours["band_" + name], width: 1, value: function (u, v) { return number(v); } },
      { label: "median", stroke: colours["median_" + name], width: 2, value: function (u, v) { return number(v); } },
      { label: run ? run.label : "(no run chosen)", stroke: colours.run, width: 1.5, show: !!run,
        value: function (u, v) { return number(v); } }
    ];
    if (name === "y") {
      data.push(group.setpoint);
      series.push({ label: "set-point", stroke: colours.setpoint, width: 1.5, dash: [6, 4],
                    paths: uPlot.paths.stepped({ align: 1 }), value: function (u, v) { return number(v); } });
    }
    return { data: data, series: series };
  }

  function trajectoryChart(box, group, name, run, sync) {
    var s = signal(group, name, run);
    var opts = {
      title: (name === "y" ? "Measured output y" : "Control u") + ": " + group.title + " (" + group.runs + " runs)",
      width: width(box), height: 300,
      scales: { x: { time: false } },
      series: s.series,
      bands: [{ series: [2, 1], fill: colours["band_" + name] }],
      axes: [{ label: "time t (as recorded; minutes for the built-in model)" },
             { label: name === "y" ? "measured output y (0 to 1)" : "control u", size: 60 }],
      cursor: { sync: { key: sync } }
    };
    return new uPlot(opts, s.data, box);
  }

  function trajectories(root) {
    if (!report.groups.length) return 0;
    var section = el("section", { id: "trajectories" });
    section.appendChild(el("h2", {}, "Output and control over the runs (interactive)"));
    var controls = el("p", { class: "controls" });
    var groupSelect = el("select", { id: "group" });
    report.groups.forEach(function (g, i) { groupSelect.appendChild(el("option", { value: i }, g.title)); });
    var runSelect = el("select", { id: "run" });
    controls.appendChild(el("label", { for: "group" }, "Scenario / controller: "));
    controls.appendChild(groupSelect);
    controls.appendChild(el("label", { for: "run" }, " Run shown over the band: "));
    controls.appendChild(runSelect);
    section.appendChild(controls);
    section.appendChild(el("p", { class: "note" },
      "The shaded band holds 90 % of the runs at each sample (5 to 95 %), the thick line is their median. " +
      "Drag across a chart to zoom in, double-click to zoom out; the legend shows the values under the pointer."));
    var yBox = el("div", { class: "chart", id: "chart-y" });
    var uBox = el("div", { class: "chart", id: "chart-u" });
    section.appendChild(yBox);
    section.appendChild(uBox);
    root.appendChild(section);
    var charts = [];

    function draw() {
      var group = report.groups[Number(groupSelect.value)];
      var run = runSelect.value === "" ? null : group.individuals[Number(runSelect.value)];
      charts.forEach(function (c) { c.destroy(); });
      charts = [trajectoryChart(yBox, group, "y", run, "trajectories"),
                trajectoryChart(uBox, group, "u", run, "trajectories")];
    }
    function fillRuns() {
      var group = report.groups[Number(groupSelect.value)];
      runSelect.innerHTML = "";
      runSelect.appendChild(el("option", { value: "" }, "none"));
      group.individuals.forEach(function (r, i) { runSelect.appendChild(el("option", { value: i }, r.label)); });
      if (group.individuals.length) runSelect.value = "0";
      draw();
    }
    groupSelect.addEventListener("change", fillRuns);
    runSelect.addEventListener("change", draw);
    fillRuns();
    return 2;
  }

  function histogram(box, m) {
    var opts = {
      title: m.title + " (" + m.calls + " calls" + (m.nan ? ", " + m.nan + " NaN not shown" : "") + ")",
      width: Math.min(width(box), 520), height: 240,
      scales: { x: { time: false } },
      series: [{ label: m.axis, value: function (u, v) { return number(v); } },
               { label: "calls", stroke: colours.bars, fill: colours.bars,
                 paths: uPlot.paths.bars({ size: [0.95, Infinity] }), points: { show: false } }],
      axes: [{ label: m.axis }, { label: "calls", size: 50 }],
      legend: { show: true }
    };
    return new uPlot(opts, [m.centers, m.counts], box);
  }

  function metrics(root) {
    if (!report.metrics.length) return 0;
    var section = el("section", { id: "metric-charts" });
    section.appendChild(el("h2", {}, "Metrics over all calls (interactive)"));
    var grid = el("div", { class: "grid" });
    section.appendChild(grid);
    root.appendChild(section);
    report.metrics.forEach(function (m) {
      var box = el("div", { class: "chart histogram" });
      grid.appendChild(box);
      histogram(box, m);
    });
    return report.metrics.length;
  }

  function start() {
    var root = document.getElementById("interactive");
    try {
      var drawn = trajectories(root) + metrics(root);
      document.body.setAttribute("data-charts", String(drawn));
    } catch (e) {
      root.appendChild(el("p", { class: "error" }, "The interactive charts could not be drawn: " + e));
      document.body.setAttribute("data-charts", "failed");
      throw e;
    }
  }

  if (document.readyState === "loading") document.addEventListener("DOMContentLoaded", start);
  else start();
})();
