// SPDX-License-Identifier: LGPL-2.1-or-later
#include "cli/report_command.hpp"

#include <cstdio>

#include "api/veltrax.hpp"
#include "cli/command.hpp"
#include "experiments/report.hpp"

namespace veltrax::cli {

namespace {

constexpr std::size_t kMissingShown = 20;

void print_summary(const experiments::ReportResult& r) {
    const std::size_t found = r.ok + r.failed + r.unreadable;
    if (r.manifest)
        std::printf("%zu runs expected, %zu found: ", r.expected, found);
    else
        std::printf("no sweep.json, so the expected runs are unknown; %zu runs found: ", found);
    std::printf("%zu ok, %zu failed, %zu unreadable", r.ok, r.failed, r.unreadable);
    if (r.manifest) std::printf(", %zu missing", r.missing_count);
    std::printf("\n");
    if (r.runaway > 0) std::printf("%zu call(s) ran away (see report.html)\n", r.runaway);
    for (std::size_t i = 0; i < r.missing.size() && i < kMissingShown; ++i)
        std::printf("missing: %s\n", r.missing[i].c_str());
    if (r.missing_count > kMissingShown)
        std::printf("missing: ... and %zu more (see report.html)\n", r.missing_count - kMissingShown);
    for (const std::string& f : r.written) std::printf("wrote %s\n", f.c_str());
}

}  // namespace

int report_command(const ReportArgs& args) {
    experiments::ReportOptions options;
    options.plots = !args.no_plots;
    options.cancelled = &stop_requested_hook;
    try {
        const experiments::ReportResult r = experiments::write_report(args.outdir, options);
        print_summary(r);
        return r.incomplete() ? kExitIncomplete : 0;
    } catch (const Error& e) {
        if (stop_requested()) {
            print_error(args.outdir, "veltrax:interrupted", "stopped by " + stop_signal_name() + "; no report written");
            return end_by_stop_signal();
        }
        print_error(args.outdir, e.id(), e.what());
        return kExitFailed;
    }
}

}  // namespace veltrax::cli
