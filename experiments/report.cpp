// SPDX-License-Identifier: LGPL-2.1-or-later
#include "experiments/report.hpp"

#include "experiments/files.hpp"
#include "experiments/report_comparison.hpp"
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

// The counts of the runs, for the caller and the page.
void take_counts(const SweepStatistics& stats, ReportResult& result) {
    result.ok = stats.ok;
    result.failed = stats.failed;
    result.unreadable = stats.unreadable;
    result.runaway = stats.runaway_count;
    result.missing_count = stats.missing_count;
    result.unexpected_count = stats.unexpected_count;
    result.missing = stats.missing;
    result.unexpected = stats.unexpected;
}

// The charts' files (report_assets/NAME), in report_assets/ of OUTDIR.
void install_charts(const ReportFolder& folder, const std::vector<std::string>& files,
                    std::vector<std::string>& written) {
    if (files.empty()) return;
    std::error_code ec;
    fs::create_directory(folder.outdir / "report_assets", ec);
    if (ec) write_failed(folder.outdir / "report_assets", ec.message());
    install(folder, files, written);
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
    if (sweep.manifest())
        for (const SweepEntry& e : sweep.manifest()->scenarios)
            if (!e.design.is_null()) stats.no_bands.push_back(e.name);
    ComparisonPart comparison(outdir);
    SweepTable table(folder.work / "sweep.csv", outdir / "sweep.csv");
    sweep.for_each_run([&](const RunEntry& run) { return stats.wants_first_call(run); },
                       [&](RunEntry&& run) {
                           table.add(run);
                           stats.add(run);
                           comparison.add(run);
                       },
                       cancel);
    stats.finish();
    table.close();
    take_counts(stats, result);

    // Sections of sensitivity designs and of a tuning, from the files just written.
    const std::vector<ExtraSection> extra = {sensitivity_section(folder, sweep.manifest(), options.plots),
                                             tuning_section(outdir, options.plots)};
    std::string extra_html;
    for (const ExtraSection& e : extra) extra_html += e.html;

    const bool anything = !stats.groups.empty() || !stats.distributions.empty();
    const bool plots = options.plots && anything;
    // The histograms' bins: a second pass over sweep.csv.
    const std::vector<Histogram> bins =
        stats.distributions.empty() ? std::vector<Histogram>{} : histograms(folder.work / "sweep.csv", stats, cancel);
    std::vector<std::string> charted;  // report_assets/ and its files
    const bool charts = anything && write_charts(folder, stats, bins, charted);
    OutputFile html(folder.work / "report.html", outdir / "report.html", OutputFile::Mode::fresh);
    std::vector<std::string> compared;  // comparison.csv, its script and plots
    html << report_page(stats, result, plots, charts, comparison.write(folder, options.plots, compared), extra_html);
    html.close(false);
    std::vector<std::string> tables{"sweep.csv", "report.html"};
    if (!compared.empty()) tables.push_back(compared.front());
    for (const ExtraSection& e : extra) tables.insert(tables.end(), e.tables.begin(), e.tables.end());

    std::vector<std::string> pngs;
    try {
        if (plots) write_plots(folder, stats, bins, cancel, pngs);
        comparison.plot(folder, cancel);
        for (const ExtraSection& e : extra) write_section_plots(folder, e, cancel);
    } catch (const Error& e) {
        if (e.id() != "veltrax:plotFailed") throw;
        for (const char* log : {"report_gnuplot.log", "report_comparison_gnuplot.log", "sensitivity_gnuplot.log",
                                "tuning_gnuplot.log"})
            if (fs::exists(folder.work / log)) tables.push_back(log);
        install(folder, tables, result.written);
        install_charts(folder, charted, result.written);
        throw;
    }
    cancel.check();
    install(folder, tables, result.written);
    install_charts(folder, charted, result.written);
    if (plots) {
        install(folder, {"report.gp"}, result.written);
        install(folder, pngs, result.written);
    }
    if (compared.size() > 1) install(folder, {compared.begin() + 1, compared.end()}, result.written);
    for (const ExtraSection& e : extra) {
        if (e.script.empty() || e.pngs.empty()) continue;
        install(folder, {e.script}, result.written);
        install(folder, e.pngs, result.written);
    }
    return result;
}

}  // namespace veltrax::experiments
