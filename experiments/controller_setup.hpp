// SPDX-License-Identifier: LGPL-2.1-or-later
// Controllers as scenario files name them: the built-in kinds.
//
//   "controller": {"kind": "adaptive", "build": 1}     (build: the scenario's when not given)
//   "controller": {"kind": "pid", "kp": 0.5, "ki": 0.05, "kd": 0.2,
//                  "filter_time": 1, "anti_windup": "back_calculation", "tracking_time": 0}
//   "controllers": [{"kind": "adaptive"}, {"kind": "pid", "kp": 0.5, "name": "pid_slow"}]
//
// "controllers" makes a comparison: every controller runs the scenario's
// calls on the same individuals, noise and set-point schedule, one run folder
// per individual and controller (NAME@CONTROLLER/individual_K).
#pragma once

#include <memory>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "api/veltrax.hpp"

namespace veltrax::experiments {

struct ControllerSetup {
    std::string name;           // "veltrax2" (the adaptive controller of build 2), "pid", or the "name" given
    Build build = Build::Base;  // of the adaptive controller
    std::optional<Pid> pid;     // a PID instead
    bool user = false;          // or a controller of the user's (a Python callable), known by name

    bool adaptive() const { return !pid && !user; }
};

// The default: the adaptive controller of `build`.
ControllerSetup adaptive_controller(Build build);

// A controller object of a scenario file; `scenario_build` is the adaptive
// controller's build when the object gives none. Throws veltrax::Error
// "veltrax:badScenario" for unknown or mistyped fields and a kind other than
// "adaptive" or "pid", "veltrax:badController" for gains out of range; `where`
// names the object ("controllers[2]").
ControllerSetup parse_controller(const nlohmann::json& object, Build scenario_build, const std::string& where);

// As summary.json shows it (every field, defaults included).
nlohmann::ordered_json controller_json(const ControllerSetup& setup);

// The Controller of a PID; null for the adaptive controller, which a
// Simulation of its build runs. Throws veltrax::Error "veltrax:badController"
// for a controller of the user's, which only its owner can make.
std::shared_ptr<const Controller> make_controller(const ControllerSetup& setup);

}  // namespace veltrax::experiments
