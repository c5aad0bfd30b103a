// SPDX-License-Identifier: LGPL-2.1-or-later
// Scenario files: the calls of one simulation, written as JSON.
//
//   {
//     "build": 2,
//     "settings": {"samples": 300, "control_weight": 0.1, "dead_time": 4, "u_max": 2,
//                  "a_order": 3, "b_order": 3, "noise": {"kind": "uniform", "amplitude": 0},
//                  "rk4_steps": 10, "rk4_step": 0.1},
//     "process": {"numerator": [1], "denominator": [1, 3, 3, 1]},
//     "curve": {"plant_midpoint": 0.404, "midpoint": 0.505, "plant_exponent": 2.98, "exponent": 4},
//     "calls": [{}, {"settings": {"control_weight": 0.3}, "observer": [1, -0.8, 0.16]}],
//     "setpoint": [[0, 0.8], [100, 0.95, "ramp"], [150, 0.9]],
//     "seed": 7,
//     "population": {"size": 100, "seed": 42, "body_mass": {...}},
//     "controllers": [{"kind": "adaptive"}, {"kind": "pid", "kp": 0.5, "ki": 0.05}]
//   }
//
// or, instead of "population", "sensitivity": a design of runs over named
// inputs (experiments/design.hpp). A "tune" block is read by `veltrax tune`
// (experiments/tuning.hpp); the other commands run the file as written.
//
// Top-level call fields (setpoint too) are defaults that each call may
// override; without "calls" the file is a single call. experiments/call_setup.hpp
// lists the parts of a call in both forms, experiments/controller_setup.hpp the
// controllers; docs/cli.md describes every field.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "api/veltrax.hpp"
#include "experiments/call_setup.hpp"
#include "experiments/controller_setup.hpp"
#include "experiments/design.hpp"
#include "experiments/metrics.hpp"
#include "experiments/population.hpp"

namespace veltrax::experiments {

// A scenario file is at most this large, has at most this many calls and
// its calls' set-point schedules together (an inherited one counted for each
// call) at most this many steps: beyond, a scenario has no use, only cost
// (every summary.json lists each call's steps).
constexpr std::size_t kMaxScenarioFile = std::size_t{4} << 20;
constexpr std::size_t kMaxCalls = 1000;
constexpr std::size_t kMaxSetpointSteps = 100000;

struct Scenario {
    std::string path;  // as given
    std::string name;  // file name without extension: the result folder in a sweep
    std::string description;  // the file's top-level "description"; may be empty
    std::string text;         // the file's text, as read (empty when parsed from JSON)
    Build build = Build::Base;
    std::vector<CallSetup> calls;  // in order, in one simulation
    long seed = 0;                // noise seed applied before the first call; 0: none
    // Runs one simulation per individual instead of one.
    std::optional<Population> population;
    // Runs one simulation per design point instead of one.
    std::optional<Design> design;
    // The "tune" block as written, for `veltrax tune`.
    std::optional<nlohmann::json> tune;
    // The file's JSON: design runs and tuning candidates put their values into it.
    std::shared_ptr<const nlohmann::json> source;
    // "disturbances", "sensor", "actuator", "changes": the plant models of
    // every call (experiments/plant_models_json.hpp); none without them.
    std::optional<PlantModels> plant_models;
    // What closes the loop: "controller", or a comparison's; none: the
    // adaptive controller of `build`.
    std::optional<ControllerSetup> controller;
    // "controllers": a comparison, run once per controller (expand_comparisons).
    std::vector<ControllerSetup> controllers;
    // A run of a comparison: the comparison's name (its scenario's), which
    // `name` ("NAME@CONTROLLER") extends, and its controllers' names in order.
    std::string compare;
    std::vector<std::string> compared;
    // "metrics": the settling band (relative and absolute parts) and the
    // maintenance window's start (none: the first time at target).
    double band = 0.02, absolute_band = kSettlingBand;
    std::optional<double> maintenance_start;

    // Runs in a sweep: 1, the population's size or the design's runs; times
    // the controllers of a comparison.
    std::uint64_t runs() const {
        const std::uint64_t one = population ? population->size : design ? design->runs() : 1;
        return controllers.empty() ? one : one * controllers.size();
    }
};

// The scenarios of a sweep with each comparison replaced by one scenario per
// controller, named NAME@CONTROLLER, whose runs pair with the others' by
// individual: the same calls, individuals, noise seed and schedule.
std::vector<Scenario> expand_comparisons(const std::vector<Scenario>& scenarios);

// Reads and checks a scenario file. Problems with the file itself (unreadable,
// not JSON, a field given twice or in both forms, missing or mistyped fields,
// beyond the limits above, at once) throw veltrax::Error "veltrax:badScenario"; steps out of order
// "veltrax:badSchedule", a seed out of range "veltrax:badSeed", a population
// out of range or drawing a value no call has "veltrax:badPopulation", a
// design out of range or naming a field the file does not hold
// "veltrax:badDesign". Values
// that the simulation rejects are left to the call (CallSetup::rejected), so
// that they fail in their turn with the plug-ins' identifiers.
Scenario load_scenario(const std::string& path);

// The same for scenario text; `path` names it, and its file name without
// extension names the scenario.
Scenario parse_scenario(const std::string& text, const std::string& path);

// The same for a scenario file's JSON.
Scenario parse_scenario_json(const nlohmann::json& top, const std::string& path);

// The calls of a scenario file's JSON that parse_scenario has accepted,
// read again (with values put into it): the same checks and errors.
std::vector<CallSetup> scenario_calls(const nlohmann::json& top);

}  // namespace veltrax::experiments
