// SPDX-License-Identifier: LGPL-2.1-or-later
// The report's plots: report.gp with the data inline, run by gnuplot.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>

#include "experiments/format.hpp"
#include "experiments/gnuplot.hpp"
#include "experiments/labels.hpp"
#include "experiments/report_parts.hpp"
#include "experiments/sweep_table.hpp"

namespace veltrax::experiments::report_parts {

namespace fs = std::filesystem;

// A gnuplot string in single quotes.
std::string gp_string(const std::string& s) {
    std::string o = "'";
    for (char c : s) {
        if (c == '\'')
            o += "''";
        else if (c == '\n' || c == '\r')
            o += ' ';
        else
            o += c;
    }
    return o + "'";
}

namespace {

constexpr const char* kTimeAxis = "time t (as recorded; minutes for the built-in model)";

// Per sample: t, the set-point of the group's first run, and 5, 50 and 95 %
// of y and of u over its runs.
std::string band_block(const BandGroup& g, const std::string& block) {
    std::string gp = block + " << EOD\n# t setpoint y5 y50 y95 u5 u50 u95\n";
    for (const BandRow& row : g.rows) {
        for (std::size_t j = 0; j < row.size(); ++j) gp += (j ? " " : "") + format_number(row[j]);
        gp += "\n";
    }
    return gp + "EOD\n";
}

// Shaded windows of the disturbances and changes, within the time plotted
// (a window is "finite" in JSON; an endless one stops at the last sample).
std::string disturbance_marks(const BandGroup& g) {
    if (g.rows.empty()) return "";
    std::string gp;
    int n = 0;
    for (const auto& [start, end] : g.disturbances) {
        const double to = std::min(end, g.rows.back()[0]);
        if (!(to > start) || !std::isfinite(start)) continue;
        gp += "set object " + std::to_string(++n) + " rect from first " + format_number(start) + ", graph 0 to first " +
              format_number(to) + ", graph 1 behind fc rgb '#eeeeee' fs solid noborder\n";
    }
    return gp;
}

}  // namespace

Histogram::Histogram(const MetricRange& r) : range(&r), column(sweep_column(r.metric)) {
    const double lo = r.lo, hi = r.hi;
    bins = lo == hi ? 1 : 20;
    width = lo == hi ? (lo == 0.0 ? 1.0 : std::fabs(lo) * 0.1) : (hi - lo) / static_cast<double>(bins);
    count.assign(bins, 0);
}

void Histogram::add(double x) {
    const std::size_t b = range->lo == range->hi ? 0 : static_cast<std::size_t>((x - range->lo) / width);
    ++count[std::min(b, bins - 1)];
}

double Histogram::center(std::size_t b) const {
    return range->lo == range->hi ? range->lo : range->lo + (static_cast<double>(b) + 0.5) * width;
}

std::vector<Histogram> histograms(const fs::path& table, const SweepStatistics& stats, const Cancel& cancel) {
    std::vector<Histogram> h;
    for (const MetricRange& r : stats.distributions) h.emplace_back(r);
    CsvReader reader(table);
    std::vector<std::string> row;
    reader.next(row);  // the header
    const std::size_t samples = sweep_column("samples");
    for (std::size_t n = 1; reader.next(row); ++n) {
        if (n % 4096 == 0) cancel.check();
        if (row.size() <= samples || row[samples].empty()) continue;  // no call ran
        for (Histogram& m : h) {
            double v = std::numeric_limits<double>::quiet_NaN();
            const std::string& f = row[m.column];
            if (!f.empty()) std::from_chars(f.data(), f.data() + f.size(), v);
            if (std::isfinite(v)) m.add(v);
        }
    }
    return h;
}

namespace {

std::string histogram_block(const Histogram& h, const std::string& name) {
    std::string gp = name + " << EOD\n";
    for (std::size_t b = 0; b < h.bins; ++b)
        gp += format_number(h.center(b)) + " " + std::to_string(h.count[b]) + " " + format_number(h.width) + "\n";
    return gp + "EOD\n";
}

std::string band_plots(const SweepStatistics& stats, std::vector<std::string>& pngs) {
    std::string gp;
    for (std::size_t g = 0; g < stats.groups.size(); ++g) {
        const std::string block = "$band" + std::to_string(g + 1);
        gp += band_block(stats.groups[g], block);
        const std::string png = "report_band_" + std::to_string(g + 1) + ".png";
        const BandGroup& group = stats.groups[g];
        gp += "set output '" + png + "'\n" + disturbance_marks(group) + "set multiplot layout 2,1 title " +
              gp_string(group.title + ": 5-95 % and median of " + std::to_string(group.sampled) + " runs" +
                        (group.sampled < group.runs ? " (a sample of " + std::to_string(group.runs) + ")" : std::string())) + "\n"
              "set ylabel 'measured output y (0 to 1)'\nplot " + block + " using 1:3:5 with filledcurves fc rgb '#c6dbef' title '5-95 %', \\\n"
              "     " + block + " using 1:4 with lines lw 2 lc rgb '#08519c' title 'median', \\\n"
              "     " + block + " using 1:2 with steps lc rgb 'black' title 'set-point'\n"
              "set ylabel 'control u'\nset xlabel " + gp_string(kTimeAxis) + "\nplot " + block +
              " using 1:6:8 with filledcurves fc rgb '#fdd0a2' title '5-95 %', \\\n"
              "     " + block + " using 1:7 with lines lw 2 lc rgb '#a63603' title 'median'\n"
              "unset multiplot\nunset xlabel\nunset ylabel\nunset object\n\n";
        pngs.push_back(png);
    }
    return gp;
}

std::string metric_histograms(const std::vector<Histogram>& d, std::vector<std::string>& pngs) {
    if (d.empty()) return "";
    const std::size_t n = d.size();
    const std::size_t cols = n <= 4 ? 2 : 3;
    const std::size_t rows = (n + cols - 1) / cols;
    std::string gp;
    for (std::size_t i = 0; i < n; ++i) gp += histogram_block(d[i], "$metric" + std::to_string(i + 1));
    gp += "set output 'report_metrics.png'\nset terminal pngcairo size 1200," + std::to_string(300 * rows) +
          " noenhanced\nset multiplot layout " + std::to_string(rows) + "," + std::to_string(cols) +
          "\nset style fill solid 0.6\nset yrange [0:*]\nunset key\n";
    for (std::size_t i = 0; i < n; ++i) {
        const MetricRange& r = *d[i].range;
        std::string title = column_label(r.metric).title + " (" + std::to_string(r.count) + " calls";
        if (r.not_finite) title += ", " + std::to_string(r.not_finite) + " NaN not shown";
        gp += "set title " + gp_string(title + ")") + "\nset xlabel " + gp_string(axis_title(r.metric)) +
              "\nset ylabel 'calls'\nplot $metric" + std::to_string(i + 1) +
              " using 1:2:3 with boxes lc rgb '#4a6fa5'\n";
    }
    gp += "unset multiplot\nunset xlabel\nunset ylabel\n";
    pngs.push_back("report_metrics.png");
    return gp;
}

}  // namespace

void write_plots(const ReportFolder& folder, const SweepStatistics& stats, const std::vector<Histogram>& bins,
                 const Cancel& cancel, std::vector<std::string>& pngs) {
    std::string gp = "# Plots of the sweep report: gnuplot report.gp\n"
                     "set terminal pngcairo size 1000,750 noenhanced\nset grid\nset key below horizontal\nset lmargin 10\n\n";
    gp += band_plots(stats, pngs);
    gp += metric_histograms(bins, pngs);
    gp += "set output\n";
    OutputFile file(folder.work / "report.gp", folder.outdir / "report.gp", OutputFile::Mode::fresh);
    file << gp;
    file.close(false);
    GnuplotRun run{folder.work, "report.gp", "report_gnuplot.log", folder.outdir, "install gnuplot or use --no-plots"};
    run.cancelled = cancel.cancelled;
    run.cancel_context = cancel.context;
    run_gnuplot(run);
}

}  // namespace veltrax::experiments::report_parts
