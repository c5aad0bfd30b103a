// SPDX-License-Identifier: LGPL-2.1-or-later
// Run start and the sample period, step by step: the loop, generic over the
// controller (run_samples), and the adaptive controller in it, generic over
// the build and over how the control move is searched.
//
// A search provides
//   MoveChoice find_move<B>(SimulationState&)  the move of this sample and its
//                                               cost (run.applied_move and its
//                                               cost when no start wins), and
//   double cost_at(double du)                   the cost of this sample at du.
#pragma once

#include <cmath>
#include <optional>

#include "controller/cost.hpp"
#include "controller/estimator.hpp"
#include "controller/prediction.hpp"
#include "driver/arguments.hpp"
#include "driver/build_traits.hpp"
#include "driver/outputs.hpp"
#include "driver/plant_step.hpp"
#include "driver/run_options.hpp"
#include "driver/setpoint_schedule.hpp"
#include "driver/simulation.hpp"

namespace veltrax {

constexpr double kInitialSetpoint = 0.8;

struct MoveChoice {
    double move;
    double cost;
};

// The adaptive controller's part of the run start.
template <core::Build B>
void start_controller(SimulationState& s) {
    const RunConfig& cfg = s.config;
    start_prediction(s.prediction, cfg.t_coef, cfg.a_order, cfg.b_order, cfg.dead_time);
    const int n = cfg.a_order + cfg.b_order;
    for (int k = 0; k < n; ++k) s.estimator.ud_diag[k] = EstimatorState::initial_covariance;
    if constexpr (BuildTraits<B>::preview) {
        for (int k = 0; k <= kHorizonEnd; ++k) s.ref_preview[k] = kInitialSetpoint;
    }
    for (double& t : s.estimator.theta) t = 0.0;
    s.estimator.theta[cfg.b_order] = 1.0;
}

template <core::Build B>
void start_run(SimulationState& s, const CallRequest& r) {
    s.config = r.config;
    configure_process(s.plant, s.config, r.process);
    start_controller<B>(s);
}

// What one sample period records besides the state.
struct SampleValues {
    double v = 0.0;      // process output
    double y = 0.0;      // measured output after clamping
    double noise = 0.0;  // noise added to the measurement
    double u = 0.0;      // control signal after limits
    double best_cost = 0.0;
};

// The plant's first half of the sample period, and the squared-error sum of
// the measurement before clamping with the set-point of the previous sample
// period.
template <class State>
void measure_sample(State& s, const core::RunOptions& options, long sample, SampleValues& x,
                    PlantModelRun* models = nullptr) {
    const PlantSample p = sample_plant(s.plant, s.config, options, sample, models, s.run.sim_time);
    const double error = s.run.setpoint - p.raw;
    s.run.sum_sq_error = s.run.sum_sq_error + error * error;
    x.v = p.v;
    x.noise = p.noise;
    x.y = p.y;
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

// The loop's set-point of this sample period, on the time at its start: the
// schedule of the user's, or null for the built-in one (which leaves the
// set-point as it was before its first step).
inline void loop_setpoint(RunState& rs, const core::SetpointSchedule* schedule) {
    if (schedule)
        setpoint_at(*schedule, rs.sim_time, 0.0, &rs.setpoint);
    else
        setpoint_schedule(rs);
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
    } else {
        loop_setpoint(rs, schedule);
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

// Limits, the control signal and its histories; returns u(t).
inline double apply_move(SimulationState& s, double move) {
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
    return u;
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
        out.search[i + 3 * rows] = s.plant.model.primary_dose;
        out.search[i + 4 * rows] = Traits::estimation_hold ? static_cast<double>(rs.estimation_hold) : x.noise;
    }
}

// The end of the loop's sample period: time, and the two sums that read the
// advanced time.
template <class State>
void end_sample(State& s, double y) {
    const RunConfig& cfg = s.config;
    RunState& rs = s.run;
    const double period = cfg.substeps_per_sample * cfg.rk4_step_size;
    rs.sim_time = rs.sim_time + period;
    rs.input_integral = rs.input_integral + (cfg.substeps_per_sample * s.plant.process_input) * cfg.rk4_step_size;
    rs.sum_time_abs_error = rs.sum_time_abs_error + std::fabs(rs.setpoint - y) * rs.sim_time;
}

// The adaptive controller of build B in the loop, its moves found by `Search`.
template <core::Build B, class Search>
class AdaptiveLoopController {
public:
    AdaptiveLoopController(Search& search, const core::SetpointSchedule* schedule)
        : search_(search), schedule_(schedule) {}

    // u(t) from the measurement of this sample period.
    double control(SimulationState& s, long, SampleValues& x) {
        linearise(s, x.y);
        estimate<B>(s);
        schedule_setpoint<B>(s, schedule_);
        predict(s);
        const MoveChoice choice = search_.template find_move<B>(s);
        keep_far_setpoint<B>(s);
        x.best_cost = choice.cost;
        return apply_move(s, choice.move);
    }

    void record(const SimulationState& s, const OutputViews& out, long i, const SampleValues& x) {
        record_row<B>(s, out, i, x, [this](double du) { return search_.cost_at(du); });
    }

    // Shift of the histories (and the preview).
    void end_sample(SimulationState& s) {
        shift_histories(s.histories);
        if constexpr (BuildTraits<B>::preview) shift_preview(s.ref_preview);
    }

private:
    Search& search_;
    const core::SetpointSchedule* schedule_;
};

// The sample periods of a call. Each measures the plant, asks the controller
// for the control, puts it through the plant's actuator and input delay,
// records the row and ends the sample period. A controller provides
//   double control(SimulationState&, long sample, SampleValues&)   u(t); may set x.best_cost
//   void record(const SimulationState&, const OutputViews&, long i, const SampleValues&)
//   void end_sample(SimulationState&)
template <class Controller>
void run_samples(SimulationState& s, const OutputViews& out, Controller& controller, const core::RunOptions& options) {
    const long rows = s.config.sample_count;
    std::optional<PlantModelRun> models;
    if (options.plant_models) models.emplace(*options.plant_models, s.plant, s.config);
    PlantModelRun* m = models ? &*models : nullptr;
    for (long i = 0; i < rows; ++i) {
        poll_cancelled(options, i, rows);
        SampleValues x;
        measure_sample(s, options, i, x, m);
        x.u = apply_control(s.plant, s.config, controller.control(s, i, x), m);
        controller.record(s, out, i, x);
        controller.end_sample(s);
        end_sample(s, x.y);
        if (m) m->next_sample();
        if (options.progress) options.progress(options.progress_context, i + 1, rows);
    }
}

inline void write_sums(const SimulationState& s, const OutputViews& out) {
    out.sums[0] = s.run.sum_sq_error;
    out.sums[1] = s.run.sum_time_abs_error;
    out.sums[2] = 60.0 * s.run.input_integral;
}

}  // namespace veltrax
