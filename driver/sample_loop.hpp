// SPDX-License-Identifier: LGPL-2.1-or-later
// Run start and the sample period, step by step, generic over the build and
// over how the control move is searched.
//
// A search provides
//   MoveChoice find_move<B>(SimulationState&)  the move of this sample and its
//                                               cost (run.applied_move and its
//                                               cost when no start wins), and
//   double cost_at(double du)                   the cost of this sample at du.
#pragma once

#include <cmath>

#include "controller/cost.hpp"
#include "controller/estimator.hpp"
#include "controller/prediction.hpp"
#include "driver/arguments.hpp"
#include "driver/build_traits.hpp"
#include "driver/outputs.hpp"
#include "driver/run_options.hpp"
#include "driver/setpoint_schedule.hpp"
#include "driver/simulation.hpp"
#include "numeric/deviates.hpp"
#include "numeric/linear_process.hpp"
#include "process_model/process_model.hpp"

namespace veltrax {

constexpr double kInitialSetpoint = 0.8;

struct MoveChoice {
    double move;
    double cost;
};

template <core::Build B>
void start_run(SimulationState& s, const CallRequest& r) {
    s.config = r.config;
    const RunConfig& cfg = s.config;
    if (cfg.linear_process) {
        const ProcessRequest& p = r.process;
        normalise_transfer_function(s.linear, p.num, p.num_degree, p.den, p.den_degree);
    } else {
        prepare_model_for_body(s.model, r.process.body_mass, r.process.cardiac_output);
    }
    start_prediction(s.prediction, cfg.t_coef, cfg.a_order, cfg.b_order, cfg.dead_time);
    const int n = cfg.a_order + cfg.b_order;
    for (int k = 0; k < n; ++k) s.estimator.ud_diag[k] = EstimatorState::initial_covariance;
    if constexpr (BuildTraits<B>::preview) {
        for (int k = 0; k <= kHorizonEnd; ++k) s.ref_preview[k] = kInitialSetpoint;
    }
    for (double& t : s.estimator.theta) t = 0.0;
    s.estimator.theta[cfg.b_order] = 1.0;
}

// What one sample period records besides the state.
struct SampleValues {
    double v = 0.0;      // process output
    double y = 0.0;      // measured output after clamping
    double noise = 0.0;  // noise added to the measurement
    double u = 0.0;      // control signal after limits
    double best_cost = 0.0;
};

// Runge-Kutta steps between two polls of RunOptions::cancelled within a
// sample period (about a millisecond).
constexpr long kStepsPerPoll = 4096;

// Ends the call with veltrax:interrupted in sample period `sample` (from 0).
[[noreturn]] void throw_interrupted(long sample, long total);

inline void poll_cancelled(const core::RunOptions& options, long sample, long total) {
    if (options.cancelled && options.cancelled(options.cancel_context)) throw_interrupted(sample, total);
}

// Advances the process by one sample period under the input fixed at the end
// of the previous one; returns its output v. The model's sample period is at
// most 60 steps; a long Runge-Kutta period polls for cancellation.
inline double advance_process(SimulationState& s, const core::RunOptions& options, long sample) {
    const RunConfig& cfg = s.config;
    if (cfg.linear_process) {
        long steps = cfg.substeps_per_sample;
        for (; steps > kStepsPerPoll; steps -= kStepsPerPoll) {
            advance_linear_process(s.linear, s.run.process_input, kStepsPerPoll, cfg.rk4_step_size);
            poll_cancelled(options, sample, cfg.sample_count);
        }
        advance_linear_process(s.linear, s.run.process_input, steps, cfg.rk4_step_size);
        return linear_process_output(s.linear);
    }
    advance_model_sample_period(s.model);
    return observed_concentration(s.model);
}

// Measurement curve, noise, the squared-error sum (before clamping) and
// clamping to [0, 1]. A negative output has no real power for a fractional
// exponent; the curve then reads 0, as at v = 0.
inline void measure(SimulationState& s, SampleValues& x) {
    const RunConfig& cfg = s.config;
    RunState& rs = s.run;
    const double v = x.v;
    double y = 0.0;
    if (!(v < 0.0) || std::trunc(cfg.plant_hill_exponent) == cfg.plant_hill_exponent) {
        const double vg = std::pow(v, cfg.plant_hill_exponent);
        y = vg / (std::pow(cfg.plant_hill_midpoint, cfg.plant_hill_exponent) + vg);
    }
    if (cfg.noise_amplitude > 0.0) {
        if (cfg.gaussian_noise)
            x.noise = cfg.noise_amplitude * gaussian_deviate(s.noise, &s.noise.noise_seed);
        else
            x.noise = cfg.noise_amplitude * (1.0 - 2.0 * static_cast<double>(uniform_deviate(s.noise, &s.noise.noise_seed)));
        y = y + x.noise;
    }
    const double error = rs.setpoint - y;
    rs.sum_sq_error = rs.sum_sq_error + error * error;
    if (y <= 0.0) y = 0.0;
    if (!(y < 1.0)) y = 1.0;
    rs.process_output = v;
    rs.measured_output = y;
    x.y = y;
}

// Linearised output z(t) (at y = 1 it keeps z(t-1)) and the histories that
// follow it.
inline void linearise(SimulationState& s, double y) {
    const RunConfig& cfg = s.config;
    SignalHistories& h = s.histories;
    if (y <= 0.0)
        h.z[kNewest] = 0.0;
    else if (y < 1.0)
        h.z[kNewest] = cfg.hill_midpoint * std::pow(y / (1.0 - y), 1.0 / cfg.hill_exponent);
    h.dz[kNewest] = h.z[kNewest] - h.z[kNewest - 1];
    h.z_over_q[kNewest] = filter_newest3(h.z[kNewest], s.prediction.q_poly, h.z_over_q);
    h.z_over_t[kNewest] = filter_newest(h.z_over_q[kNewest], cfg.t_coef, h.z_over_t);
    h.dz_est[kNewest] = filter_newest(h.dz[kNewest], EstimatorState::estimation_filter, h.dz_est);
}

// Regressor, prediction error, static gain and the estimator update, which
// the hold build skips while its hold counter runs.
template <core::Build B>
inline void estimate(SimulationState& s) {
    const RunConfig& cfg = s.config;
    EstimatorState& est = s.estimator;
    const int n = cfg.a_order + cfg.b_order;
    build_regressor(est.regressor, s.histories, cfg.a_order, cfg.b_order, cfg.dead_time);
    est.prediction_error = prediction_error(s.histories.dz_est[kNewest], est.theta, est.regressor, n);
    s.run.static_gain = static_gain(est.theta, cfg.a_order, cfg.b_order);
    if (BuildTraits<B>::estimation_hold && s.run.estimation_hold != 0) return;
    ud_rls_update(est.prediction_error, est.regressor, est.ud_diag, est.rls_gain, EstimatorState::forgetting_factor,
                  est.ud_upper, n, est.theta);
}

// Base-build set-point schedule on the time at the start of the sample period.
inline void setpoint_schedule(RunState& rs) {
    const double t = rs.sim_time;
    if (100.0 <= t && t <= 200.0) rs.setpoint = 0.95;
    if (200.0 < t && t <= 250.0) rs.setpoint = 0.9;
    if (t > 250.0) rs.setpoint = 0.95;
}

// The same schedule N2 time units earlier, written into the far end of the preview.
inline void preview_schedule(double* ref_preview, double t) {
    constexpr double first = 100 - kHorizonEnd, second = 200 - kHorizonEnd, third = 250 - kHorizonEnd;
    double& far = ref_preview[kHorizonEnd - 1];
    if (t < first) far = 0.8;
    if (first <= t && t <= second) far = 0.95;
    if (second < t && t <= third) far = 0.9;
    if (t > third) far = 0.95;
}

// Far end of the preview from a schedule of the user's: its value N2 time
// units ahead, the set-point at load before its first step.
inline void preview_user_schedule(double* ref_preview, double t, const core::SetpointSchedule& schedule) {
    double value = kInitialSetpoint;
    setpoint_at(schedule, t, kHorizonEnd, &value);
    ref_preview[kHorizonEnd - 1] = value;
}

// The set-point of this sample period: the schedule, or in the preview builds
// its far end; the hold build also counts its hold and starts it again while
// a change travels through the preview. `schedule` is the user's, or null for
// the built-in one.
template <core::Build B>
inline void schedule_setpoint(SimulationState& s, const core::SetpointSchedule* schedule) {
    RunState& rs = s.run;
    auto preview = [&] {
        if (schedule)
            preview_user_schedule(s.ref_preview, rs.sim_time, *schedule);
        else
            preview_schedule(s.ref_preview, rs.sim_time);
    };
    if constexpr (BuildTraits<B>::estimation_hold) {
        if (rs.estimation_hold == kHorizonEnd)
            rs.estimation_hold = 0;
        else if (rs.estimation_hold > 0)
            rs.estimation_hold += 1;
        preview();
        if (s.ref_preview[0] != rs.last_far_setpoint) rs.estimation_hold = 1;
        rs.last_far_setpoint = s.ref_preview[kHorizonEnd - 1];
    } else if constexpr (BuildTraits<B>::preview) {
        preview();
    } else if (schedule) {
        setpoint_at(*schedule, rs.sim_time, 0.0, &rs.setpoint);
    } else {
        setpoint_schedule(rs);
    }
}

// Step coefficients and free response of the estimated model.
inline void predict(SimulationState& s) {
    const RunConfig& cfg = s.config;
    PredictionState& pred = s.prediction;
    copy_model_polynomials(pred, s.estimator.theta, cfg.a_order, cfg.dead_time);
    solve_output_recursion(pred, cfg.t_coef[0]);
    solve_input_recursion(pred, cfg.t_coef[0]);
    compute_free_response(pred, s.histories.z_over_t, s.histories.du_over_t);
}

// Reference of every horizon term as the cost sees it.
template <core::Build B>
inline void cost_reference(const SimulationState& s, double* reference) {
    for (int k = 0; k < kHorizonEnd; ++k) reference[k] = BuildTraits<B>::preview ? s.ref_preview[k] : s.run.setpoint;
}

// The cost as written, with its store of the preview into the set-point.
template <core::Build B>
inline double predictive_cost(SimulationState& s, double du) {
    return predictive_cost<BuildTraits<B>::preview>(s.prediction, s.run.setpoint, s.ref_preview,
                                                     s.config.control_weight, s.config.hill_exponent,
                                                     s.config.hill_midpoint, du);
}

// Every evaluation of the preview builds' cost leaves the far end of the
// preview in the set-point, which the error sums then read.
template <core::Build B>
inline void keep_far_setpoint(SimulationState& s) {
    if constexpr (BuildTraits<B>::preview) s.run.setpoint = s.ref_preview[kHorizonEnd - 1];
}

// Limits, the control signal and its histories, and the input of the
// process for the next sample periods.
inline void apply_move(SimulationState& s, double move, SampleValues& x) {
    const RunConfig& cfg = s.config;
    RunState& rs = s.run;
    SignalHistories& h = s.histories;
    rs.best_move = move;
    double u = h.u[kNewest - 1] + rs.best_move;
    if (cfg.u_max > 0.0 && u >= cfg.u_max) u = cfg.u_max;
    if (u <= kUMin) u = kUMin;
    h.u[kNewest] = u;
    h.du[kNewest] = u - h.u[kNewest - 1];
    rs.applied_move = h.du[kNewest];
    h.du_over_t[kNewest] = filter_newest(h.du[kNewest], cfg.t_coef, h.du_over_t);
    h.du_est[kNewest] = filter_newest(h.du[kNewest], EstimatorState::estimation_filter, h.du_est);
    rs.process_input = h.u[kNewest - cfg.dead_time];
    s.model.infusion_per_step = infusion_per_step(s.model, rs.process_input);
    x.u = u;
}

// Row i of the outputs; `applied_cost` is called only by the build that records it.
template <core::Build B, class AppliedCost>
inline void record_row(const SimulationState& s, const OutputViews& out, long i, const SampleValues& x,
                       AppliedCost&& applied_cost) {
    using Traits = BuildTraits<B>;
    const RunState& rs = s.run;
    const long rows = s.config.sample_count;
    const int parameters = s.config.a_order + s.config.b_order;
    out.time[i] = rs.sim_time;
    out.trajectory[i] = Traits::preview ? s.ref_preview[0] : rs.setpoint;
    out.trajectory[i + rows] = x.u;
    out.trajectory[i + 2 * rows] = x.y;
    out.trajectory[i + 3 * rows] = rs.static_gain;
    out.trajectory[i + 4 * rows] = x.v;
    for (int k = 0; k < parameters; ++k) out.theta[i + k * rows] = s.estimator.theta[k];
    out.search[i] = rs.best_move;
    out.search[i + rows] = x.best_cost;
    out.search[i + 2 * rows] = rs.applied_move;
    if constexpr (Traits::records_applied_cost) {
        out.search[i + 3 * rows] = applied_cost(rs.applied_move);
    } else {
        out.search[i + 3 * rows] = s.model.primary_dose;
        out.search[i + 4 * rows] = Traits::estimation_hold ? static_cast<double>(rs.estimation_hold) : x.noise;
    }
}

// Shift of the histories (and the preview), time, and the two sums that read
// the advanced time.
template <core::Build B>
inline void end_sample(SimulationState& s, double y) {
    const RunConfig& cfg = s.config;
    RunState& rs = s.run;
    shift_histories(s.histories);
    if constexpr (BuildTraits<B>::preview) shift_preview(s.ref_preview);
    const double period = cfg.substeps_per_sample * cfg.rk4_step_size;
    rs.sim_time = rs.sim_time + period;
    rs.input_integral = rs.input_integral + (cfg.substeps_per_sample * rs.process_input) * cfg.rk4_step_size;
    rs.sum_time_abs_error = rs.sum_time_abs_error + std::fabs(rs.setpoint - y) * rs.sim_time;
}

template <core::Build B, class Search>
void run_samples(SimulationState& s, const OutputViews& out, Search& search, const core::RunOptions& options) {
    const long rows = s.config.sample_count;
    for (long i = 0; i < rows; ++i) {
        poll_cancelled(options, i, rows);
        SampleValues x;
        x.v = advance_process(s, options, i);
        measure(s, x);
        linearise(s, x.y);
        estimate<B>(s);
        schedule_setpoint<B>(s, options.schedule);
        predict(s);
        const MoveChoice choice = search.template find_move<B>(s);
        keep_far_setpoint<B>(s);
        x.best_cost = choice.cost;
        apply_move(s, choice.move, x);
        record_row<B>(s, out, i, x, [&search](double du) { return search.cost_at(du); });
        end_sample<B>(s, x.y);
        if (options.progress) options.progress(options.progress_context, i + 1, rows);
    }
}

inline void write_sums(const SimulationState& s, const OutputViews& out) {
    out.sums[0] = s.run.sum_sq_error;
    out.sums[1] = s.run.sum_time_abs_error;
    out.sums[2] = 60.0 * s.run.input_integral;
}

}  // namespace veltrax
