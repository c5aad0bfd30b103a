// SPDX-License-Identifier: LGPL-2.1-or-later
#include "cli/report.hpp"

#include <cstdio>

#include "api/errors.hpp"
#include "experiments/report.hpp"

namespace veltrax::cli {

CLI::App* add_report_command(CLI::App& app, ReportArgs& args) {
    CLI::App* cmd = app.add_subcommand(
        "report", "Merge the results of a sweep (every shard's) into sweep.csv and report.html with plots");
    cmd->add_option("outdir", args.outdir, "Output folder of the sweep")->required();
    cmd->add_flag("--no-plots", args.no_plots, "Write sweep.csv and report.html without running gnuplot");
    cmd->footer("Writes OUTDIR/sweep.csv (one row per run and call), OUTDIR/report.html and the report_*.png\n"
                "plots; lists the runs that OUTDIR/sweep.json expects but that are missing. See docs/experiments.md.");
    return cmd;
}

int report_command(const ReportArgs& args) {
    experiments::ReportOptions options;
    options.plots = !args.no_plots;
    try {
        const experiments::ReportResult r = experiments::write_report(args.outdir, options);
        const std::size_t found = r.ok + r.failed + r.unreadable;
        if (r.manifest)
            std::printf("%zu runs expected, %zu found: ", r.expected, found);
        else
            std::printf("no sweep.json, so the expected runs are unknown; %zu runs found: ", found);
        std::printf("%zu ok, %zu failed, %zu unreadable", r.ok, r.failed, r.unreadable);
        if (r.manifest) std::printf(", %zu missing", r.missing.size());
        std::printf("\n");
        for (std::size_t i = 0; i < r.missing.size() && i < 20; ++i) std::printf("missing: %s\n", r.missing[i].c_str());
        if (r.missing.size() > 20) std::printf("missing: ... and %zu more (see report.html)\n", r.missing.size() - 20);
        for (const std::string& f : r.written) std::printf("wrote %s\n", f.c_str());
        return 0;
    } catch (const Error& e) {
        std::fprintf(stderr, "%s: %s: %s\n", args.outdir.c_str(), e.id().c_str(), e.what());
        return 1;
    }
}

}  // namespace veltrax::cli
