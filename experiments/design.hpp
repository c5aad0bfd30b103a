// SPDX-License-Identifier: LGPL-2.1-or-later
// The "sensitivity" block of a scenario file: a sampling design over named
// inputs, run as a sweep (one run per design point, numbered 1, 2, ... like
// a population's individuals, so that it shards, runs on Slurm and resumes
// like any sweep), and the metrics that the report analyses:
//
//   "sensitivity": {
//     "method": "sobol", "samples": 256, "seed": 1,
//     "inputs": [{"name": "population.body_mass", "dist": "normal", "mean": 70, "sd": 12, "min": 40},
//                {"name": "settings.control_weight", "low": 0.02, "high": 0.5, "scale": "log"},
//                {"name": "settings.dead_time", "low": 1, "high": 4}],
//     "metrics": ["mdape", "max_overshoot"], "call": 1, "bootstrap": 1000, "confidence": 0.95
//   }
//
// "method": "morris" takes "trajectories" (and "levels", default 4) instead
// of "samples". docs/sensitivity.md describes every field.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "experiments/named_input.hpp"
#include "experiments/sensitivity_analysis.hpp"
#include "experiments/sensitivity_design.hpp"

namespace veltrax::experiments {

enum class DesignMethod { sobol, morris };
const char* design_method_name(DesignMethod m);

// The smallest designs: Sobol base samples (below this the bootstrap
// intervals say nothing), Morris trajectories (sigma needs two effects).
constexpr std::uint64_t kMinSobolSamples = 16;
constexpr std::uint64_t kMinMorrisTrajectories = 2;
constexpr std::uint64_t kMaxDesignRuns = 10000000;

struct Design {
    DesignMethod method = DesignMethod::sobol;
    std::uint64_t samples = 0;  // sobol: base samples N (runs N (d + 2)); morris: trajectories r (runs r (d + 1))
    int levels = 4;             // morris: grid levels, even
    std::uint64_t seed = 1;     // of the scrambling or the trajectories, and of the bootstrap
    std::vector<NamedInput> inputs;
    std::vector<std::string> metrics;  // columns of sweep.csv
    std::size_t call = 1;              // whose metrics, from 1
    BootstrapOptions bootstrap;
    // The points, made once.
    std::shared_ptr<const SaltelliDesign> saltelli;
    std::shared_ptr<const MorrisDesign> morris;

    std::uint64_t runs() const;
    // The values of the inputs in run k (1 .. runs()), in the inputs' order.
    std::vector<double> values(std::uint64_t k) const;
};

// Makes the points of a design whose fields are set.
void make_points(Design& design);

// Reads a "sensitivity" block; `where` names it in messages. Unknown or
// mistyped fields throw veltrax::Error "veltrax:badScenario"; values out of
// range (a sample size below the design's minimum, bounds with low >= high,
// a metric that sweep.csv does not have, too many inputs) "veltrax:badDesign",
// naming the field.
Design parse_design(const nlohmann::json& block, const std::string& where = "sensitivity");

// The block with every field written out, which parse_design reads back.
nlohmann::ordered_json design_json(const Design& design);

// Throws veltrax::Error "veltrax:badDesign" naming `field` when `metric` is
// not a metric column of sweep.csv (the message lists them).
void check_metric_name(const std::string& metric, const std::string& field, const std::string& id);

}  // namespace veltrax::experiments
