// SPDX-License-Identifier: LGPL-2.1-or-later
// Running scenarios: one run in a simulation of the caller's (`veltrax
// run`), or a sweep of many runs on threads, each handed to a store as soon
// as it ends (`veltrax batch`, and the Python package's run_sweep). Both give
// the same results, bit for bit.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "api/veltrax.hpp"
#include "experiments/result.hpp"
#include "experiments/scenario.hpp"
#include "experiments/store.hpp"
#include "experiments/sweep.hpp"

namespace veltrax::experiments {

// The calls of one run as they will run: the scenario's own, or those of
// individual k of its population.
struct PlannedRun {
    const Scenario* scenario = nullptr;
    std::vector<CallSetup> calls;
    std::optional<DrawnIndividual> individual;
    std::optional<DesignPoint> design_point;
    // What closes the loop: the scenario's controller, or the one a design
    // point's values changed; none: the adaptive controller of the build.
    std::optional<ControllerSetup> controller;
    // Not run: an individual whose draw failed or whose values the
    // simulation rejects.
    std::optional<RunFailure> rejected;
    // The scenario's plant models keyed for this run: (the population's seed,
    // else the scenario's noise seed, else 1; the individual, else 0). Null
    // without models.
    std::shared_ptr<const PlantModels> models;

    // `options` for call `call` (from 0): with the windows of the run's
    // disturbances and changes, and for the adaptive controller of the
    // preview builds with the set-point in force under the call's schedule.
    MetricOptions metric_options(const MetricOptions& options, std::size_t call) const;

    // The result before any call ran: the run's names, build, seed and
    // individual, and the rejection as its failure.
    RunResult empty_result() const;
};

// The simulation that runs the scenario as loaded: the adaptive controller of
// its build, or its controller of another kind.
Simulation simulation_for(const Scenario& scenario);
// The same for a planned run, whose design point may change the controller.
Simulation simulation_for(const PlannedRun& plan);

// Run `individual` of the scenario: 0 for a scenario without population or
// design, 1 .. size for one with a population, 1 .. runs for a design's
// points. Throws veltrax::Error "veltrax:badArguments" for any other, and
// for a comparison (which a sweep runs, a run per controller).
PlannedRun plan_run(const Scenario& scenario, std::uint64_t individual);

// Runs the planned calls in `sim`, one after another, until one fails.
// `options(k)` gives the options of call k (from 0: threads, progress,
// cancellation); each call's schedule is set here. A call stopped by the
// cancellation hook fails with "veltrax:interrupted".
RunResult run_planned(Simulation& sim, const PlannedRun& plan,
                      const std::function<RunOptions(std::size_t call)>& options,
                      const MetricOptions& metrics = {});

struct SweepOptions {
    Shard shard;                              // run only this slice
    unsigned threads = 0;                     // runs at once; 0: VELTRAX_THREADS or the CPUs this process may use
    std::vector<std::uint8_t> initial_state;  // every run starts from this snapshot; empty: the state at load
    RunOptions run;                           // the cancellation hook (each run searches on one thread)
    MetricOptions metrics;
};

// What a sweep did with its slice.
struct SweepOutcome {
    std::size_t runs = 0;                  // of the slice
    std::size_t resumed = 0;               // of those, stored before and not run again
    std::size_t written = 0;               // handed to the store and stored
    std::size_t failed = 0;                // of those written, runs that failed
    std::vector<std::string> interrupted;  // runs the cancellation hook stopped: "PATH" or "PATH: individual K"
    std::size_t not_started = 0;           // runs not begun when the hook stopped the sweep
    std::optional<Error> store_error;      // the store's error when it finished
};

// Receives each run that ended, with the store's error if it could not be
// stored (else null); one call at a time, on the thread that ran it.
using SweepListener = std::function<void(const RunResult& run, const Error* store_error)>;

// The scenarios of a sweep in its order: by name, in byte order.
std::vector<const Scenario*> sorted_by_name(const std::vector<Scenario>& scenarios);

// The scenarios of a sweep as it runs them: comparisons expanded
// (expand_comparisons), by name.
std::vector<Scenario> sweep_scenarios(const std::vector<Scenario>& scenarios);

// The manifest of scenarios in that order. Throws veltrax::Error
// "veltrax:badArguments" when two share a name, a name is not usable
// (unusable_name) or there are more than kMaxSweepScenarios.
SweepManifest sweep_manifest(const std::vector<const Scenario*>& scenarios_by_name);

// Runs slice `options.shard` of the sweep of `scenarios` (in any order: the
// sweep orders them by name), each run in a simulation of its own that
// starts from the initial state, into `store`. Before anything runs the
// store gets the manifest and the slice (its errors end the sweep at once),
// and the initial state must belong to every scenario's build
// ("veltrax:badSnapshot"). A run that ends goes to the store at once, on the
// thread that ran it; the cancellation hook stops the running runs (not
// stored) and starts no more. Runs the store holds already are not run
// again. The store's error at its finish goes into the outcome.
SweepOutcome run_sweep(const std::vector<Scenario>& scenarios, ResultStore& store, const SweepOptions& options,
                       const SweepListener& listener = {});

}  // namespace veltrax::experiments
