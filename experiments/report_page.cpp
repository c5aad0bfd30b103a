// SPDX-License-Identifier: LGPL-2.1-or-later
// The report's page: report.html.
#include "experiments/report_parts.hpp"

namespace veltrax::experiments::report_parts {

namespace {

std::string counts(const ReportResult& r) {
    const std::size_t found = r.ok + r.failed + r.unreadable;
    std::string h;
    if (r.manifest)
        h += std::to_string(r.expected) + " runs expected (sweep.json), " + std::to_string(found) + " found: ";
    else
        h += "No sweep.json: the expected runs are unknown. " + std::to_string(found) + " runs found: ";
    h += std::to_string(r.ok) + " ok, " + std::to_string(r.failed) + " failed, " + std::to_string(r.unreadable) +
         " unreadable";
    if (r.manifest) h += ", " + std::to_string(r.missing_count) + " missing";
    return h + ". Every run and call: <a href=\"sweep.csv\">sweep.csv</a>.</p>\n";
}

std::string runaway_list(const SweepStatistics& stats) {
    return html_list("Run-away calls", stats.runaway, stats.runaway_count,
                     "The measured output stayed at the top of its range over the last tenth of these calls "
                     "(runaway = 1 in sweep.csv): the process ran away from the controller. ");
}

std::string bands(const SweepStatistics& stats, bool plots) {
    if (stats.groups.empty()) return "";
    std::string h = "<h2>Output and control over the runs</h2>\n<p>5, 50 and 95 % of y and u at each sample of the "
                    "first call, over the ok runs of each scenario with more than one run (over all ok runs when no "
                    "scenario has more than one); set-point of the first run.</p>\n";
    for (std::size_t g = 0; g < stats.groups.size(); ++g) {
        const BandGroup& group = stats.groups[g];
        h += "<h3>" + html_escaped(group.title) + ": " + std::to_string(group.runs) + " runs";
        if (group.left_out) h += " (" + std::to_string(group.left_out) + " of another length left out)";
        if (group.sampled < group.runs)
            h += "; percentiles over a uniform sample of " + std::to_string(group.sampled) + " of them";
        h += "</h3>\n";
        if (plots) h += "<img src=\"report_band_" + std::to_string(g + 1) + ".png\" alt=\"bands\">\n";
    }
    if (stats.skipped_groups) h += "<p>" + std::to_string(stats.skipped_groups) + " more scenarios not plotted.</p>\n";
    return h;
}

}  // namespace

std::string report_page(const SweepStatistics& stats, const ReportResult& result, bool plots,
                        const std::string& comparisons, const std::string& extra) {
    std::string h =
        "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>Sweep report</title>\n"
        "<style>body{font-family:sans-serif;margin:2em;max-width:75em}table{border-collapse:collapse}"
        "td,th{border:1px solid #bbb;padding:2px 8px;text-align:right}td.l,th.l{text-align:left}"
        "img{max-width:100%}</style></head><body>\n<h1>Sweep report</h1>\n<p>";
    h += counts(result);
    h += html_list("Missing runs", result.missing, result.missing_count);
    h += html_list("Runs not in sweep.json", result.unexpected, result.unexpected_count);
    h += bad_runs_table(stats);
    h += runaway_list(stats);
    h += bands(stats, plots);
    if (!stats.distributions.empty() && plots)
        h += "<h2>Metrics</h2>\n<p>Distributions over all calls with finite values.</p>\n"
             "<img src=\"report_metrics.png\" alt=\"metric histograms\">\n";
    h += comparisons;
    h += worst_calls_table(stats);
    h += extra;
    return h + "</body></html>\n";
}

}  // namespace veltrax::experiments::report_parts
