// SPDX-License-Identifier: LGPL-2.1-or-later
#include "experiments/report_comparison.hpp"

#include <cmath>
#include <cstdlib>

#include "experiments/format.hpp"
#include "experiments/gnuplot.hpp"
#include "experiments/sweep_table.hpp"

namespace veltrax::experiments::report_parts {

namespace fs = std::filesystem;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// A metric field of sweep.csv: empty (none) and NaN as NaN.
double field_value(const std::string& f) {
    if (f.empty() || f == "NaN") return kNaN;
    if (f == "Inf") return HUGE_VAL;
    if (f == "-Inf") return -HUGE_VAL;
    char* end = nullptr;
    const double v = std::strtod(f.c_str(), &end);
    return end && *end == '\0' ? v : kNaN;
}

// The compared metrics of a row of sweep.csv, as compared_values gives them.
std::vector<double> row_values(const std::vector<std::string>& row) {
    std::vector<double> v;
    for (const ComparedMetric& m : compared_metrics()) v.push_back(field_value(row[sweep_column(m.name)]));
    const std::size_t settling = 4;  // a change that never settled
    if (std::isnan(v[settling]) && field_value(row[sweep_column("steps")]) > 0) v[settling] = HUGE_VAL;
    return v;
}

// A metric's name and its unit: "iae [recorded time x y]".
std::string with_unit(const std::string& metric) {
    const std::string unit = sweep_column_unit(metric);
    return unit.empty() ? metric : metric + " [" + unit + "]";
}

std::string band_fields(const Band& b) {
    if (b.n == 0) return ",,,0";
    return format_number(b.p5) + "," + format_number(b.p50) + "," + format_number(b.p95) + "," + std::to_string(b.n);
}

std::string cell(const Band& b) {
    if (b.n == 0) return "<td></td>";
    return "<td>" + format_short(b.p50) + " [" + format_short(b.p5) + ", " + format_short(b.p95) + "]</td>";
}

std::string group_table(const ComparisonEntry& e, const std::vector<MetricComparison>& result) {
    const std::vector<std::string>& c = e.controllers;
    std::string h = "<table><tr><th class=\"l\">metric</th>";
    for (const std::string& name : c) h += "<th>" + html_escaped(name) + "</th>";
    for (std::size_t k = 1; k < c.size(); ++k) h += "<th>" + html_escaped(c[k] + " \xe2\x88\x92 " + c[0]) + "</th>";
    h += "<th class=\"l\">wins</th></tr>\n";
    for (const MetricComparison& m : result) {
        if (m.values[0].n == 0) continue;  // a metric none of these runs has
        h += "<tr><td class=\"l\">" + html_escaped(with_unit(m.metric)) + "</td>";
        for (const Band& b : m.values) h += cell(b);
        for (std::size_t k = 1; k < c.size(); ++k) h += cell(m.differences[k]);
        std::string wins;
        for (std::size_t k = 0; k < c.size(); ++k)
            wins += (k ? ", " : "") + html_escaped(c[k]) + " " + std::to_string(m.wins[k]);
        h += "<td class=\"l\">" + wins + " of " + std::to_string(m.contested) + "</td></tr>\n";
    }
    return h + "</table>\n";
}

// A gnuplot string in single quotes.
std::string gp_string(const std::string& s) {
    std::string o = "'";
    for (char c : s) o += c == '\'' ? std::string("''") : std::string(1, c == '\n' ? ' ' : c);
    return o + "'";
}

// Paired differences from the reference: a panel per metric with any, the
// median and 5-95 % of each other controller against a line at 0.
std::string group_plot(const ComparisonEntry& e, const std::vector<MetricComparison>& result, std::size_t index,
                       std::vector<std::string>& pngs) {
    std::vector<std::size_t> shown;  // metrics with differences
    for (std::size_t k = 0; k < result.size(); ++k)
        for (std::size_t c = 1; c < result[k].differences.size(); ++c)
            if (result[k].differences[c].n > 0) {
                shown.push_back(k);
                break;
            }
    if (shown.empty()) return "";
    const std::string png = "report_comparison_" + std::to_string(index) + ".png";
    const std::size_t cols = shown.size() <= 4 ? shown.size() : (shown.size() + 1) / 2;
    const std::size_t rows = (shown.size() + cols - 1) / cols;
    std::string gp = "set output '" + png + "'\nset multiplot layout " + std::to_string(rows) + "," +
                     std::to_string(cols) + " title " + gp_string(e.name + ": paired difference from " +
                                                                  e.controllers[0] + ", median and 5-95 %") + "\n";
    for (std::size_t p = 0; p < shown.size(); ++p) {
        const MetricComparison& m = result[shown[p]];
        const std::string block = "$cmp" + std::to_string(index) + "_" + std::to_string(p + 1);
        gp += block + " << EOD\n";
        for (std::size_t c = 1; c < e.controllers.size(); ++c) {
            const Band& b = m.differences[c];
            if (b.n > 0 && std::isfinite(b.p5) && std::isfinite(b.p95))
                gp += std::to_string(c) + " " + format_number(b.p50) + " " + format_number(b.p5) + " " +
                      format_number(b.p95) + "\n";
        }
        const ComparedMetric& kind = compared_metrics()[shown[p]];
        const char* better = kind.higher_is_better ? "higher is better" : kind.by_magnitude ? "nearer 0 is better"
                                                                                              : "lower is better";
        gp += "EOD\nset title " + gp_string(with_unit(m.metric) + " (" + better + ")") + "\nset xtics (";
        for (std::size_t c = 1; c < e.controllers.size(); ++c)
            gp += (c > 1 ? ", " : "") + gp_string(e.controllers[c]) + " " + std::to_string(c);
        gp += ")\nset xrange [0.5:" + std::to_string(e.controllers.size() - 1) + ".5]\nplot 0 with lines lc rgb "
              "'black', " + block + " using 1:2:3:4 with yerrorbars pt 7 ps 1.5 lw 2 lc rgb '#08519c'\n";
    }
    pngs.push_back(png);
    return gp + "unset multiplot\nset xtics autofreq\nset xrange [*:*]\n";
}

}  // namespace

ComparisonPart::ComparisonPart(fs::path outdir) : outdir_(std::move(outdir)) {
    std::error_code ec;
    if (!fs::exists(outdir_ / "sweep.json", ec)) return;
    const SweepManifest manifest = read_manifest(outdir_);
    for (const ComparisonEntry& e : manifest.comparisons) {
        Group g;
        g.entry = e;
        g.values.resize(e.controllers.size());
        for (std::size_t c = 0; c < e.controllers.size(); ++c)
            runs_[e.name + "@" + e.controllers[c]] = {groups_.size(), c};
        groups_.push_back(std::move(g));
    }
}

void ComparisonPart::add(const RunEntry& run) {
    const auto at = runs_.find(run.scenario);
    if (at == runs_.end() || run.status != Status::ok) return;
    Group& g = groups_[at->second.first];
    for (const std::vector<std::string>& row : run.rows) {
        const auto [unit, added] = g.units.emplace(std::make_pair(run.individual, row[sweep_column("call")]), g.units.size());
        if (added)
            for (auto& controller : g.values) controller.emplace_back();
        g.values[at->second.second][unit->second] = row_values(row);
    }
}

std::string ComparisonPart::write(const ReportFolder& folder, bool plots, std::vector<std::string>& files) {
    if (groups_.empty()) return "";
    OutputFile file(folder.work / "comparison.csv", folder.outdir / "comparison.csv", OutputFile::Mode::fresh);
    file << "comparison,metric,unit,controller,p5,p50,p95,n,difference_p5,difference_p50,difference_p95,difference_n,"
            "wins,contested\n";
    std::string h = "<h2>Comparisons of controllers</h2>\n<p>Each metric over the runs of each controller: median "
                    "[5 %, 95 %]; the paired differences from the first controller over the individuals (and calls) "
                    "that both ran; and on how many the controller alone is best (lower is better, but time in band; "
                    "the smaller magnitude for mdpe and divergence; a change that never settled counts as the longest "
                    "settling time). Every number: <a href=\"comparison.csv\">comparison.csv</a>.</p>\n";
    std::vector<std::string> pngs;
    std::string gp;
    for (std::size_t i = 0; i < groups_.size(); ++i) {
        Group& g = groups_[i];
        g.result = compare_values(g.values);
        for (const MetricComparison& m : g.result)
            for (std::size_t c = 0; c < g.entry.controllers.size(); ++c)
                file << csv_field(g.entry.name) << "," << m.metric << "," << csv_field(sweep_column_unit(m.metric)) << ","
                     << csv_field(g.entry.controllers[c]) << ","
                     << band_fields(m.values[c]) << ","
                     << (c == 0 ? std::string(",,,") : band_fields(m.differences[c])) << ","
                     << std::to_string(m.wins[c]) << "," << std::to_string(m.contested) << "\n";
        h += "<h3>" + html_escaped(g.entry.name) + ": " + std::to_string(g.units.size()) + " individuals and calls</h3>\n";
        h += group_table(g.entry, g.result);
        if (plots && g.entry.controllers.size() > 1) {
            gp += group_plot(g.entry, g.result, i + 1, pngs);
            h += "<img src=\"report_comparison_" + std::to_string(i + 1) + ".png\" alt=\"paired differences\">\n";
        }
    }
    file.close(false);
    files.push_back("comparison.csv");
    if (gp.empty()) return h;
    OutputFile script(folder.work / "report_comparison.gp", folder.outdir / "report_comparison.gp",
                      OutputFile::Mode::fresh);
    script << "# Paired differences of the comparisons: gnuplot report_comparison.gp\n"
              "set terminal pngcairo size 1200,700 noenhanced\nset grid\nunset key\n"
           << gp << "set output\n";
    script.close(false);
    files.push_back("report_comparison.gp");
    files.insert(files.end(), pngs.begin(), pngs.end());
    plot_pending_ = true;
    return h;
}

void ComparisonPart::plot(const ReportFolder& folder, const Cancel& cancel) {
    if (!plot_pending_) return;
    plot_pending_ = false;
    GnuplotRun run{folder.work, "report_comparison.gp", "report_comparison_gnuplot.log", folder.outdir,
                   "install gnuplot or use --no-plots"};
    run.cancelled = cancel.cancelled;
    run.cancel_context = cancel.context;
    run_gnuplot(run);
}

}  // namespace veltrax::experiments::report_parts
