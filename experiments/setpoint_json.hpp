// SPDX-License-Identifier: LGPL-2.1-or-later
// Set-point schedules as JSON, the one reading of them that scenario files
// and the Python package share:
//
//   [[0, 0.8], [100, 0.95, "ramp"], [150, 0.9, "after"]]
//
// Each step is [time, value], optionally with "after" (the value holds for
// t > time instead of t >= time) and/or "ramp" (a straight line from there
// to the next step's value).
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "api/veltrax.hpp"

namespace veltrax::experiments {

// The schedule `v` describes. Messages start with `where` ("call 2:
// 'setpoint'"). A value of the wrong form throws veltrax::Error with id
// `form_error`; steps out of order or not finite "veltrax:badSchedule".
SetpointSchedule parse_setpoint(const nlohmann::json& v, const std::string& where,
                                const std::string& form_error = "veltrax:badScenario");

// The schedule as parse_setpoint reads it back.
nlohmann::ordered_json setpoint_json(const SetpointSchedule& schedule);

}  // namespace veltrax::experiments
