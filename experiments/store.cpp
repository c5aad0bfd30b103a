// SPDX-License-Identifier: LGPL-2.1-or-later
#include "experiments/store.hpp"

#include "experiments/netcdf_store.hpp"
#include "experiments/run_folder.hpp"

namespace veltrax::experiments {

void RunFolderStore::begin(const SweepManifest& sweep, const std::vector<RunRef>& runs) {
    check_writable(outdir_);
    write_manifest(outdir_, sweep);
    const std::vector<ShardFile> files = shard_files(outdir_);
    if (!files.empty())
        throw Error("veltrax:badSweep", "'" + outdir_.string() + "' holds '" + files.front().path.filename().string() +
                                            "' of this sweep's NetCDF store; give run folders an output folder of their own");
    for (const RunRef& run : runs) check_run_place(place(sweep.scenarios[run.scenario].name, run.individual));
}

void RunFolderStore::write(const RunResult& run) {
    write_run_folder(check_run_place(place(run.scenario, run.individual_index())), run);
}

}  // namespace veltrax::experiments
