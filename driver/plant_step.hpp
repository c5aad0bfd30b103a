// SPDX-License-Identifier: LGPL-2.1-or-later
// One sample period of the plant, in two halves that the closed loop puts
// around the controller: sample_plant advances the process under the input
// fixed before and measures it (curve, noise, clamping); apply_control puts
// a control through the actuator (the limits) into the input delay and fixes
// the process input of the next sample periods. The stages are separate
// functions, so that sensor and actuator models can join them.
#pragma once

#include <cmath>

#include "driver/arguments.hpp"
#include "driver/plant.hpp"
#include "driver/plant_models.hpp"
#include "driver/run_options.hpp"

namespace veltrax {

// Runge-Kutta steps between two polls of RunOptions::cancelled within a
// sample period (about a millisecond).
constexpr long kStepsPerPoll = 4096;

// Ends the call with veltrax:interrupted in sample period `sample` (from 0).
[[noreturn]] void throw_interrupted(long sample, long total);

inline void poll_cancelled(const core::RunOptions& options, long sample, long total) {
    if (options.cancelled && options.cancelled(options.cancel_context)) throw_interrupted(sample, total);
}

// The process a call asks for, set at its start; the process state carries over.
inline void configure_process(PlantState& p, const RunConfig& cfg, const ProcessRequest& process) {
    if (cfg.linear_process)
        normalise_transfer_function(p.linear, process.num, process.num_degree, process.den, process.den_degree);
    else
        prepare_model_for_body(p.model, process.body_mass, process.cardiac_output);
}

// Advances the process by one sample period under the input fixed at the end
// of the previous one; returns its output v. The model's sample period is at
// most 60 steps; a long Runge-Kutta period polls for cancellation.
inline double advance_process(PlantState& p, const RunConfig& cfg, const core::RunOptions& options, long sample) {
    if (cfg.linear_process) {
        long steps = cfg.substeps_per_sample;
        for (; steps > kStepsPerPoll; steps -= kStepsPerPoll) {
            advance_linear_process(p.linear, p.process_input, kStepsPerPoll, cfg.rk4_step_size);
            poll_cancelled(options, sample, cfg.sample_count);
        }
        advance_linear_process(p.linear, p.process_input, steps, cfg.rk4_step_size);
        return linear_process_output(p.linear);
    }
    advance_model_sample_period(p.model);
    return observed_concentration(p.model);
}

// The measurement curve of the process output. A negative output has no
// real power for a fractional exponent; the curve then reads 0, as at v = 0.
inline double measurement_curve(const RunConfig& cfg, double v) {
    if (v < 0.0 && std::trunc(cfg.plant_hill_exponent) != cfg.plant_hill_exponent) return 0.0;
    const double vg = std::pow(v, cfg.plant_hill_exponent);
    return vg / (std::pow(cfg.plant_hill_midpoint, cfg.plant_hill_exponent) + vg);
}

// One noise value; draws only with a positive amplitude.
inline double measurement_noise(PlantState& p, const RunConfig& cfg) {
    if (cfg.gaussian_noise) return cfg.noise_amplitude * gaussian_deviate(p.noise, &p.noise.noise_seed);
    return cfg.noise_amplitude * (1.0 - 2.0 * static_cast<double>(uniform_deviate(p.noise, &p.noise.noise_seed)));
}

// The measurement chain: curve, noise, clamping to [0, 1] (a NaN reads 1).
inline PlantSample measure(PlantState& p, const RunConfig& cfg, double v) {
    PlantSample x;
    x.v = v;
    double y = measurement_curve(cfg, v);
    if (cfg.noise_amplitude > 0.0) {
        x.noise = measurement_noise(p, cfg);
        y = y + x.noise;
    }
    x.raw = y;
    if (y <= 0.0) y = 0.0;
    if (!(y < 1.0)) y = 1.0;
    x.y = y;
    p.process_output = v;
    p.measured_output = y;
    return x;
}

// The first half of a sample period: the process advanced and measured.
// With plant models (`models`), the changes and boluses due at the start time
// t, the disturbances and the sensor join it.
inline PlantSample sample_plant(PlantState& p, const RunConfig& cfg, const core::RunOptions& options, long sample,
                                PlantModelRun* models = nullptr, double t = 0.0) {
    if (!models) return measure(p, cfg, advance_process(p, cfg, options, sample));
    const double input = models->before_advance(p, cfg, t);
    const double v = advance_process(p, cfg, options, sample);
    models->after_advance(p, input);
    return models->measure(p, cfg, v, t);
}

// The actuator: the control limited to [0, u_max] (no upper limit for
// u_max <= 0).
inline double actuate(const RunConfig& cfg, double u) {
    if (cfg.u_max > 0.0 && u >= cfg.u_max) u = cfg.u_max;
    if (u <= kUMin) u = kUMin;
    return u;
}

// The second half: the control through the actuator into the input delay,
// and the process input of the next sample periods, u(t - dead time).
// Returns the control applied.
inline double apply_control(PlantState& p, const RunConfig& cfg, double u, PlantModelRun* models = nullptr) {
    u = models ? models->actuate(cfg, u, p.applied[0]) : actuate(cfg, u);
    const int d = cfg.dead_time;
    p.process_input = d == 0 ? u : p.applied[d - 1];
    for (int k = kMaxPlantDeadTime - 1; k > 0; --k) p.applied[k] = p.applied[k - 1];
    p.applied[0] = u;
    p.model.infusion_per_step = infusion_per_step(p.model, p.process_input);
    return u;
}

}  // namespace veltrax
