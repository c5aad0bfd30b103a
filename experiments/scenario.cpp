// SPDX-License-Identifier: LGPL-2.1-or-later
#include "experiments/scenario.hpp"

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "experiments/controller_setup.hpp"
#include "experiments/design_run.hpp"
#include "experiments/expand.hpp"
#include "experiments/files.hpp"
#include "experiments/named_input.hpp"
#include "experiments/plant_models_json.hpp"
#include "experiments/strict_json.hpp"

namespace veltrax::experiments {

namespace {

using nlohmann::json;

[[noreturn]] void bad(const std::string& message) { throw Error("veltrax:badScenario", message); }

const std::vector<std::string> kCallFields = {"settings", "params", "process", "numerator", "denominator", "model",
                                              "curve",    "observer", "T",     "setpoint",  "description"};

std::vector<std::string> top_fields() {
    std::vector<std::string> fields = {"build",      "calls",       "seed",        "population",
                                       "controller", "controllers", "sensitivity", "tune", "metrics"};
    for (const char* f : kPlantModelFields) fields.push_back(f);
    fields.insert(fields.end(), kCallFields.begin(), kCallFields.end());
    return fields;
}

// The build, which a file that names its controllers may leave out (2).
Build build_of(const json& top) {
    if (!top.contains("build") && (top.contains("controller") || top.contains("controllers"))) return Build::Base;
    if (!top.contains("build")) bad("top level: no 'build' (1, 2 or 3)");
    const json& b = top.at("build");
    if (!b.is_number_integer() || b.get<long long>() < 1 || b.get<long long>() > 3)
        bad("top level: 'build' must be 1, 2 or 3, got " + (b.is_number() ? b.dump() : json_kind(b)));
    return static_cast<Build>(b.get<int>());
}

long seed_of(const json& v) {
    const long max = Simulation::kMaxSeed;
    const std::string form = "top level: 'seed' must be an integer from 1 to " + std::to_string(max);
    if (!v.is_number()) bad(form + ", got " + json_kind(v));
    if (!v.is_number_integer() || v.get<long long>() < 1 || v.get<long long>() > max)
        throw Error("veltrax:badSeed", form + ", got " + v.dump());
    return static_cast<long>(v.get<long long>());
}

// "metrics": {"band", "absolute_band", "maintenance_start"}, each a number
// (the bands at least 0).
void read_metric_settings(const json& top, Scenario& s) {
    if (!top.contains("metrics")) return;
    const json& m = top.at("metrics");
    if (!m.is_object()) bad("'metrics' must be an object, got " + json_kind(m));
    check_known_fields(m, {"band", "absolute_band", "maintenance_start"}, "metrics");
    auto number = [&](const char* name, bool non_negative) {
        const json& v = m.at(name);
        if (!v.is_number() || (non_negative && v.get<double>() < 0.0))
            bad(std::string("metrics: '") + name + "' must be a " + (non_negative ? "number >= 0" : "number") +
                ", got " + (v.is_number() ? v.dump() : json_kind(v)));
        return v.get<double>();
    };
    if (m.contains("band")) s.band = number("band", true);
    if (m.contains("absolute_band")) s.absolute_band = number("absolute_band", true);
    if (m.contains("maintenance_start")) s.maintenance_start = number("maintenance_start", false);
}

void check_steps(std::size_t steps, const std::string& where) {
    if (steps > kMaxSetpointSteps)
        bad(where + ": the set-point schedules hold more than " + std::to_string(kMaxSetpointSteps) +
            " steps (an inherited schedule counts for each call)");
}

std::vector<CallSetup> calls_of(const json& top) {
    if (!top.contains("calls")) {
        CallSetup setup = call_setup(top, "top level", false);
        if (setup.setpoint) check_steps(setup.setpoint->steps.size(), "top level");
        return {std::move(setup)};
    }
    const json& calls = top.at("calls");
    if (!calls.is_array()) bad("top level: 'calls' must be an array of objects, got " + json_kind(calls));
    if (calls.empty()) bad("top level: 'calls' is empty");
    if (calls.size() > kMaxCalls)
        bad("top level: 'calls' must have at most " + std::to_string(kMaxCalls) + " calls, got " +
            std::to_string(calls.size()));
    std::vector<CallSetup> setups;
    std::size_t steps = 0;
    for (std::size_t i = 0; i < calls.size(); ++i) {
        const std::string where = "call " + std::to_string(i + 1);
        const json& call = calls[i];
        if (!call.is_object()) bad(where + " must be an object, got " + json_kind(call));
        check_known_fields(call, kCallFields, where);
        check_call_fields(call, where);
        setups.push_back(call_setup(merged_call(top, call), where, true));
        if (setups.back().setpoint) steps += setups.back().setpoint->steps.size();
        check_steps(steps, "calls 1 to " + std::to_string(i + 1));
    }
    return setups;
}

// "controller" or "controllers", whose names must differ.
void read_controllers(const json& top, Scenario& s) {
    if (top.contains("controller") && top.contains("controllers"))
        bad("top level: give 'controller' or 'controllers', not both");
    if (top.contains("controller")) {
        s.controller = parse_controller(top.at("controller"), s.build, "controller");
        if (s.controller->adaptive()) s.build = s.controller->build;
    }
    if (!top.contains("controllers")) return;
    const json& list = top.at("controllers");
    if (!list.is_array() || list.empty())
        bad("top level: 'controllers' must be a non-empty array of controllers, got " + json_kind(list));
    for (std::size_t i = 0; i < list.size(); ++i) {
        ControllerSetup c = parse_controller(list[i], s.build, "controllers[" + std::to_string(i + 1) + "]");
        for (const ControllerSetup& other : s.controllers)
            if (other.name == c.name)
                bad("controllers[" + std::to_string(i + 1) + "]: another controller is named '" + c.name +
                    "'; give each its own \"name\"");
        s.controllers.push_back(std::move(c));
    }
}

}  // namespace

std::vector<CallSetup> scenario_calls(const json& top) { return calls_of(top); }

std::vector<Scenario> expand_comparisons(const std::vector<Scenario>& scenarios) {
    std::vector<Scenario> out;
    for (const Scenario& s : scenarios) {
        if (s.controllers.empty()) {
            out.push_back(s);
            continue;
        }
        std::vector<std::string> names;
        for (const ControllerSetup& c : s.controllers) names.push_back(c.name);
        for (const ControllerSetup& c : s.controllers) {
            Scenario run = s;
            run.compared = names;
            run.controllers.clear();
            run.controller = c;
            run.compare = s.name;
            run.name = s.name + "@" + c.name;
            if (c.adaptive()) run.build = c.build;
            out.push_back(std::move(run));
        }
    }
    return out;
}

Scenario parse_scenario(const std::string& text, const std::string& path) {
    if (text.size() > kMaxScenarioFile)
        bad("the scenario is " + larger_than(kMaxScenarioFile) + "; no scenario needs that much");
    Scenario s = parse_scenario_json(parse_json_strict(text, "veltrax:badScenario"), path);
    s.text = text;
    return s;
}

namespace {

// Every plant covariate names a number that the file's plant models give.
void check_plant_covariates(const json& top, const Population& p) {
    for (const PlantCovariate& c : p.plant) {
        const json* at = field_at(top, parse_field_path(c.name, "population", "veltrax:badPopulation"));
        if (!at || !at->is_number())
            throw Error("veltrax:badPopulation",
                        "population: '" + c.name +
                            "' names no number of the scenario's disturbances, sensor, actuator or changes; give the "
                            "field in the file, and the population replaces its value with each individual's draw");
    }
}

}  // namespace

Scenario parse_scenario_json(const json& top, const std::string& path) {
    if (!top.is_object()) bad("the file must hold a JSON object, got " + json_kind(top));
    check_known_fields(top, top_fields(), "top level");

    Scenario s;
    s.path = path;
    s.name = std::filesystem::path(path).stem().string();
    s.build = build_of(top);
    check_call_fields(top, "top level");
    if (top.contains("description")) s.description = top.at("description").get<std::string>();
    if (top.contains("seed")) s.seed = seed_of(top.at("seed"));
    read_controllers(top, s);
    read_metric_settings(top, s);
    s.calls = calls_of(top);
    s.plant_models = parse_plant_models(top);
    if (s.plant_models)
        for (const CallSetup& call : s.calls)
            if (!call.rejected) check_plant_models(*s.plant_models, call.settings.builtin_model());
    if (top.contains("population")) {
        s.population = parse_population(top.at("population"), "population");
        check_population_fits(s.calls, *s.population);
        check_plant_covariates(top, *s.population);
    }
    if (top.contains("sensitivity")) {
        if (s.population) bad("top level: give either 'population' or 'sensitivity', not both; a design varies "
                              "covariates as inputs named population.NAME");
        if (!s.controllers.empty())
            bad("top level: give either 'controllers' or 'sensitivity', not both; a design studies one controller");
        s.design = parse_design(top.at("sensitivity"), "sensitivity");
    }
    if (top.contains("tune")) s.tune = top.at("tune");
    s.source = std::make_shared<const json>(top);
    if (s.design) check_design_fits(s);
    return s;
}

Scenario load_scenario(const std::string& path) {
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) bad("cannot read the file: it is a folder");
    std::string text;
    errno = 0;
    if (!read_text(path, text, kMaxScenarioFile)) {
        if (errno == EFBIG) bad("the file is " + larger_than(kMaxScenarioFile) + "; no scenario needs that much");
        bad(std::string("cannot read the file") + (errno ? ": " + std::string(std::strerror(errno)) : ""));
    }
    return parse_scenario(text, path);
}

}  // namespace veltrax::experiments
