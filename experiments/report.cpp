// SPDX-License-Identifier: LGPL-2.1-or-later
#include "experiments/report.hpp"

#include "experiments/report_comparison.hpp"
#include "experiments/report_parts.hpp"

namespace veltrax::experiments {

namespace fs = std::filesystem;
using namespace report_parts;

ReportResult write_report(const fs::path& outdir, const ReportOptions& options) {
    const SweepFolder sweep(outdir);
    ReportResult result;
    result.manifest = sweep.has_manifest();
    result.expected = sweep.expected();

    // One pass over the runs: each goes into sweep.csv and the statistics.
    SweepStatistics stats(options, result.manifest);
    if (sweep.manifest())
        for (const SweepEntry& e : sweep.manifest()->scenarios)
            if (!e.design.is_null()) stats.no_bands.push_back(e.name);
    ComparisonPart comparison(outdir);
    const fs::path csv_path = outdir / "sweep.csv";
    SweepTable table(csv_path);
    sweep.for_each_run([&](const std::string& scenario) { return stats.wants_first_call(scenario); },
                       [&](RunEntry&& run) {
                           table.add(run);
                           stats.add(run);
                           comparison.add(run);
                       });
    stats.finish();
    table.close();
    result.written.push_back(csv_path.string());
    result.ok = stats.ok;
    result.failed = stats.failed;
    result.unreadable = stats.unreadable;
    result.runaway = stats.runaway_count;
    result.missing = std::move(stats.missing);
    result.unexpected = std::move(stats.unexpected);

    // Sections of sensitivity designs and of a tuning, from the files just written.
    const std::vector<ExtraSection> extra = {sensitivity_section(outdir, options.plots, result.written),
                                             tuning_section(outdir, options.plots)};
    std::string extra_html;
    for (const ExtraSection& e : extra) extra_html += e.html;

    const bool plots = options.plots && (!stats.groups.empty() || !stats.distributions.empty());
    const fs::path html_path = outdir / "report.html";
    OutputFile html(html_path);
    html << report_page(stats, result, plots, comparison.write(options.plots, result.written), extra_html);
    html.close();
    result.written.push_back(html_path.string());

    if (plots) write_plots(outdir, stats, result.written);
    comparison.plot();
    for (const ExtraSection& e : extra) write_section_plots(outdir, e, result.written);
    return result;
}

}  // namespace veltrax::experiments
