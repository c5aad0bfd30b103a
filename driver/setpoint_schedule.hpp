// SPDX-License-Identifier: LGPL-2.1-or-later
// A set-point schedule of the user's: steps in time, optionally joined by
// linear ramps. Without one the simulation runs its built-in schedule.
#pragma once

#include <vector>

namespace veltrax::core {

struct SetpointStep {
    double time = 0.0;
    double value = 0.0;
    bool after = false;  // the value holds for t > time (else t >= time)
    bool ramp = false;   // from this step, a straight line to the next step's value
};

// Steps in increasing time. Before the first step the set-point stays as it
// was (the base build) and the preview reads the set-point at load, 0.8.
struct SetpointSchedule {
    std::vector<SetpointStep> steps;
};

// The built-in schedule written as steps: 0.95 from 100, 0.9 after 200, 0.95
// after 250. Running it gives the same bits as running without a schedule.
SetpointSchedule builtin_setpoint_schedule();

// Throws core::Error "veltrax:badSchedule" unless the times are finite and
// increasing (a ramp needs a later step to end at) and the values finite.
void check_setpoint_schedule(const SetpointSchedule& schedule);

// Set-point at time t + lead, comparing t with each step's time minus lead,
// so that the built-in times and horizon compare exactly. False before the
// first step.
bool setpoint_at(const SetpointSchedule& schedule, double t, double lead, double* value);

}  // namespace veltrax::core
