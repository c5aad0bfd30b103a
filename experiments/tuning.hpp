// SPDX-License-Identifier: LGPL-2.1-or-later
// Robust tuning: settings chosen within bounds to minimise a quantile (or
// the mean) of a metric over the scenario's population, the training
// population. Every candidate runs the same individuals with the same noise
// (common random numbers), so candidates differ by their settings alone.
// The chosen settings and the scenario's own then run on a validation
// population: the same population block drawn with another seed.
//
//   "tune": {
//     "settings": [{"name": "settings.control_weight", "low": 0.01, "high": 1, "scale": "log"},
//                  {"name": "settings.a_order", "values": [2, 3, 4]}],
//     "metric": "mdape", "objective": {"quantile": 0.95}, "call": 1,
//     "candidates": 40, "validation": {"size": 200, "seed": 43}
//   }
//
// Settings of whole numbers (orders, dead time) and settings given as a
// list of "values" are enumerated: every combination is tried, and for each
// the continuous settings are optimised by NLopt's BOBYQA within their
// bounds, each combination with an equal share of the candidates.
// docs/sensitivity.md describes every field.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "api/veltrax.hpp"
#include "experiments/named_input.hpp"
#include "experiments/scenario.hpp"

namespace veltrax::experiments {

struct TunedSetting {
    NamedInput input;            // name, place, bounds (uniform or log-uniform)
    std::vector<double> values;  // enumerated values; empty: continuous within the bounds
    double initial = 0.0;        // the scenario's own value

    bool enumerated() const { return !values.empty(); }
};

struct TuneProblem {
    std::vector<TunedSetting> settings;
    std::string metric;
    std::size_t call = 1;
    bool mean = false;       // the objective: the mean, or
    double quantile = 0.95;  // this quantile of the metric over the population
    std::size_t candidates = 40;
    std::uint64_t training_size = 0, training_seed = 0;  // the scenario's population
    std::uint64_t validation_size = 0;
    std::uint64_t validation_seed = 0;
};

// Reads the scenario's "tune" block. The scenario needs a population (the
// training population); the validation population defaults to its size and
// the seed after its seed. Unknown or mistyped fields throw veltrax::Error
// "veltrax:badScenario"; values out of range (bounds with low >= high, an
// unknown metric or setting, too few candidates for the combinations of
// enumerated settings, a validation seed equal to the training seed)
// "veltrax:badTuning", naming the field.
TuneProblem parse_tune(const Scenario& scenario);

// Minimum candidates per combination of enumerated settings for n
// continuous settings: BOBYQA's 2n + 1 interpolation points and one more.
std::size_t min_candidates(std::size_t continuous);

// A set of settings run on a population.
struct Evaluation {
    std::vector<double> values;  // per setting, in the order of problem.settings
    double objective = 0.0;      // +inf when the quantile or mean is not finite
    std::size_t failed = 0;      // individuals without a finite metric (failed runs among them)
    std::vector<double> metric;  // per individual, NaN where not finite
};

// 5, 50 and 95 % of y and u per sample over the runs of one settings.
struct Bands {
    std::vector<double> t, setpoint;
    std::array<std::vector<double>, 3> y, u;
    std::size_t runs = 0;
};

struct TuneResult {
    TuneProblem problem;
    std::string algorithm;             // "BOBYQA", or "enumeration" without continuous settings
    std::vector<Evaluation> history;   // the candidates in the order evaluated
    std::size_t best = 0;              // index of the chosen one in history
    Evaluation default_training;       // the scenario's own settings
    Evaluation default_validation, tuned_validation;
    Bands default_bands, tuned_bands;  // on the validation population
    bool stopped = false;              // the cancellation hook stopped it; the rest is partial
};

struct TuneOptions {
    unsigned threads = 0;  // runs at once; 0: VELTRAX_THREADS or the CPUs the process may use
    RunOptions run;        // its cancellation hook stops the tuning
    // When not empty: the validation runs go there as a sweep of two
    // scenarios, "default" and "tuned", and tune.json beside them.
    std::filesystem::path outdir;
    // After each candidate, on the calling thread.
    std::function<void(const TuneResult& so_far)> progress;
};

// Runs the tuning of `scenario` (its "tune" block). Throws veltrax::Error as
// parse_tune, and "veltrax:writeFailed" or "veltrax:badSweep" when the
// output folder cannot take the results.
TuneResult tune(const Scenario& scenario, const TuneOptions& options = {});

// What `veltrax tune` writes as tune.json, and `veltrax report` reads.
nlohmann::ordered_json tune_json(const TuneResult& result);

// The objective of metric values over a population: non-finite values rank
// above every finite one; the quantile interpolates between the order
// statistics at (n - 1) q. +inf when it lands on a value that is not finite.
double tune_objective(std::vector<double> values, bool mean, double quantile);

}  // namespace veltrax::experiments
