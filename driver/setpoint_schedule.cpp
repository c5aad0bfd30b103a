// SPDX-License-Identifier: LGPL-2.1-or-later
#include "driver/setpoint_schedule.hpp"

#include <cmath>
#include <string>

#include "driver/errors.hpp"

namespace veltrax::core {

SetpointSchedule builtin_setpoint_schedule() {
    SetpointSchedule s;
    s.steps = {{100.0, 0.95, false, false}, {200.0, 0.9, true, false}, {250.0, 0.95, true, false}};
    return s;
}

void check_setpoint_schedule(const SetpointSchedule& schedule) {
    const auto& steps = schedule.steps;
    for (std::size_t k = 0; k < steps.size(); ++k) {
        const std::string where = "set-point step " + std::to_string(k + 1);
        if (!std::isfinite(steps[k].time) || !std::isfinite(steps[k].value))
            throw Error("veltrax:badSchedule", where + " needs a finite time and value");
        if (k > 0 && !(steps[k].time > steps[k - 1].time))
            throw Error("veltrax:badSchedule", where + " must come later than step " + std::to_string(k));
        if (steps[k].ramp && k + 1 == steps.size())
            throw Error("veltrax:badSchedule", where + " starts a ramp but no later step ends it");
    }
}

namespace {

bool reached(const SetpointStep& step, double t, double lead) {
    const double threshold = step.time - lead;
    return step.after ? t > threshold : t >= threshold;
}

}  // namespace

bool setpoint_at(const SetpointSchedule& schedule, double t, double lead, double* value) {
    const auto& steps = schedule.steps;
    std::size_t k = steps.size();
    while (k > 0 && !reached(steps[k - 1], t, lead)) --k;
    if (k == 0) return false;
    const SetpointStep& step = steps[k - 1];
    if (step.ramp && k < steps.size()) {
        const SetpointStep& next = steps[k];
        const double fraction = (t - (step.time - lead)) / (next.time - step.time);
        // At the ramp's end the line can miss next.value by a rounding unit.
        *value = fraction >= 1.0 ? next.value : step.value + (next.value - step.value) * fraction;
    } else {
        *value = step.value;
    }
    return true;
}

}  // namespace veltrax::core
