// SPDX-License-Identifier: LGPL-2.1-or-later
#include "experiments/setpoint_json.hpp"

#include "experiments/strict_json.hpp"

namespace veltrax::experiments {

namespace {

constexpr const char* kStepForm = "[time, value], optionally with \"after\" and/or \"ramp\"";

// The flags after time and value: "after", "ramp", each at most once.
void read_flags(const nlohmann::json& step, const std::string& at, const std::string& form_error, SetpointStep& s) {
    for (std::size_t j = 2; j < step.size(); ++j) {
        const std::string flag = step[j].is_string() ? step[j].get<std::string>() : "";
        bool* target = flag == "after" ? &s.after : flag == "ramp" ? &s.ramp : nullptr;
        if (!target)
            throw Error(form_error, at + ": element " + std::to_string(j + 1) + " must be \"after\" or \"ramp\", got " +
                                        (step[j].is_string() ? "\"" + flag + "\"" : json_kind(step[j])));
        if (*target) throw Error(form_error, at + ": \"" + flag + "\" given twice");
        *target = true;
    }
}

}  // namespace

SetpointSchedule parse_setpoint(const nlohmann::json& v, const std::string& where, const std::string& form_error) {
    if (!v.is_array())
        throw Error(form_error, where + " must be an array of steps " + kStepForm + ", got " + json_kind(v));
    SetpointSchedule schedule;
    for (std::size_t i = 0; i < v.size(); ++i) {
        const nlohmann::json& step = v[i];
        const std::string at = where + " step " + std::to_string(i + 1);
        if (!step.is_array() || step.size() < 2 || step.size() > 4)
            throw Error(form_error, at + " must be " + kStepForm + ", got " +
                                        (step.is_array() ? "an array of " + std::to_string(step.size()) + " elements"
                                                         : json_kind(step)));
        if (!step[0].is_number()) throw Error(form_error, at + ": the time must be a number, got " + json_kind(step[0]));
        if (!step[1].is_number()) throw Error(form_error, at + ": the value must be a number, got " + json_kind(step[1]));
        SetpointStep s;
        s.time = step[0].get<double>();
        s.value = step[1].get<double>();
        read_flags(step, at, form_error, s);
        schedule.steps.push_back(s);
    }
    try {
        check_setpoint_schedule(schedule);
    } catch (const Error& e) {
        throw Error(e.id(), where + ": " + e.what());
    }
    return schedule;
}

nlohmann::ordered_json setpoint_json(const SetpointSchedule& schedule) {
    nlohmann::ordered_json steps = nlohmann::ordered_json::array();
    for (const SetpointStep& s : schedule.steps) {
        nlohmann::ordered_json step = {s.time, s.value};
        if (s.after) step.push_back("after");
        if (s.ramp) step.push_back("ramp");
        steps.push_back(step);
    }
    return steps;
}

}  // namespace veltrax::experiments
