// SPDX-License-Identifier: LGPL-2.1-or-later
// The layout of a sweep's output folder:
//
//   OUTDIR/sweep.json                      manifest: every run the sweep expects
//   OUTDIR/NAME/                           a scenario without population
//   OUTDIR/NAME/individual_000042/         individual 42 of a scenario with population
//
// Each run folder holds summary.json and callk_*.csv as a single run does;
// summary.json gets the fields below. docs/experiments.md shows them.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "api/veltrax.hpp"
#include "experiments/metrics.hpp"
#include "experiments/population.hpp"

namespace veltrax::experiments {

struct SweepEntry {
    std::string name;              // result folder of the scenario
    std::uint64_t individuals = 0;  // population size; 0: no population, one run
};

struct SweepManifest {
    std::vector<SweepEntry> scenarios;
};

// Writes OUTDIR/sweep.json (creating OUTDIR) through a temporary file and a
// rename, so that shards writing the same manifest at once leave a whole
// one. A manifest already there with other content throws veltrax::Error
// "veltrax:badSweep": OUTDIR belongs to another sweep. Scenario names must be
// distinct folder names.
void write_manifest(const std::filesystem::path& outdir, const SweepManifest& manifest);

// Reads OUTDIR/sweep.json; throws "veltrax:badSweep" when it is malformed.
SweepManifest read_manifest(const std::filesystem::path& outdir);

nlohmann::ordered_json manifest_json(const SweepManifest& manifest);

// "individual_000042": at least six digits.
std::string individual_folder(std::uint64_t k);

// NAME, or NAME/individual_... for individual k >= 1.
std::filesystem::path run_folder(const std::string& scenario, std::uint64_t individual);

// Fields of one call's entry in summary.json, beside "call" and "samples":
// "inputs" (params, numerator, denominator, curve, T), "sample_period",
// "builtin_model" and "metrics".
nlohmann::ordered_json call_summary(const std::vector<Matrix>& inputs, const std::vector<Matrix>& outputs,
                                    const MetricOptions& options = {});

// The "individual" field of summary.json: index, seed, the drawn covariates,
// and for an invalid individual "valid": false and the reason.
nlohmann::ordered_json individual_summary(const Population& p, const Individual& ind);

}  // namespace veltrax::experiments
