// SPDX-License-Identifier: LGPL-2.1-or-later
// One call of a scenario: its settings, its set-point schedule, and the
// same call as the plug-ins' positional inputs. Scenario files give a call
// in the named form or the positional one (or a part in each):
//
//   "settings": {"samples": 300, "control_weight": 0.1, "dead_time": 4, "u_max": 2,
//                "a_order": 3, "b_order": 3, "noise": {"kind": "uniform", "amplitude": 0},
//                "rk4_steps": 10, "rk4_step": 0.1}     or  "params": [300, 0.1, 4, 2, 3, 3, 0, 10, 0.1]
//   "process": {"numerator": [1], "denominator": [1, 3, 3, 1]}
//           or {"body_mass": 70, "cardiac_output": 6.48}  or  "numerator": [...], "denominator": [...]
//                                                         or  "model": {"body_mass": 70, "cardiac_output": 6.48}
//   "curve": {"plant_midpoint": 0.404, "midpoint": 0.505, "plant_exponent": 2.98, "exponent": 4}
//                                                         or  "curve": [0.404, 0.505, 2.98, 4]
//   "observer": [1, -1.6, 0.64]                          or  "T": [1, -1.6, 0.64]
//
// The positional parts go through the plug-ins' own conversion
// (veltrax::settings_from_inputs), so both forms give the same bits.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "api/veltrax.hpp"

namespace veltrax::experiments {

// An identifier and message, as veltrax::Error carries them.
struct CallError {
    std::string id;
    std::string message;
};

// A list of numbers of a call (params, numerator, denominator, curve, T) has
// at most this many elements: a call reads at most 11 of any.
constexpr std::size_t kMaxCallNumbers = 64;

struct CallSetup {
    Settings settings;
    // None: the built-in schedule. Shared by the copies of the call (every
    // run of a population has them).
    std::shared_ptr<const SetpointSchedule> setpoint;
    // The call as positional inputs (params, numerator, denominator, curve[,
    // T]): the parts the file gives positionally as given, the others from
    // the settings; T only when the call gives a filter. summary.json shows
    // them as the call's "inputs".
    std::vector<Matrix> inputs;
    // A part is given positionally: messages about values name positions
    // ("a_order (parameter 5)"), as the plug-ins do, instead of fields.
    bool given_positionally = false;
    // Values the simulation rejects: the call fails with this error in its
    // turn, after the calls before it have run.
    std::optional<CallError> rejected;
};

// The call of plug-in inputs (params, numerator, denominator, curve[, T]).
CallSetup call_setup_of_inputs(std::vector<Matrix> inputs);

// Checks the call fields that one object of a scenario file sets (the top
// level or an element of "calls"): their types, the fields of named parts,
// and that no part is given in both forms. `where` names the object in
// messages ("top level", "call 2"). Throws veltrax::Error
// "veltrax:badScenario"; schedules out of order "veltrax:badSchedule".
void check_call_fields(const nlohmann::json& object, const std::string& where);

// The fields of a call: the call's own over the top level's. A part given
// in the call replaces the inherited part in either form; named settings and
// curves are merged field by field ("settings": {"control_weight": 0.3}
// changes only the control weight).
nlohmann::json merged_call(const nlohmann::json& top, const nlohmann::json& call);

// The call of the merged fields `call` (checked by check_call_fields).
// `inherits`: the call could take fields from the top level (messages say
// where they were missing). Throws veltrax::Error "veltrax:badScenario" for a
// part that is missing or incomplete; values the simulation rejects make
// the call `rejected` instead.
CallSetup call_setup(const nlohmann::json& call, const std::string& where, bool inherits);

}  // namespace veltrax::experiments
