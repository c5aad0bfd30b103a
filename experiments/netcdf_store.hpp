// SPDX-License-Identifier: LGPL-2.1-or-later
// The sweep store in NetCDF-4: one file per slice of a sweep, OUTDIR/sweep.nc
// (a sweep in one slice) or OUTDIR/sweep.K-of-N.nc, beside OUTDIR/sweep.json.
//
// Dimensions: run (the slice's runs, in the sweep's order), call, sample,
// and the columns of the outputs. Per run: scenario (index into
// scenario_name), individual, complete, status, build, seed, controller,
// the error, the drawn covariates; per run and call: the call's settings
// and metrics (the numeric columns of sweep.csv, one variable each); per
// run, call and sample: time, trajectory (setpoint, u, y, static_gain, v),
// theta and search, chunked by run and compressed. Global attributes: the
// tool's version, the sweep's manifest, the slice, and the scenarios (name,
// path, description, the file's text). docs/experiments.md lists it all.
//
// A run is stored only when complete(run) = 1. The store writes finished
// runs in batches: their data, a flush to disk, then their complete flags
// and a second flush. A shard stopped at any point keeps the runs marked
// complete, and the same command run again fills in the others.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "experiments/netcdf_file.hpp"
#include "experiments/scenario.hpp"
#include "experiments/store.hpp"

namespace veltrax::experiments {

// The layout's version: the global attribute veltrax_store.
constexpr int kStoreVersion = 1;

// "sweep.nc" for a sweep in one slice, "sweep.K-of-N.nc" for slice K of N.
std::string shard_file_name(Shard shard);

// The shard files in `outdir`, by name; what their names say of the slice.
struct ShardFile {
    std::filesystem::path path;
    Shard shard;
};
std::vector<ShardFile> shard_files(const std::filesystem::path& outdir);

struct NetcdfStoreOptions {
    std::size_t batch_runs = 512;        // runs written at once, at most
    double batch_seconds = 1.0;          // a batch waits no longer for more runs
    std::size_t batch_bytes = 64 << 20;  // nor holds more output than this
    int deflate = 1;                     // compression level of the trajectories
};

class NetcdfStore : public ResultStore {
public:
    // `scenarios`: those of the sweep (kept by reference until finish()).
    NetcdfStore(std::filesystem::path outdir, const std::vector<Scenario>& scenarios, Shard shard,
                NetcdfStoreOptions options = {});
    ~NetcdfStore() override;

    // Writes sweep.json, and creates the shard's file or opens the one a
    // stopped run of the same sweep and slice left. Throws veltrax::Error:
    // "veltrax:badSweep" when OUTDIR or the file belongs to another sweep,
    // slice or scenario text, or OUTDIR holds run folders of it;
    // "veltrax:badStore" when the file is there but cannot be read as a
    // shard (it is left as it is); "veltrax:writeFailed".
    void begin(const SweepManifest& sweep, const std::vector<RunRef>& runs) override;
    bool stored(std::size_t i) const override;
    void write(const RunResult& run) override;
    // Writes the last batch and closes the file.
    void finish() override;

    const std::filesystem::path& path() const { return path_; }

private:
    struct Impl;
    std::filesystem::path outdir_;
    std::filesystem::path path_;
    std::unique_ptr<Impl> impl_;
};

// ---- reading ---------------------------------------------------------------

// One run of a shard file as a table row's source: its identity and the
// values of the per-run and per-call columns.
struct StoredRun {
    std::size_t scenario = 0;       // index into the manifest
    std::uint64_t individual = 0;
    bool complete = false;
    bool ok = false;
    std::string controller;
    std::size_t error_call = 0;
    std::string error_id, error_message;
    std::vector<std::vector<std::string>> rows;  // its rows of sweep.csv, as fields (complete runs)
    std::string file;                            // the shard file's name
    std::size_t row = 0;                         // its row there
};

// A call's recorded signals, read on request.
struct StoredSignals {
    std::vector<double> t, setpoint, u, y;
};

// The shard files of a sweep folder, read together: checked to be of one
// sweep (the same manifest and scenario texts, no run in two files) before
// anything is read. Throws veltrax::Error "veltrax:badStore" for a file that
// is not a readable shard (truncated, or NetCDF of another kind) and
// "veltrax:badSweep" for files of another sweep or scenario, or two that
// hold the same run.
class NetcdfSweep {
public:
    explicit NetcdfSweep(const std::filesystem::path& outdir);
    ~NetcdfSweep();

    const SweepManifest& manifest() const { return manifest_; }
    // Each scenario's description, by manifest index.
    const std::vector<std::string>& descriptions() const { return descriptions_; }
    const std::vector<std::filesystem::path>& files() const { return files_; }

    // Every run of every file, in the sweep's order (complete or not), read
    // a block of rows at a time.
    void for_each_run(const std::function<void(StoredRun&&)>& visit) const;

    // The first call's t, setpoint, u and y of a complete run.
    StoredSignals first_call(const StoredRun& run) const;

private:
    struct Shard;
    void merge(bool values, const std::function<void(StoredRun&&)>& visit) const;
    std::vector<std::unique_ptr<Shard>> shards_;
    std::vector<std::filesystem::path> files_;
    SweepManifest manifest_;
    std::vector<std::string> descriptions_;
};

}  // namespace veltrax::experiments
