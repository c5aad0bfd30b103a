// SPDX-License-Identifier: LGPL-2.1-or-later
#include "experiments/store.hpp"

#include "experiments/run_folder.hpp"

namespace veltrax::experiments {

void RunFolderStore::begin(const SweepManifest& sweep, const std::vector<RunRef>& runs) {
    check_writable(outdir_);
    write_manifest(outdir_, sweep);
    for (const RunRef& run : runs) check_run_place(place(sweep.scenarios[run.scenario].name, run.individual));
}

void RunFolderStore::write(const RunResult& run) {
    write_run_folder(check_run_place(place(run.scenario, run.individual_index())), run);
}

}  // namespace veltrax::experiments
