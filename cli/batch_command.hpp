// SPDX-License-Identifier: LGPL-2.1-or-later
// veltrax batch SCENARIO... -o OUTDIR: a sweep (or one slice of it), each
// run in a simulation of its own, stored in a result folder of its own or,
// with --store netcdf, in the shard's NetCDF file.
#pragma once

#include <string>
#include <vector>

namespace veltrax::cli {

struct BatchArgs {
    std::vector<std::string> scenarios;
    std::string output;
    unsigned threads = 0;
    std::string shard = "1/1";  // K/N
    std::string load_state;     // snapshot file every run starts from
    std::string store = "folders";  // "folders": a run folder per run; "netcdf": a file per shard
};

// Returns the exit status.
int batch_command(const BatchArgs& args);

}  // namespace veltrax::cli
