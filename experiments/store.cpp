// SPDX-License-Identifier: LGPL-2.1-or-later
#include "experiments/store.hpp"

#include "experiments/netcdf_store.hpp"
#include "experiments/files.hpp"
#include "experiments/run_folder.hpp"

namespace veltrax::experiments {

void RunFolderStore::begin(const SweepManifest& sweep, const std::vector<RunRef>& runs) {
    check_writable(outdir_);
    write_manifest(outdir_, sweep);
    const std::vector<ShardFile> files = shard_files(outdir_);
    if (!files.empty())
        throw Error("veltrax:badSweep", "'" + outdir_.string() + "' holds '" + files.front().path.filename().string() +
                                            "' of this sweep's NetCDF store; give run folders an output folder of their own");
    remove_leftovers(outdir_, cancelled_, cancel_context_);
    std::vector<bool> has_runs(sweep.scenarios.size(), false);
    for (const RunRef& run : runs) has_runs[run.scenario] = true;
    for (std::size_t j = 0; j < sweep.scenarios.size(); ++j) {
        if (!has_runs[j]) continue;
        const std::filesystem::path folder = outdir_ / sweep.scenarios[j].name;
        if (sweep.scenarios[j].individuals == 0) {  // one run: its folder is checked now
            check_replaceable(folder, folder);
            continue;
        }
        check_writable(folder);
        remove_leftovers(folder, cancelled_, cancel_context_);
    }
}

void RunFolderStore::write(const RunResult& run) {
    write_run_folder(run_place(place(run.scenario, run.individual_index())), run);
}

}  // namespace veltrax::experiments
