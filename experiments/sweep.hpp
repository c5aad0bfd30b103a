// SPDX-License-Identifier: LGPL-2.1-or-later
// The layout of a sweep's output folder:
//
//   OUTDIR/sweep.json                      manifest: every run the sweep expects
//   OUTDIR/NAME/                           a scenario without population
//   OUTDIR/NAME/individual_000042/         individual 42 of a scenario with population
//   OUTDIR/NAME@CONTROLLER/...             the runs of one controller of a comparison
//
// Each run folder holds the files of a single run (experiments/run_folder.hpp).
// docs/experiments.md shows them.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "api/veltrax.hpp"

namespace veltrax::experiments {

struct SweepEntry {
    std::string name;              // result folder of the scenario
    std::uint64_t individuals = 0;  // population size or design runs; 0: neither, one run
    nlohmann::ordered_json design{};  // a sensitivity design as written out (experiments/design.hpp); null: none
};

// A comparison of controllers: the scenarios NAME@CONTROLLER of the
// manifest, one per controller, in the order the scenario lists them (the
// first is the reference of the paired differences).
struct ComparisonEntry {
    std::string name;
    std::vector<std::string> controllers;
};

struct SweepManifest {
    std::vector<SweepEntry> scenarios;
    std::vector<ComparisonEntry> comparisons = {};  // written only when there are any
};

// A sweep has at most this many scenarios, and each at most
// kMaxPopulationSize individuals (experiments/population.hpp).
constexpr std::size_t kMaxSweepScenarios = 100000;

// Why `name` cannot name a scenario's result folder in OUTDIR, or "" when
// it can: it must be a file name (not empty, ".", ".." or with a '/'), not
// hidden (a leading '.': temporary folders), and not a name the sweep or its
// report writes (sweep.json, sweep.csv, comparison.csv, and report*.html, .gp,
// .png, .log).
std::string unusable_name(const std::string& name);

// Writes OUTDIR/sweep.json (creating OUTDIR), exclusively: the first
// manifest written there stays, whole (written beside it, then linked into
// place), and every later one must equal it, so that the shards of a sweep
// share one while two sweeps cannot both take a folder, even when they
// start at the same moment. A manifest already there with other content
// throws veltrax::Error "veltrax:badSweep": OUTDIR belongs to another sweep.
// Scenario names must be distinct usable names ("veltrax:badSweep").
void write_manifest(const std::filesystem::path& outdir, const SweepManifest& manifest);

// Reads OUTDIR/sweep.json; throws "veltrax:badSweep" when it is malformed,
// not a regular file, larger than 16 MiB or beyond the limits above (at
// once, before anything of it is kept).
SweepManifest read_manifest(const std::filesystem::path& outdir);

// The manifest of its JSON text; `where` names it in messages. Throws
// "veltrax:badSweep" when it is malformed.
SweepManifest parse_manifest(const std::string& text, const std::string& where);

// Whether `file` is OUTDIR's manifest (the same file, however named): a
// scenario file that a glob in the output folder picks up is none.
bool is_manifest_of(const std::filesystem::path& file, const std::filesystem::path& outdir);

nlohmann::ordered_json manifest_json(const SweepManifest& manifest);

// One run of a sweep: scenario `scenario` of the manifest itself
// (individual 0) or individual k of its population.
struct RunRef {
    std::size_t scenario = 0;
    std::uint64_t individual = 0;
};

// Slice `k` of `n` of a sharded sweep.
struct Shard {
    std::uint64_t k = 1;
    std::uint64_t n = 1;
};

// "K/N" with whole numbers 1 <= K <= N. Throws veltrax::Error
// "veltrax:badArguments" naming the form for anything else.
Shard parse_shard(const std::string& text);

// The runs of one slice. The sweep's runs are numbered from 0 in a fixed
// order: the manifest's scenarios in turn (a sweep lists them by name) and
// each population's individuals 1 .. size within its scenario; run i
// belongs to slice i mod N + 1. So the N slices together are the sweep, and
// a population is spread over all of them.
std::vector<RunRef> slice_runs(const SweepManifest& manifest, Shard shard);

// "individual_000042": at least six digits.
std::string individual_folder(std::uint64_t k);

// NAME, or NAME/individual_... for individual k >= 1.
std::filesystem::path run_folder(const std::string& scenario, std::uint64_t individual);

}  // namespace veltrax::experiments
