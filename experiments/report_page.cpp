// SPDX-License-Identifier: LGPL-2.1-or-later
// The report's page: report.html.
#include "experiments/labels.hpp"
#include "experiments/report_parts.hpp"

namespace veltrax::experiments::report_parts {

namespace {

const char* kStyle =
    "<style>body{font-family:sans-serif;margin:2em;max-width:75em}table{border-collapse:collapse}"
    "td,th{border:1px solid #bbb;padding:2px 6px;text-align:right}td.l,th.l{text-align:left}"
    "th{background:#eee;font-weight:normal}.wide{overflow-x:auto;max-width:100%}.wide table{font-size:90%}"
    ".summary{font-size:110%;font-weight:bold}.note{color:#444}img{max-width:100%}"
    "@media print{.wide{overflow:visible}.wide table{font-size:70%}}</style>";

std::string counts(const ReportResult& r, const SweepStatistics& stats) {
    const std::size_t found = r.ok + r.failed + r.unreadable;
    std::string h = "<p class=\"summary\">";
    if (r.manifest)
        h += std::to_string(r.expected) + " runs expected (sweep.json), " + std::to_string(found) + " found: ";
    else
        h += "No sweep.json: the expected runs are unknown. " + std::to_string(found) + " runs found: ";
    h += std::to_string(r.ok) + " ok, " + std::to_string(r.failed) + " failed, " +
         std::to_string(r.unreadable) + " unreadable";
    if (r.manifest) h += ", " + std::to_string(r.missing_count) + " missing";
    h += "; " + std::to_string(stats.runaway_runs) + " runs ran away";
    if (stats.runaway_count) h += " (" + std::to_string(stats.runaway_count) + " calls)";
    return h + ". Every run and call: <a href=\"sweep.csv\">sweep.csv</a>.</p>\n";
}

std::string scenarios_table(const SweepStatistics& stats) {
    if (stats.scenarios.empty()) return "";
    std::string h = "<div class=\"wide\"><table><tr><th class=l>scenario</th><th class=l>controller</th>"
                    "<th class=l>description</th></tr>\n";
    for (const auto& s : stats.scenarios)
        h += "<tr><td class=l>" + html_escaped(s[0]) + "</td><td class=l>" + html_escaped(s[1]) +
             "</td><td class=l>" + html_escaped(s[2]) + "</td></tr>\n";
    h += "</table></div>\n";
    if (stats.scenario_count > stats.scenarios.size())
        h += "<p>and " + std::to_string(stats.scenario_count - stats.scenarios.size()) + " more scenarios</p>\n";
    return h;
}

std::string not_finite_note(const SweepStatistics& stats) {
    if (stats.not_finite.empty()) return "";
    std::string h = "<p class=\"note\">Calls without a value (NaN in sweep.csv) are left out of the distributions: ";
    for (std::size_t i = 0; i < stats.not_finite.size(); ++i)
        h += (i ? ", " : "") + html_escaped(column_label(stats.not_finite[i].metric).title) + " " +
             std::to_string(stats.not_finite[i].not_finite);
    return h + ". A metric has no value where it is not defined for the call: overshoot, undershoot and settling "
               "time without a set-point step or when a step did not settle, the performance errors (mdpe, mdape, "
               "wobble, divergence) outside the built-in model, and every metric of a call whose output was "
               "not finite.</p>\n";
}

std::string runaway_list(const SweepStatistics& stats) {
    return html_list("Run-away calls", stats.runaway, stats.runaway_count,
                     "The measured output stayed at the top of its range over the last tenth of these calls "
                     "(runaway = 1 in sweep.csv): the process ran away from the controller. ");
}

std::string bands(const SweepStatistics& stats, bool plots) {
    if (stats.groups.empty()) return "";
    std::string h = "<h2>Output and control over the runs</h2>\n<p>5, 50 and 95 % of the measured output y and "
                    "the control u at each sample of the first call, over the ok runs of each scenario with more "
                    "than one run (over all ok runs when no scenario has more than one); set-point of the first "
                    "run.</p>\n";
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

std::string report_page(const SweepStatistics& stats, const ReportResult& result, bool plots, bool charts,
                        const std::string& comparisons, const std::string& extra) {
    std::string h = std::string("<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>Sweep report</title>\n") +
                    kStyle + "</head><body>\n<h1>Sweep report</h1>\n";
    h += counts(result, stats);
    h += scenarios_table(stats);
    h += not_finite_note(stats);
    h += html_list("Missing runs", result.missing, result.missing_count);
    h += html_list("Runs not in sweep.json", result.unexpected, result.unexpected_count);
    h += bad_runs_table(stats);
    h += runaway_list(stats);
    if (plots || charts) h += charts_section(charts);
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
