// SPDX-License-Identifier: LGPL-2.1-or-later
// The state of one simulation. A plug-in keeps one static instance, which
// gives the persistence between calls; the C++ API can create any number.
#pragma once

#include <cstdint>

#include "controller/estimator.hpp"
#include "controller/prediction.hpp"
#include "driver/plant.hpp"

namespace veltrax {

// Settings of one call, decoded from its arguments; the run start copies them
// whole. The values below are those before the first call.
struct RunConfig {
    std::int32_t sample_count = 0;
    double control_weight = 0.0;
    std::int32_t dead_time = 4;  // of the process input and of the controller's model
    double u_max = 1.0;          // <= 0: no upper limit
    std::int32_t a_order = 3;
    std::int32_t b_order = 3;
    double noise_amplitude = 0.005;
    std::int32_t substeps_per_sample = 0;
    double rk4_step_size = 0.1;
    bool gaussian_noise = false;  // the parameter vector has exactly 10 columns
    bool linear_process = true;   // false: the built-in model
    double plant_hill_midpoint = 0.404;
    double hill_midpoint = 0.505;
    double plant_hill_exponent = 2.98;
    double hill_exponent = 4.0;
    double t_coef[4] = {1.0, -1.6, 0.64, 0.0};  // element 3 stays 0
};

// Lower limit of the control signal.
constexpr double kUMin = 0.0;

struct RunState {
    double sim_time = 0.0;
    double sum_sq_error = 0.0;
    double sum_time_abs_error = 0.0;
    double input_integral = 0.0;
    double setpoint = 0.8;
    double static_gain = 0.0;
    double best_move = 0.0;
    double applied_move = 0.0;
    std::int32_t estimation_hold = 0;
    double last_far_setpoint = 0.8;
};

// The loop (config, run), the plant, and the adaptive controller (the rest).
struct SimulationState {
    RunConfig config;
    RunState run;
    PlantState plant;
    SignalHistories histories;
    EstimatorState estimator;
    PredictionState prediction;
    double ref_preview[kPreviewLength] = {};
};

// A plant on its own: the loop's settings, time, set-point and sums, and the
// plant, without a controller.
struct OpenLoopState {
    RunConfig config;
    RunState run;
    PlantState plant;
};

}  // namespace veltrax
