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

    const bool anything = !stats.groups.empty() || !stats.distributions.empty();
    const bool plots = options.plots && anything;
    const bool charts = anything && write_charts(outdir, stats, result.written);
    const fs::path html_path = outdir / "report.html";
    OutputFile html(html_path);
    html << report_page(stats, result, plots, charts, comparison.write(options.plots, result.written));
    html.close();
    result.written.push_back(html_path.string());

    if (plots) write_plots(outdir, stats, result.written);
    comparison.plot();
    return result;
}

}  // namespace veltrax::experiments
