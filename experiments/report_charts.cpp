// SPDX-License-Identifier: LGPL-2.1-or-later
// The report's interactive charts: report_assets/ and report_data.js, which
// report_assets/report.js draws in the page.
#include <cmath>
#include <set>
#include <string_view>

#include <nlohmann/json.hpp>

#include "experiments/files.hpp"
#include "experiments/labels.hpp"
#include "experiments/report_assets.hpp"
#include "experiments/report_parts.hpp"

namespace veltrax::experiments::report_parts {

namespace fs = std::filesystem;
using ojson = nlohmann::ordered_json;

namespace {

ojson number(double v) { return std::isfinite(v) ? ojson(v) : ojson(nullptr); }

ojson numbers(const std::vector<double>& v) {
    ojson a = ojson::array();
    for (double x : v) a.push_back(number(x));
    return a;
}

// Column `c` of the group's rows.
ojson column(const BandGroup& g, std::size_t c) {
    ojson a = ojson::array();
    for (const BandRow& r : g.rows) a.push_back(number(r[c]));
    return a;
}

ojson group_json(const BandGroup& g, const std::set<std::string>& worst) {
    ojson j;
    j["title"] = g.title;
    j["runs"] = g.runs;
    j["selected"] = g.sampled;
    j["t"] = column(g, 0);
    j["setpoint"] = column(g, 1);
    j["y"] = {column(g, 2), column(g, 3), column(g, 4)};
    j["u"] = {column(g, 5), column(g, 6), column(g, 7)};
    ojson runs = ojson::array();
    for (const FirstCall& c : g.listed) {
        const bool among_worst = worst.count(c.run) > 0;
        runs.push_back({{"label", c.run + (among_worst ? " (among the worst)" : "")}, {"y", numbers(c.y)}, {"u", numbers(c.u)}});
    }
    j["individuals"] = runs;
    return j;
}

ojson metric_json(const Histogram& h) {
    const MetricRange& m = *h.range;
    ojson j;
    j["name"] = m.metric;
    j["title"] = column_label(m.metric).title;
    j["axis"] = axis_title(m.metric);
    j["calls"] = m.count;
    j["nan"] = m.not_finite;
    ojson centers = ojson::array(), counts = ojson::array();
    for (std::size_t b = 0; b < h.bins; ++b) {
        centers.push_back(number(h.center(b)));
        counts.push_back(h.count[b]);
    }
    j["centers"] = centers;
    j["counts"] = counts;
    return j;
}

}  // namespace

bool write_charts(const ReportFolder& folder, const SweepStatistics& stats, const std::vector<Histogram>& bins,
                  std::vector<std::string>& files) {
    const std::vector<ReportAsset>& assets = report_assets();
    if (assets.empty()) return false;
    const fs::path dir = folder.work / "report_assets";
    std::error_code ec;
    fs::create_directory(dir, ec);
    if (ec) write_failed(folder.outdir / "report_assets", ec.message());
    const auto write = [&](const std::string& name, std::string_view text) {
        const std::string file = "report_assets/" + name;
        OutputFile f(folder.work / file, folder.outdir / file, OutputFile::Mode::fresh);
        f << text;
        f.close(false);
        files.push_back(file);
    };
    for (const ReportAsset& a : assets) write(std::string(a.name), a.text);
    std::set<std::string> worst;
    for (const WorstCall& w : stats.worst) worst.insert(w.folder);
    ojson data;
    data["groups"] = ojson::array();
    for (const BandGroup& g : stats.groups)
        if (!g.rows.empty()) data["groups"].push_back(group_json(g, worst));
    data["metrics"] = ojson::array();
    for (const Histogram& h : bins) data["metrics"].push_back(metric_json(h));
    write("report_data.js",
          "window.veltraxReport = " + data.dump(-1, ' ', false, ojson::error_handler_t::replace) + ";\n");
    return true;
}

std::string charts_section(bool charts) {
    if (!charts)
        return "<p class=\"note\">This build of the tool has no interactive charts (it was built without the "
               "charting library from npm); the plots below are the PNG files.</p>\n";
    std::string h = "<link rel=\"stylesheet\" href=\"report_assets/uPlot.min.css\">\n"
                    "<link rel=\"stylesheet\" href=\"report_assets/report.css\">\n"
                    "<div id=\"interactive\"></div>\n";
    for (const char* script : {"uPlot.iife.min.js", "report_data.js", "report.js"})
        h += std::string("<script src=\"report_assets/") + script + "\"></script>\n";
    return h;
}

}  // namespace veltrax::experiments::report_parts
