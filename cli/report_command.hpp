// SPDX-License-Identifier: LGPL-2.1-or-later
// veltrax report OUTDIR: merges the results of a sweep into sweep.csv and
// report.html.
#pragma once

#include <string>

namespace veltrax::cli {

struct ReportArgs {
    std::string outdir;
    bool no_plots = false;
};

// Returns the exit status (0 written, 1 failed).
int report_command(const ReportArgs& args);

}  // namespace veltrax::cli
