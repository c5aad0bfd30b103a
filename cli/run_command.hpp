// SPDX-License-Identifier: LGPL-2.1-or-later
// veltrax run SCENARIO -o OUTDIR: the calls of one scenario (or one
// individual of its population) in one simulation, into one result folder.
#pragma once

#include <cstdint>
#include <string>

namespace veltrax::cli {

struct RunArgs {
    std::string scenario;
    std::string output;
    bool plot = false;
    unsigned threads = 0;
    std::string load_state;        // snapshot file to start from
    std::string save_state;        // snapshot file of the final state
    std::string individual;        // K of the scenario's population, as given; empty: none
};

// Returns the exit status.
int run_command(const RunArgs& args);

}  // namespace veltrax::cli
