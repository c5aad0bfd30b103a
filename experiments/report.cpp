// SPDX-License-Identifier: LGPL-2.1-or-later
#include "experiments/report.hpp"

#include "experiments/report_parts.hpp"

namespace veltrax::experiments {

namespace fs = std::filesystem;
using namespace report_parts;

namespace {

// Puts the made files in place, in order; their paths go to `written`.
void install(const ReportFolder& folder, const std::vector<std::string>& files, std::vector<std::string>& written) {
    for (const std::string& f : files) {
        install_file((folder.work / f).string(), (folder.outdir / f).string(), "veltrax:writeFailed",
                     (folder.outdir / f).string());
        written.push_back((folder.outdir / f).string());
    }
}

}  // namespace

ReportResult write_report(const fs::path& outdir, const ReportOptions& options) {
    const SweepFolder sweep(outdir);
    const Cancel cancel{options.cancelled, options.cancel_context};
    ReportResult result;
    result.manifest = sweep.has_manifest();
    result.expected = sweep.expected();
    remove_leftovers(outdir, options.cancelled, options.cancel_context);
    const HiddenFolder work(outdir, "report", "tmp");
    const ReportFolder folder{work.path(), outdir};

    // One pass over the runs: each goes into sweep.csv and the statistics.
    SweepStatistics stats(options, result.manifest);
    SweepTable table(folder.work / "sweep.csv", outdir / "sweep.csv");
    sweep.for_each_run([&](const RunEntry& run) { return stats.wants_first_call(run); },
                       [&](RunEntry&& run) {
                           table.add(run);
                           stats.add(run);
                       },
                       cancel);
    stats.finish();
    table.close();
    result.ok = stats.ok;
    result.failed = stats.failed;
    result.unreadable = stats.unreadable;
    result.runaway = stats.runaway_count;
    result.missing_count = stats.missing_count;
    result.unexpected_count = stats.unexpected_count;
    result.missing = stats.missing;
    result.unexpected = stats.unexpected;

    const bool plots = options.plots && (!stats.groups.empty() || !stats.distributions.empty());
    OutputFile html(folder.work / "report.html", outdir / "report.html", OutputFile::Mode::fresh);
    html << report_page(stats, result, plots);
    html.close(false);

    std::vector<std::string> pngs;
    if (plots) {
        try {
            write_plots(folder, stats, cancel, pngs);
        } catch (const Error& e) {
            if (e.id() != "veltrax:plotFailed") throw;
            install(folder, {"sweep.csv", "report.html", "report_gnuplot.log"}, result.written);
            throw;
        }
    }
    cancel.check();
    install(folder, {"sweep.csv", "report.html"}, result.written);
    if (plots) {
        install(folder, {"report.gp"}, result.written);
        install(folder, pngs, result.written);
    }
    return result;
}

}  // namespace veltrax::experiments
