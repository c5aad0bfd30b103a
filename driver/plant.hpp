// SPDX-License-Identifier: LGPL-2.1-or-later
// The plant's state: what lies between a controller's control and the
// measurement it gets back. The control passes the actuator (its limits) and
// the input delay (the dead time) to the process (a transfer function or the
// built-in model); the process output passes the measurement chain (the
// curve, the noise, the clamping to [0, 1]). driver/plant_step.hpp steps it.
#pragma once

#include "numeric/deviates.hpp"
#include "numeric/linear_process.hpp"
#include "process_model/process_model.hpp"

namespace veltrax {

// Longest input delay (dead time) of the plant, in sample periods.
constexpr int kMaxPlantDeadTime = 19;

struct PlantState {
    NoiseState noise;
    LinearProcess linear;
    ProcessModel model;
    // u(t - dead time): the process input during the next sample period.
    double process_input = 0.0;
    double process_output = 0.0;   // v of the last sample period
    double measured_output = 0.0;  // y of the last sample period, clamped
    // Controls after the actuator, newest first: applied[k] is u(t - k), as
    // far back as the longest delay reads at the next sample period.
    double applied[kMaxPlantDeadTime] = {};
};

// What one sample period of the plant gives.
struct PlantSample {
    double v = 0.0;      // process output
    double raw = 0.0;    // measurement before clamping
    double noise = 0.0;  // noise added to it (0 without noise)
    double y = 0.0;      // measured output, in [0, 1]
};

}  // namespace veltrax
