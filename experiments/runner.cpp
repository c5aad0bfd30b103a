// SPDX-License-Identifier: LGPL-2.1-or-later
#include "experiments/runner.hpp"

#include <algorithm>
#include <cmath>
#include <mutex>
#include <new>

#include "experiments/design_run.hpp"
#include "experiments/expand.hpp"
#include "experiments/named_input.hpp"
#include "experiments/plant_models_json.hpp"

namespace veltrax::experiments {

namespace {

// Runs of a slice planned and run at once: what their inputs and results
// take in memory.
constexpr std::size_t kRunsPerRound = 1024;

bool cancelled(const RunOptions& options) { return options.cancelled && options.cancelled(options.cancel_context); }

// Every run branches from the same state, which must be of its build.
void check_initial_state(const std::vector<std::uint8_t>& state, const std::vector<Scenario>& scenarios) {
    if (state.empty()) return;
    const Build build = check_snapshot(state).build;
    for (const Scenario& s : scenarios)  // another controller takes the plant of any build's snapshot
        if ((!s.controller || s.controller->adaptive()) && s.build != build)
            throw Error("veltrax:badSnapshot", "snapshot belongs to veltrax" + std::to_string(static_cast<int>(build)) +
                                                   ", scenario '" + s.path + "' runs veltrax" +
                                                   std::to_string(static_cast<int>(s.build)));
}

// The simulation's job of a plan: its calls up to the first one rejected.
BatchJob job_of(const PlannedRun& plan, const SweepOptions& options) {
    BatchJob job;
    job.build = plan.scenario->build;
    job.initial_state = options.initial_state;
    job.seed = plan.scenario->seed;
    if (plan.controller) job.controller = make_controller(*plan.controller);
    for (const CallSetup& call : plan.calls) {
        if (call.rejected) break;
        job.settings.push_back(call.settings);
        job.schedules.push_back(call.setpoint ? &*call.setpoint : nullptr);
        job.plant_models.push_back(plan.models.get());
    }
    return job;
}

// The result of a plan whose job ended with `r`; nullopt when the
// cancellation hook stopped it.
std::optional<RunResult> result_of(const PlannedRun& plan, BatchResult&& r, const MetricOptions& options) {
    if (!r.ok && r.error_id == "veltrax:interrupted") return std::nullopt;
    RunResult run = plan.empty_result();
    for (std::size_t k = 0; k < r.outputs.size(); ++k)
        run.calls.push_back(call_result(k + 1, plan.calls[k], std::move(r.outputs[k]), plan.metric_options(options, k)));
    if (!r.ok) {
        run.failure = RunFailure{run.calls.size() + 1, r.error_id, r.error_message};
    } else if (run.calls.size() < plan.calls.size()) {
        const CallError& e = *plan.calls[run.calls.size()].rejected;
        run.failure = RunFailure{run.calls.size() + 1, e.id, e.message};
    }
    return run;
}

// Hands runs to the store and the listener, one at a time.
class Delivery {
public:
    Delivery(ResultStore& store, const SweepListener& listener, SweepOutcome& outcome)
        : store_(store), listener_(listener), outcome_(outcome) {}

    void deliver(const RunResult& run) {
        std::optional<Error> error;
        try {
            store_.write(run);
        } catch (const Error& e) {
            error = e;
        }
        const std::lock_guard<std::mutex> lock(mutex_);
        ++ended_;
        if (!error) ++outcome_.written;
        if (!error && !run.ok()) ++outcome_.failed;
        if (listener_) listener_(run, error ? &*error : nullptr);
    }
    void interrupted(const std::string& name) {
        const std::lock_guard<std::mutex> lock(mutex_);
        ++ended_;
        outcome_.interrupted.push_back(name);
    }
    std::size_t ended() const { return ended_; }

private:
    ResultStore& store_;
    const SweepListener& listener_;
    SweepOutcome& outcome_;
    std::mutex mutex_;
    std::size_t ended_ = 0;
};

void run_round(const std::vector<const Scenario*>& scenarios, const std::vector<RunRef>& refs,
               const SweepOptions& options, Delivery& delivery) {
    std::vector<PlannedRun> plans;
    std::vector<BatchJob> jobs;
    for (const RunRef& ref : refs) {
        if (cancelled(options.run)) break;  // the rest are not started
        PlannedRun plan = plan_run(*scenarios[ref.scenario], ref.individual);
        if (plan.rejected) {  // reported as a failed run, never drawn again
            delivery.deliver(plan.empty_result());
            continue;
        }
        jobs.push_back(job_of(plan, options));
        plans.push_back(std::move(plan));
    }
    run_batch(jobs, options.threads, options.run, [&](std::size_t j, BatchResult&& r) {
        const PlannedRun& plan = plans[j];
        std::optional<RunResult> result = result_of(plan, std::move(r), options.metrics);
        if (result)
            delivery.deliver(*result);
        else if (plan.individual)
            delivery.interrupted(plan.scenario->path + ": individual " + std::to_string(plan.individual->individual.index));
        else
            delivery.interrupted(plan.scenario->path);
    });
}

// The plant models with the individual's drawn plant covariates; a whole
// number where the file gives one (the value recorded is the one used).
void put_plant_covariates(const Scenario& scenario, Individual& ind, PlannedRun& plan) {
    const Population& p = *scenario.population;
    nlohmann::json top = *scenario.source;
    try {
        for (std::size_t i = 0; i < p.plant.size(); ++i) {
            const FieldPath path = parse_field_path(p.plant[i].name, "population", "veltrax:badPopulation");
            const bool whole = field_at(top, path)->is_number_integer();
            if (whole) ind.plant[i] = std::round(ind.plant[i]);
            set_field(top, path, ind.plant[i], whole);
        }
        std::optional<PlantModels> models = parse_plant_models(top);
        for (const CallSetup& call : plan.calls)
            if (!call.rejected) check_plant_models(*models, call.settings.builtin_model());
        models->seed = p.seed;
        models->individual = ind.index;
        plan.models = std::make_shared<const PlantModels>(std::move(*models));
    } catch (const Error& e) {
        ind.valid = false;
        ind.reason = e.what();
        plan.rejected = RunFailure{0, e.id(), e.what()};
    }
}

}  // namespace

MetricOptions PlannedRun::metric_options(const MetricOptions& options, std::size_t call) const {
    MetricOptions o = options;
    if (models) o.disturbances = disturbance_windows(*models);
    o.band = scenario->band;
    o.absolute_band = scenario->absolute_band;
    o.maintenance_start = scenario->maintenance_start;
    const bool adaptive = !scenario->controller || scenario->controller->adaptive();
    if (adaptive && scenario->build != Build::Base) {  // the recorded set-point is the previewed one
        o.setpoint_in_force = true;
        if (call < calls.size() && calls[call].setpoint) o.schedule = *calls[call].setpoint;
    }
    return o;
}

RunResult PlannedRun::empty_result() const {
    RunResult run;
    run.scenario = scenario->name;
    run.path = scenario->path;
    run.description = scenario->description;
    run.build = scenario->build;
    run.controller = controller;
    run.compare = scenario->compare;
    run.seed = scenario->seed;
    run.individual = individual;
    run.design_point = design_point;
    run.failure = rejected;
    return run;
}

Simulation simulation_for(const Scenario& scenario) {
    const std::shared_ptr<const Controller> controller =
        scenario.controller ? make_controller(*scenario.controller) : nullptr;
    return controller ? Simulation(*controller) : Simulation(scenario.build);
}

Simulation simulation_for(const PlannedRun& plan) {
    return plan.controller ? Simulation(*make_controller(*plan.controller)) : Simulation(plan.scenario->build);
}

PlannedRun plan_run(const Scenario& scenario, std::uint64_t individual) {
    if (!scenario.controllers.empty())
        throw Error("veltrax:badArguments", "scenario '" + scenario.path + "' compares " +
                                                std::to_string(scenario.controllers.size()) +
                                                " controllers; run it as a sweep (veltrax batch), one run folder per "
                                                "controller, or give it one \"controller\"");
    if (scenario.design) return plan_design_run(scenario, individual);
    PlannedRun plan;
    plan.scenario = &scenario;
    plan.controller = scenario.controller;
    if (scenario.plant_models) {
        auto models = std::make_shared<PlantModels>(*scenario.plant_models);
        models->seed = scenario.population ? scenario.population->seed
                                           : static_cast<std::uint64_t>(scenario.seed != 0 ? scenario.seed : 1);
        models->individual = scenario.population ? individual : 0;
        plan.models = std::move(models);
    }
    if (!scenario.population) {
        if (individual != 0) throw Error("veltrax:badArguments", "scenario '" + scenario.path + "' has no population");
        plan.calls = scenario.calls;
        return plan;
    }
    const Population& p = *scenario.population;
    if (individual < 1 || individual > p.size)
        throw Error("veltrax:badArguments", "individual " + std::to_string(individual) +
                                                " is outside the population 1 .. " + std::to_string(p.size));
    PopulationRun run = expand_individual(scenario.calls, p, individual);
    if (run.rejected) {
        const IndividualRejection& r = *run.rejected;
        if (run.individual.valid) {  // drawn, but the simulation's checks reject it
            run.individual.valid = false;
            run.individual.reason = r.error.message;
        }
        plan.rejected = RunFailure{r.call, r.error.id, r.error.message};
    }
    if (!plan.rejected && !p.plant.empty()) put_plant_covariates(scenario, run.individual, plan);
    plan.individual = drawn_individual(p, run.individual);
    plan.calls = std::move(run.calls);
    return plan;
}

RunResult run_planned(Simulation& sim, const PlannedRun& plan,
                      const std::function<RunOptions(std::size_t call)>& options, const MetricOptions& metrics) {
    RunResult run = plan.empty_result();
    for (std::size_t k = 0; k < plan.calls.size() && run.ok(); ++k) {
        const CallSetup& call = plan.calls[k];
        if (call.rejected) {
            run.failure = RunFailure{k + 1, call.rejected->id, call.rejected->message};
            break;
        }
        RunOptions o = options ? options(k) : RunOptions{};
        o.schedule = call.setpoint ? &*call.setpoint : nullptr;
        o.plant_models = plan.models.get();
        try {
            run.calls.push_back(call_result(k + 1, call, sim.call(call.settings, o), plan.metric_options(metrics, k)));
        } catch (const Error& e) {
            run.failure = RunFailure{k + 1, e.id(), e.what()};
        } catch (const std::bad_alloc&) {
            run.failure = RunFailure{k + 1, "veltrax:outOfMemory", "not enough memory"};
        }
    }
    return run;
}

std::vector<const Scenario*> sorted_by_name(const std::vector<Scenario>& scenarios) {
    std::vector<const Scenario*> by_name;
    for (const Scenario& s : scenarios) by_name.push_back(&s);
    std::stable_sort(by_name.begin(), by_name.end(),
                     [](const Scenario* a, const Scenario* b) { return a->name < b->name; });
    return by_name;
}

SweepManifest sweep_manifest(const std::vector<const Scenario*>& scenarios) {
    SweepManifest manifest;
    if (scenarios.size() > kMaxSweepScenarios)
        throw Error("veltrax:badArguments", "a sweep has at most " + std::to_string(kMaxSweepScenarios) +
                                                " scenarios, got " + std::to_string(scenarios.size()));
    for (std::size_t i = 0; i < scenarios.size(); ++i) {
        const Scenario& s = *scenarios[i];
        const std::string why = unusable_name(s.name);
        if (!why.empty())
            throw Error("veltrax:badArguments", "'" + s.path + "' would write its results to '" + s.name +
                                                    "', which " + why + "; rename the file");
        if (i > 0 && scenarios[i - 1]->name == s.name)
            throw Error("veltrax:badArguments", "'" + scenarios[i - 1]->path + "' and '" + s.path +
                                                    "' would share the result folder '" + s.name +
                                                    "'; give scenario files distinct names");
        SweepEntry entry{s.name, s.population || s.design ? s.runs() : 0, nullptr};
        if (s.design) entry.design = design_json(*s.design);
        manifest.scenarios.push_back(std::move(entry));
        const bool listed = std::any_of(manifest.comparisons.begin(), manifest.comparisons.end(),
                                        [&s](const ComparisonEntry& e) { return e.name == s.compare; });
        if (!s.compare.empty() && !listed) manifest.comparisons.push_back({s.compare, s.compared});
    }
    return manifest;
}

std::vector<Scenario> sweep_scenarios(const std::vector<Scenario>& scenarios) {
    return expand_comparisons(scenarios);
}

SweepOutcome run_sweep(const std::vector<Scenario>& given, ResultStore& store, const SweepOptions& options,
                       const SweepListener& listener) {
    const std::vector<Scenario> scenarios = sweep_scenarios(given);
    const std::vector<const Scenario*> by_name = sorted_by_name(scenarios);
    const SweepManifest manifest = sweep_manifest(by_name);
    check_initial_state(options.initial_state, scenarios);
    const std::vector<RunRef> all = slice_runs(manifest, options.shard);
    store.begin(manifest, all);
    std::vector<RunRef> slice;
    for (std::size_t i = 0; i < all.size(); ++i)
        if (!store.stored(i)) slice.push_back(all[i]);

    SweepOutcome outcome;
    outcome.runs = all.size();
    outcome.resumed = all.size() - slice.size();
    Delivery delivery(store, listener, outcome);
    for (std::size_t begin = 0; begin < slice.size() && !cancelled(options.run); begin += kRunsPerRound) {
        const std::size_t end = std::min(slice.size(), begin + kRunsPerRound);
        run_round(by_name, std::vector<RunRef>(slice.begin() + begin, slice.begin() + end), options, delivery);
    }
    try {
        store.finish();
    } catch (const Error& e) {
        outcome.store_error = e;
    }
    outcome.not_started = slice.size() - delivery.ended();
    return outcome;
}

}  // namespace veltrax::experiments
