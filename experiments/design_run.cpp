// SPDX-License-Identifier: LGPL-2.1-or-later
#include "experiments/design_run.hpp"

#include <cmath>
#include <limits>
#include <utility>

#include "experiments/controller_setup.hpp"
#include "experiments/expand.hpp"
#include "experiments/plant_models_json.hpp"
#include "experiments/strict_json.hpp"

namespace veltrax::experiments {

using json = nlohmann::json;

namespace {

std::string input_where(const Design& d, std::size_t i) {
    return "'sensitivity.inputs' element " + std::to_string(i + 1) + " ('" + d.inputs[i].name + "')";
}

// Top-level fields that are not a call's values.
bool fixed_field(const std::string& key) {
    return key == "build" || key == "seed" || key == "population" || key == "sensitivity" || key == "tune" ||
           key == "description";
}

}  // namespace

Population design_covariates(const Design& d) {
    Population p;
    p.size = d.runs();
    p.seed = d.seed;
    for (const NamedInput& in : d.inputs) {
        if (in.path.covariate < 0) continue;
        Distribution& dist = p.covariates[in.path.covariate];
        dist.kind = Distribution::Kind::uniform;
        dist.low = in.range.low;
        dist.high = in.range.high;
    }
    return p;
}

void check_design_fits(const Scenario& s) {
    const Design& d = *s.design;
    for (std::size_t i = 0; i < d.inputs.size(); ++i) {
        const FieldPath& path = d.inputs[i].path;
        if (path.covariate >= 0) continue;
        if (fixed_field(path.steps.front().key))
            throw Error("veltrax:badDesign", input_where(d, i) + ": '" + path.steps.front().key +
                                                 "' is not a value of the calls and cannot be an input");
        const json* v = field_at(*s.source, path);
        if (!v || !v->is_number())
            throw Error("veltrax:badDesign", input_where(d, i) + ": the scenario file has no number at '" + path.text +
                                                 "'" + (v ? " (it holds " + json_kind(*v) + ")" : ""));
    }
    check_population_fits(s.calls, design_covariates(d));
    if (d.call > s.calls.size())
        throw Error("veltrax:badDesign", "sensitivity.call must be at most " + std::to_string(s.calls.size()) +
                                             " (the scenario's calls), got " + std::to_string(d.call));
}

PlannedRun plan_design_run(const Scenario& s, std::uint64_t k) {
    const Design& d = *s.design;
    if (k < 1 || k > d.runs())
        throw Error("veltrax:badArguments", "run " + std::to_string(k) + " is outside the design's runs 1 .. " +
                                                std::to_string(d.runs()));
    PlannedRun plan;
    plan.scenario = &s;
    const std::vector<double> values = d.values(k);
    Individual ind;
    ind.index = k;
    ind.values.fill(std::numeric_limits<double>::quiet_NaN());
    json top = *s.source;
    DesignPoint point{design_method_name(d.method), k, {}};
    for (std::size_t i = 0; i < d.inputs.size(); ++i) {
        const NamedInput& in = d.inputs[i];
        point.values.emplace_back(in.name, values[i]);
        if (in.path.covariate >= 0)
            ind.values[in.path.covariate] = values[i];
        else
            set_field(top, in.path, values[i], in.range.kind == InputRange::Kind::integer);
    }
    plan.design_point = std::move(point);
    const Population covariates = design_covariates(d);
    try {
        // The controller with the point's values, where it has inputs.
        plan.controller = s.controller;
        if (s.controller && top.contains("controller")) plan.controller = parse_controller(top.at("controller"), s.build, "controller");
        // Disturbances and the other plant models with the point's values; every
        // point draws from the same streams (the scenario's seed, individual 0).
        if (std::optional<PlantModels> models = parse_plant_models(top)) {
            for (const CallSetup& call : s.calls)
                if (!call.rejected) check_plant_models(*models, call.settings.builtin_model());
            models->seed = static_cast<std::uint64_t>(s.seed != 0 ? s.seed : 1);
            models->individual = 0;
            plan.models = std::make_shared<const PlantModels>(std::move(*models));
        }
        PopulationRun run = individual_run(scenario_calls(top), covariates, ind);
        if (run.rejected) {
            run.individual.valid = false;
            run.individual.reason = run.rejected->error.message;
            plan.rejected = RunFailure{run.rejected->call, run.rejected->error.id, run.rejected->error.message};
        }
        ind = run.individual;
        plan.calls = std::move(run.calls);
    } catch (const Error& e) {  // the file with these values is not one the tool reads
        ind.valid = false;
        ind.reason = e.what();
        plan.rejected = RunFailure{0, e.id(), e.what()};
    }
    plan.individual = drawn_individual(covariates, ind);
    return plan;
}

}  // namespace veltrax::experiments
