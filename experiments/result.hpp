// SPDX-License-Identifier: LGPL-2.1-or-later
// The result of one run, in memory: per call what the simulation returned
// and its metrics, computed once when the call ends. Writers take it as it
// is: the run folder (experiments/run_folder.hpp) and any other store of
// results (experiments/store.hpp).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "api/veltrax.hpp"
#include "experiments/call_setup.hpp"
#include "experiments/controller_setup.hpp"
#include "experiments/metrics.hpp"
#include "experiments/population.hpp"

namespace veltrax::experiments {

struct CallResult {
    std::size_t call = 0;          // 1-based
    CallSetup setup;                 // what ran
    std::vector<Matrix> outputs;   // t, trajectory, theta, search, sums, as Simulation::call returns them
    Metrics metrics;               // of outputs[0] and outputs[1]
};

// The call that failed; the calls after it did not run.
struct RunFailure {
    std::size_t call = 0;  // 1-based; 0: no call ran (an individual that cannot be run)
    std::string id;
    std::string message;
};

// A population's individual as its run shows it.
struct DrawnIndividual {
    std::uint64_t population_seed = 0;
    std::array<bool, kCovariates> drawn{};  // the covariates the population draws
    std::vector<std::string> plant;         // names of the plant covariates (values in individual.plant)
    Individual individual;                  // index, values, valid and why not
};

// A run of a sensitivity design: its point and the inputs' values there.
struct DesignPoint {
    std::string method;  // "sobol", "morris"
    std::uint64_t index = 0;
    std::vector<std::pair<std::string, double>> values;  // input name, value
};

struct RunResult {
    std::string scenario;  // its name: the result folder in a sweep
    std::string path;      // the scenario file as given
    std::string description;  // the scenario's; may be empty
    Build build = Build::Base;
    std::optional<ControllerSetup> controller;  // what closed the loop; none: the adaptive one of build
    std::string compare;                       // the comparison this run belongs to; empty: none
    long seed = 0;                    // noise seed; 0: none
    std::optional<DrawnIndividual> individual;  // also for a design point: its index and covariates
    std::optional<DesignPoint> design_point;
    std::vector<CallResult> calls;    // those that ran, in order
    std::optional<RunFailure> failure;

    bool ok() const { return !failure; }
    std::uint64_t individual_index() const { return individual ? individual->individual.index : 0; }
};

// Call `call` of `setup` that returned `outputs`, with its metrics.
CallResult call_result(std::size_t call, const CallSetup& setup, std::vector<Matrix> outputs,
                       const MetricOptions& options = {});

// The individual of population `p` as a run shows it.
DrawnIndividual drawn_individual(const Population& p, const Individual& individual);

}  // namespace veltrax::experiments
