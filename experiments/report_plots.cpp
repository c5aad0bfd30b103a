// SPDX-License-Identifier: LGPL-2.1-or-later
// The report's plots: report.gp with the data inline, run by gnuplot.
#include <algorithm>
#include <cmath>
#include <limits>

#include "experiments/format.hpp"
#include "experiments/gnuplot.hpp"
#include "experiments/labels.hpp"
#include "experiments/report_parts.hpp"

namespace veltrax::experiments::report_parts {

namespace fs = std::filesystem;

namespace {

constexpr const char* kTimeAxis = "time t (as recorded; minutes for the built-in model)";

// p-quantile of sorted values: linear between the order statistics at (n - 1) p.
double quantile(const std::vector<double>& sorted, double p) {
    if (sorted.empty()) return std::numeric_limits<double>::quiet_NaN();
    const double h = static_cast<double>(sorted.size() - 1) * p;
    const std::size_t lo = static_cast<std::size_t>(std::floor(h));
    if (lo + 1 >= sorted.size()) return sorted.back();
    return sorted[lo] + (h - static_cast<double>(lo)) * (sorted[lo + 1] - sorted[lo]);
}

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

// Per sample: t, the set-point of the group's first run, and 5, 50 and 95 %
// of y and of u over its runs.
std::string band_block(const BandGroup& g, const std::string& block) {
    const FirstCall& first = g.calls.front();
    std::string gp = block + " << EOD\n# t setpoint y5 y50 y95 u5 u50 u95\n";
    std::vector<double> y, u;
    for (std::size_t i = 0; i < first.t.size(); ++i) {
        y.clear();
        u.clear();
        for (const FirstCall& c : g.calls) {
            if (std::isfinite(c.y[i])) y.push_back(c.y[i]);
            if (std::isfinite(c.u[i])) u.push_back(c.u[i]);
        }
        std::sort(y.begin(), y.end());
        std::sort(u.begin(), u.end());
        gp += format_number(first.t[i]) + " " + format_number(first.setpoint[i]);
        for (const std::vector<double>* v : {&y, &u})
            for (double p : {0.05, 0.5, 0.95}) gp += " " + format_number(quantile(*v, p));
        gp += "\n";
    }
    return gp + "EOD\n";
}

std::string histogram_block(const std::string& block, const std::vector<double>& v) {
    const Histogram h = histogram_of(v);
    std::string gp = block + " << EOD\n";
    for (std::size_t b = 0; b < h.counts.size(); ++b)
        gp += format_number(h.centers[b]) + " " + std::to_string(h.counts[b]) + " " + format_number(h.width) + "\n";
    return gp + "EOD\n";
}

std::string band_plots(const SweepStatistics& stats, const fs::path& outdir, std::vector<std::string>& written) {
    std::string gp;
    for (std::size_t g = 0; g < stats.groups.size(); ++g) {
        const std::string block = "$band" + std::to_string(g + 1);
        gp += band_block(stats.groups[g], block);
        const std::string png = "report_band_" + std::to_string(g + 1) + ".png";
        const BandGroup& group = stats.groups[g];
        gp += "set output '" + png + "'\nset multiplot layout 2,1 title " +
              gp_string(group.title + ": 5-95 % and median of " + std::to_string(group.runs) + " runs") + "\n"
              "set ylabel 'measured output y (0 to 1)'\nplot " + block + " using 1:3:5 with filledcurves fc rgb '#c6dbef' title '5-95 %', \\\n"
              "     " + block + " using 1:4 with lines lw 2 lc rgb '#08519c' title 'median', \\\n"
              "     " + block + " using 1:2 with steps lc rgb 'black' title 'set-point'\n"
              "set ylabel 'control u'\nset xlabel " + gp_string(kTimeAxis) + "\nplot " + block +
              " using 1:6:8 with filledcurves fc rgb '#fdd0a2' title '5-95 %', \\\n"
              "     " + block + " using 1:7 with lines lw 2 lc rgb '#a63603' title 'median'\n"
              "unset multiplot\nunset xlabel\nunset ylabel\n\n";
        written.push_back((outdir / png).string());
    }
    return gp;
}

std::string metric_histograms(const SweepStatistics& stats, const fs::path& outdir, std::vector<std::string>& written) {
    const std::vector<MetricValues>& d = stats.distributions;
    if (d.empty()) return "";
    const std::size_t n = d.size();
    const std::size_t cols = n <= 4 ? 2 : 3;
    const std::size_t rows = (n + cols - 1) / cols;
    std::string gp;
    for (std::size_t i = 0; i < n; ++i) gp += histogram_block("$metric" + std::to_string(i + 1), d[i].values);
    gp += "set output 'report_metrics.png'\nset terminal pngcairo size 1200," + std::to_string(300 * rows) +
          " noenhanced\nset multiplot layout " + std::to_string(rows) + "," + std::to_string(cols) +
          "\nset style fill solid 0.6\nset yrange [0:*]\nunset key\n";
    for (std::size_t i = 0; i < n; ++i) {
        std::string title = column_label(d[i].metric).title + " (" + std::to_string(d[i].values.size()) + " calls";
        if (d[i].not_finite) title += ", " + std::to_string(d[i].not_finite) + " NaN not shown";
        gp += "set title " + gp_string(title + ")") + "\nset xlabel " + gp_string(axis_title(d[i].metric)) +
              "\nset ylabel 'calls'\nplot $metric" + std::to_string(i + 1) +
              " using 1:2:3 with boxes lc rgb '#4a6fa5'\n";
    }
    gp += "unset multiplot\nunset xlabel\nunset ylabel\n";
    written.push_back((outdir / "report_metrics.png").string());
    return gp;
}

}  // namespace

Histogram histogram_of(std::vector<double> v) {
    Histogram h;
    std::sort(v.begin(), v.end());
    const double lo = v.front(), hi = v.back();
    const std::size_t bins = lo == hi ? 1 : 20;
    h.width = lo == hi ? (lo == 0.0 ? 1.0 : std::fabs(lo) * 0.1) : (hi - lo) / static_cast<double>(bins);
    h.counts.assign(bins, 0);
    for (double x : v) {
        const std::size_t b = lo == hi ? 0 : static_cast<std::size_t>((x - lo) / h.width);
        ++h.counts[std::min(b, bins - 1)];
    }
    for (std::size_t b = 0; b < bins; ++b)
        h.centers.push_back(lo == hi ? lo : lo + (static_cast<double>(b) + 0.5) * h.width);
    return h;
}

void write_plots(const fs::path& outdir, const SweepStatistics& stats, std::vector<std::string>& written) {
    std::vector<std::string> pngs;
    std::string gp = "# Plots of the sweep report: gnuplot report.gp\n"
                     "set terminal pngcairo size 1000,750 noenhanced\nset grid\nset key below horizontal\nset lmargin 10\n\n";
    gp += band_plots(stats, outdir, pngs);
    gp += metric_histograms(stats, outdir, pngs);
    gp += "set output\n";
    OutputFile file(outdir / "report.gp");
    file << gp;
    file.close();
    written.push_back((outdir / "report.gp").string());
    written.insert(written.end(), pngs.begin(), pngs.end());
    run_gnuplot({outdir, "report.gp", "report_gnuplot.log", outdir, "install gnuplot or use --no-plots"});
}

}  // namespace veltrax::experiments::report_parts
