// SPDX-License-Identifier: LGPL-2.1-or-later
// The report's tables: sweep.csv, and the lists and tables of report.html.
#include <cmath>

#include "experiments/format.hpp"
#include "experiments/labels.hpp"
#include "experiments/report_parts.hpp"
#include "experiments/sweep_table.hpp"

namespace veltrax::experiments::report_parts {

SweepTable::SweepTable(const std::filesystem::path& path, const std::filesystem::path& shown)
    : file_(path, shown, OutputFile::Mode::fresh) {
    file_ << sweep_header();
}

void SweepTable::add(const RunEntry& run) {
    for (const std::vector<std::string>& row : run.rows) file_ << csv_row(row);
}

std::string html_escaped(const std::string& s) {
    std::string o;
    for (char c : s) {
        switch (c) {
            case '&': o += "&amp;"; break;
            case '<': o += "&lt;"; break;
            case '>': o += "&gt;"; break;
            case '"': o += "&quot;"; break;
            case '\'': o += "&#39;"; break;
            default: o += c;
        }
    }
    return o;
}

std::string html_list(const std::string& title, const std::vector<std::string>& items, std::size_t total,
                      const std::string& intro) {
    if (total == 0) return "";
    std::string h = "<h2>" + title + " (" + std::to_string(total) + ")</h2>\n<p>" + intro;
    for (std::size_t i = 0; i < items.size() && i < kMaxListed; ++i) h += (i ? ", " : "") + html_escaped(items[i]);
    if (total > kMaxListed) h += " and " + std::to_string(total - kMaxListed) + " more";
    return h + "</p>\n";
}

std::string bad_runs_table(const SweepStatistics& stats) {
    if (stats.bad_count == 0) return "";
    std::string h = "<h2>Failed and unreadable runs (" + std::to_string(stats.bad_count) +
                    ")</h2>\n<div class=\"wide\"><table><tr><th class=l>run</th><th class=l>status</th><th>call</th><th "
                    "class=l>error</th></tr>\n";
    for (const BadRun& r : stats.bad)
        h += "<tr><td class=l>" + html_escaped(r.folder) + "</td><td class=l>" + status_name(r.status) + "</td><td>" +
             r.call + "</td><td class=l>" + html_escaped(r.error_id) + ": " + html_escaped(r.error_message) +
             "</td></tr>\n";
    h += "</table></div>\n";
    if (stats.bad_count > kMaxListed)
        h += "<p>and " + std::to_string(stats.bad_count - kMaxListed) + " more in sweep.csv</p>\n";
    return h;
}

namespace {

// A column's title over its unit.
std::string header(const std::string& column) {
    const ColumnLabel l = column_label(column);
    return "<th title=\"" + html_escaped(column) + "\">" + html_escaped(l.title) +
           (l.unit.empty() ? "" : "<br><small>" + html_escaped(l.unit) + "</small>") + "</th>";
}

}  // namespace

std::string worst_calls_table(const SweepStatistics& stats) {
    if (stats.worst.empty()) return "";
    std::string h = "<h2>The " + std::to_string(stats.worst.size()) +
                    " worst calls by integral of absolute error</h2>\n<div class=\"wide\"><table><tr><th "
                    "class=l>run</th><th>call</th>";
    for (const char* m : {"iae", "ise", "max_overshoot", "max_settling_time", "peak_control"}) h += header(m);
    for (int c = 0; c < kCovariates; ++c) h += header(std::string("drawn_") + covariate_name(c));
    h += "</tr>\n";
    for (const WorstCall& w : stats.worst) {
        h += "<tr><td class=l>" + html_escaped(w.folder) + "</td><td>" + w.call + "</td><td>" + format_short(w.iae) +
             "</td><td>" + format_short(w.ise) + "</td><td>" + format_short(w.max_overshoot) + "</td><td>" +
             format_short(w.max_settling_time) + "</td><td>" + format_short(w.peak_control) + "</td>";
        for (double v : w.covariates) h += "<td>" + (std::isnan(v) ? std::string() : format_short(v)) + "</td>";
        h += "</tr>\n";
    }
    return h + "</table></div>\n";
}

}  // namespace veltrax::experiments::report_parts
