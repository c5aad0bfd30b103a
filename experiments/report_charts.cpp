// SPDX-License-Identifier: LGPL-2.1-or-later
// The report's interactive charts: report_assets/ and report_data.js, which
// report_assets/report.js draws in the page.
#include <algorithm>
#include <cmath>
#include <set>

#include <nlohmann/json.hpp>

#include "experiments/labels.hpp"
#include "experiments/report_assets.hpp"
#include "experiments/report_parts.hpp"

namespace veltrax::experiments::report_parts {

namespace fs = std::filesystem;
using ojson = nlohmann::ordered_json;

namespace {

// Runs of a group offered in the page's list: its first ones, and those
// among the worst calls.
constexpr std::size_t kFirstRunsListed = 20;

ojson number(double v) { return std::isfinite(v) ? ojson(v) : ojson(nullptr); }

ojson numbers(const std::vector<double>& v) {
    ojson a = ojson::array();
    for (double x : v) a.push_back(number(x));
    return a;
}

double quantile_of_sorted(const std::vector<double>& sorted, double p) {
    if (sorted.empty()) return NAN;
    const double h = static_cast<double>(sorted.size() - 1) * p;
    const std::size_t lo = static_cast<std::size_t>(std::floor(h));
    if (lo + 1 >= sorted.size()) return sorted.back();
    return sorted[lo] + (h - static_cast<double>(lo)) * (sorted[lo + 1] - sorted[lo]);
}

// 5, 50 and 95 % of `signal` of the group's runs at each sample.
ojson band(const BandGroup& g, std::vector<double> FirstCall::*signal) {
    ojson q = {ojson::array(), ojson::array(), ojson::array()};
    std::vector<double> v;
    for (std::size_t i = 0; i < g.calls.front().t.size(); ++i) {
        v.clear();
        for (const FirstCall& c : g.calls)
            if (std::isfinite((c.*signal)[i])) v.push_back((c.*signal)[i]);
        std::sort(v.begin(), v.end());
        for (int k = 0; k < 3; ++k) q[k].push_back(number(quantile_of_sorted(v, k == 0 ? 0.05 : k == 1 ? 0.5 : 0.95)));
    }
    return q;
}

ojson group_json(const BandGroup& g, const std::set<std::string>& worst) {
    const FirstCall& first = g.calls.front();
    ojson j;
    j["title"] = g.title;
    j["runs"] = g.runs;
    j["selected"] = g.calls.size();
    j["t"] = numbers(first.t);
    j["setpoint"] = numbers(first.setpoint);
    j["y"] = band(g, &FirstCall::y);
    j["u"] = band(g, &FirstCall::u);
    ojson runs = ojson::array();
    for (std::size_t i = 0; i < g.calls.size(); ++i) {
        const FirstCall& c = g.calls[i];
        const bool among_worst = worst.count(c.run) > 0;
        if (i >= kFirstRunsListed && !among_worst) continue;
        runs.push_back({{"label", c.run + (among_worst ? " (among the worst)" : "")}, {"y", numbers(c.y)}, {"u", numbers(c.u)}});
    }
    j["individuals"] = runs;
    return j;
}

ojson metric_json(const MetricValues& m) {
    const Histogram h = histogram_of(m.values);
    ojson j;
    j["name"] = m.metric;
    j["title"] = column_label(m.metric).title;
    j["axis"] = axis_title(m.metric);
    j["calls"] = m.values.size();
    j["nan"] = m.not_finite;
    j["centers"] = numbers(h.centers);
    ojson counts = ojson::array();
    for (std::size_t c : h.counts) counts.push_back(c);
    j["counts"] = counts;
    return j;
}

}  // namespace

bool write_charts(const fs::path& outdir, const SweepStatistics& stats, std::vector<std::string>& written) {
    const std::vector<ReportAsset>& assets = report_assets();
    if (assets.empty()) return false;
    const fs::path dir = outdir / "report_assets";
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec) write_failed(dir, ec.message());
    for (const ReportAsset& a : assets) {
        OutputFile f(dir / std::string(a.name));
        f << a.text;
        f.close();
        written.push_back((dir / std::string(a.name)).string());
    }
    std::set<std::string> worst;
    for (const WorstCall& w : stats.worst) worst.insert(w.folder);
    ojson data;
    data["groups"] = ojson::array();
    for (const BandGroup& g : stats.groups)
        if (!g.calls.empty()) data["groups"].push_back(group_json(g, worst));
    data["metrics"] = ojson::array();
    for (const MetricValues& m : stats.distributions) data["metrics"].push_back(metric_json(m));
    OutputFile f(dir / "report_data.js");
    f << "window.veltraxReport = " << data.dump(-1, ' ', false, ojson::error_handler_t::replace) << ";\n";
    f.close();
    written.push_back((dir / "report_data.js").string());
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
