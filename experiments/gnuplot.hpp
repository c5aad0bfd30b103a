// SPDX-License-Identifier: LGPL-2.1-or-later
// Running gnuplot on a script that the tool or the report wrote.
#pragma once

#include <filesystem>
#include <string>

namespace veltrax::experiments {

struct GnuplotRun {
    std::filesystem::path folder;  // where gnuplot runs and finds `script`
    std::string script;            // "plots.gp"
    std::string log;               // gnuplot's messages: kept when it fails, else removed
    std::filesystem::path shown;   // the folder as messages name it
    std::string missing_hint;      // what to do without gnuplot: "install gnuplot to use --plot"
    // Asked while gnuplot runs: when it says stop, gnuplot is ended.
    bool (*cancelled)(void*) = nullptr;
    void* cancel_context = nullptr;
};

// Runs `gnuplot SCRIPT` in the folder and waits for it. Throws
// veltrax::Error "veltrax:plotFailed" when gnuplot is not on the PATH,
// cannot be started, is killed by a signal or fails (naming the kept log),
// and "veltrax:interrupted" when the cancellation hook stopped it.
void run_gnuplot(const GnuplotRun& run);

}  // namespace veltrax::experiments
