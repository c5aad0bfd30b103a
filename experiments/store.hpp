// SPDX-License-Identifier: LGPL-2.1-or-later
// Where the runs of a sweep go. A sweep hands each finished run, in memory,
// to a store; the store decides its layout on disk. RunFolderStore writes
// the run folders of OUTDIR that `veltrax report` reads; a store of another
// layout (one columnar file for the sweep, say) implements the same three
// calls.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "experiments/result.hpp"
#include "experiments/sweep.hpp"

namespace veltrax::experiments {

class ResultStore {
public:
    virtual ~ResultStore() = default;

    // Before anything runs: the whole sweep, and the runs of it that this
    // process will hand over (one slice of a sharded sweep). Throws
    // veltrax::Error when they cannot be stored; then nothing runs. Makes no
    // system call per run.
    virtual void begin(const SweepManifest& sweep, const std::vector<RunRef>& runs) = 0;

    // After begin: run `i` of `runs` is stored already (by an earlier,
    // stopped process of the same sweep) and is not run again.
    virtual bool stored(std::size_t i) const {
        (void)i;
        return false;
    }

    // One run that ended (ok or failed; never one stopped by a signal).
    // Called from several threads at once for different runs. Throws
    // veltrax::Error when the run cannot be stored; the sweep goes on.
    virtual void write(const RunResult& run) = 0;

    // After the last run that will be written, also when the sweep was
    // stopped early. Throws veltrax::Error when runs handed over could not
    // be stored after all.
    virtual void finish() {}
};

// OUTDIR/sweep.json and one run folder per run: OUTDIR/NAME or
// OUTDIR/NAME/individual_K (experiments/sweep.hpp).
class RunFolderStore : public ResultStore {
public:
    // `cancelled(context)`, when given, ends begin's search for leftovers early.
    explicit RunFolderStore(std::filesystem::path outdir, bool (*cancelled)(void*) = nullptr,
                            void* cancel_context = nullptr)
        : outdir_(std::move(outdir)), cancelled_(cancelled), cancel_context_(cancel_context) {}

    // Checks that OUTDIR can be written, writes the manifest
    // (veltrax:badSweep when OUTDIR holds another sweep), makes the folders
    // of the populations in `runs` (veltrax:writeFailed) and removes the
    // temporary folders that killed processes left in them. A run folder
    // that holds other files than results fails its run when it ends
    // (veltrax:writeFailed).
    void begin(const SweepManifest& sweep, const std::vector<RunRef>& runs) override;
    void write(const RunResult& run) override;

    // The run folder of a run.
    std::filesystem::path place(const std::string& scenario, std::uint64_t individual) const {
        return outdir_ / run_folder(scenario, individual);
    }

private:
    std::filesystem::path outdir_;
    bool (*cancelled_)(void*);
    void* cancel_context_;
};

}  // namespace veltrax::experiments
