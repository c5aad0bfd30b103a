// SPDX-License-Identifier: LGPL-2.1-or-later
// The report over a sweep's output folder: sweep.csv with one row per run
// and call (parameters, drawn covariates, metrics, status), merged from the
// metrics.csv that every run folder wrote when its run ended, and
// report.html with gnuplot plots (5/50/95 % bands of y and u, the metrics'
// distributions), the worst calls and the calls that ran away. Works on
// partial sweeps and says what is missing.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

namespace veltrax::experiments {

struct ReportOptions {
    bool plots = true;       // run gnuplot for the PNG files
    std::size_t worst = 10;  // rows in the table of the worst calls (largest IAE)
    // Asked between runs and while gnuplot runs: when it says stop, the
    // report ends with veltrax::Error "veltrax:interrupted" and writes
    // nothing (every file it would write stays as it was).
    bool (*cancelled)(void*) = nullptr;
    void* cancel_context = nullptr;
};

struct ReportResult {
    bool manifest = false;     // OUTDIR/sweep.json was there
    std::size_t expected = 0;  // runs the manifest lists
    std::size_t ok = 0, failed = 0, unreadable = 0;
    std::size_t runaway = 0;              // calls flagged as run away
    std::size_t missing_count = 0;        // run folders the manifest lists that hold no summary.json
    std::size_t unexpected_count = 0;     // run folders found that the manifest does not list
    std::vector<std::string> missing;     // the first 50 of those
    std::vector<std::string> unexpected;  // the first 50 of those
    std::vector<std::string> written;     // files written

    // Runs of the manifest without a usable result: missing or unreadable.
    bool incomplete() const { return missing_count > 0 || unreadable > 0; }
};

// Reads the manifest and every run folder of `outdir` (OUTDIR/NAME and
// OUTDIR/NAME/individual_K that hold summary.json), one after another, and
// writes OUTDIR/sweep.csv, OUTDIR/report.html and, with plots, report.gp and
// the report_*.png files. Rows are sorted by scenario name (byte order),
// individual and call, so the same results give the same bytes however many
// shards wrote them. A run folder whose metrics.csv cannot be read (or, for
// the plots, whose first call's CSV files, when they are read) counts as
// unreadable. Memory stays bounded by what the page and the plots show,
// whatever the number of runs: sweep.csv is written run by run, the metrics'
// histograms count their bins in a second pass over it, and the bands take
// their percentiles over at most 1000 runs per scenario (a uniform sample
// beyond; fewer for long calls). The files are made in a hidden folder in
// OUTDIR and put in place at the end, by the rule of experiments/files.hpp.
// Throws veltrax::Error "veltrax:badSweep" when OUTDIR or its manifest
// cannot be read, "veltrax:writeFailed" when a file cannot be written,
// "veltrax:plotFailed" when gnuplot fails (sweep.csv and report.html are
// put in place before) and "veltrax:interrupted" when the cancellation hook
// stopped it.
ReportResult write_report(const std::filesystem::path& outdir, const ReportOptions& options = {});

}  // namespace veltrax::experiments
