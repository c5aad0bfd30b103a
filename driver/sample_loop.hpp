// Run start and the sample-period loop, generic over the build and over how
// the control move is searched (the search is given the simulation after the
// prediction of the sample and leaves the winning move in run.applied_move).
#pragma once

#include <cmath>

#include "controller/cost.hpp"
#include "controller/estimator.hpp"
#include "controller/prediction.hpp"
#include "driver/arguments.hpp"
#include "driver/build.hpp"
#include "driver/run.hpp"
#include "driver/simulation.hpp"
#include "numeric/deviates.hpp"
#include "numeric/linear_process.hpp"
#include "process_model/process_model.hpp"

namespace veltrax {

constexpr double kInitialBestCost = 9.999999999999997e29;
constexpr double kSearchTolerance = 1e-6;
constexpr int kStartsPerSide = 50;
constexpr double kInitialSetpoint = 0.8;

// Start k of the move search for index 0 .. 99: -50 .. -1, then 1 .. 50.
constexpr int search_start_value(int index) { return index < kStartsPerSide ? index - kStartsPerSide : index - kStartsPerSide + 1; }

template <Build B>
void start_run(Simulation& s, const CallRequest& r) {
    RunConfig& cfg = s.config;
    cfg.sample_count = r.sample_count;
    cfg.control_weight = r.control_weight;
    cfg.process_dead_time = r.dead_time;
    cfg.dead_time = r.dead_time;
    cfg.u_max = r.u_max;
    cfg.a_order = r.a_order;
    cfg.b_order = r.b_order;
    cfg.noise_amplitude = r.noise_amplitude;
    cfg.substeps_per_sample = r.substeps_per_sample;
    cfg.rk4_step_size = r.rk4_step_size;
    cfg.gaussian_noise = r.gaussian_noise;
    cfg.model_sample_interval = cfg.substeps_per_sample * cfg.rk4_step_size;
    s.linear.num_degree = r.num_degree;
    s.linear.den_degree = r.den_degree;

    cfg.linear_process = 1;
    if (!r.linear_process) {
        ProcessModel& m = s.model;
        cfg.linear_process = 0;
        initialise_process_model(m, cfg.model_sample_interval);
        m.body_mass = r.body_mass;
        m.cardiac_output = r.cardiac_output;
        derive_body_composition(m, m.side_pool_protein, m.plasma_protein);
        prepare_process_model(m, m.arterial_pool_volume, m.venous_return_pool_volume, m.mixed_venous_pool_volume,
                              m.compartment_count);
    } else {
        normalise_transfer_function(s.linear, r.num, r.num_degree, r.den, r.den_degree);
    }

    cfg.plant_hill_midpoint = r.plant_hill_midpoint;
    cfg.hill_midpoint = r.hill_midpoint;
    cfg.plant_hill_exponent = r.plant_hill_exponent;
    cfg.hill_exponent = r.hill_exponent;

    if (r.has_filter) {
        for (int i = 0; i < 3; ++i) cfg.t_coef[i] = r.filter[i];
    } else {
        cfg.t_coef[0] = 1.0;
        cfg.t_coef[1] = -1.6;
        cfg.t_coef[2] = 0.64;
    }

    const int n = cfg.a_order + cfg.b_order + EstimatorState::b_extra_order;
    start_prediction(s.prediction, cfg.t_coef, cfg.a_order, cfg.b_order, EstimatorState::b_extra_order,
                     cfg.dead_time);
    for (int k = 0; k < n; ++k) s.estimator.ud_diag[k] = EstimatorState::initial_covariance;
    if constexpr (BuildTraits<B>::preview) {
        for (int k = 0; k <= kHorizonEnd; ++k) s.ref_preview[k] = kInitialSetpoint;
    }
    for (double& t : s.estimator.theta) t = 0.0;
    s.estimator.theta[cfg.b_order] = 1.0;
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

// Reference of every horizon term as the cost sees it.
template <Build B>
inline void cost_reference(const Simulation& s, double* reference) {
    for (int k = 0; k < kHorizonEnd; ++k)
        reference[k] = BuildTraits<B>::preview ? s.ref_preview[k] : s.run.setpoint;
}

// The cost as written, with its store of the preview into the set-point.
template <Build B>
inline double predictive_cost(Simulation& s, double du) {
    return predictive_cost<BuildTraits<B>::preview>(s.prediction, s.run.setpoint, s.ref_preview,
                                                     s.config.control_weight, s.config.hill_exponent,
                                                     s.config.hill_midpoint, du);
}

template <Build B, class Search>
void run_samples(Simulation& s, const OutputViews& out, Search& search, const RunOptions& options) {
    using Traits = BuildTraits<B>;
    const RunConfig& cfg = s.config;
    RunState& rs = s.run;
    SignalHistories& h = s.histories;
    EstimatorState& est = s.estimator;
    PredictionState& pred = s.prediction;
    LinearProcess& lp = s.linear;
    ProcessModel& model = s.model;

    const long rows = cfg.sample_count;
    const int na = cfg.a_order;
    const int nb = cfg.b_order;
    const int n = na + nb + EstimatorState::b_extra_order;
    const double period = cfg.substeps_per_sample * cfg.rk4_step_size;
    double noise_sample = 0.0;

    for (long i = 0; i < rows; ++i) {
        // 1. Process over one sample period.
        double v;
        if (cfg.linear_process) {
            advance_linear_process(lp, cfg.substeps_per_sample, cfg.rk4_step_size);
            v = linear_process_output(lp);
        } else {
            rs.model_clock = 0.0;
            while (rs.model_clock < cfg.model_sample_interval) {
                advance_process_model(model, model.compartment_count, model.compartment_count_setting);
                rs.model_clock += model.integration_step;
            }
            v = model.tissue_amount[8] * kMolarMass / model.tissue_mass[8];
        }
        rs.process_output = v;

        // 2-5. Measurement curve, noise, squared error, clamping. A negative
        // output has no real power for a fractional exponent; the curve then
        // reads 0, as at v = 0.
        double y = 0.0;
        if (!(v < 0.0) || std::trunc(cfg.plant_hill_exponent) == cfg.plant_hill_exponent) {
            const double vg = std::pow(v, cfg.plant_hill_exponent);
            y = vg / (std::pow(cfg.plant_hill_midpoint, cfg.plant_hill_exponent) + vg);
        }
        if (cfg.noise_amplitude > 0.0) {
            if (cfg.gaussian_noise)
                noise_sample = cfg.noise_amplitude * gaussian_deviate(s.noise, &s.noise.noise_seed);
            else
                noise_sample =
                    cfg.noise_amplitude * (1.0 - 2.0 * static_cast<double>(uniform_deviate(s.noise, &s.noise.noise_seed)));
            y = y + noise_sample;
        }
        const double error = rs.setpoint - y;
        rs.sum_sq_error = rs.sum_sq_error + error * error;
        if (y <= 0.0) y = 0.0;
        if (!(y < 1.0)) y = 1.0;
        rs.measured_output = y;

        // 6-7. Linearisation (at y = 1 slot 20 keeps z(t-1)) and the output histories.
        if (y <= 0.0)
            h.z[kNewest] = 0.0;
        else if (y < 1.0)
            h.z[kNewest] = cfg.hill_midpoint * std::pow(y / (1.0 - y), 1.0 / cfg.hill_exponent);
        h.dz[kNewest] = h.z[kNewest] - h.z[kNewest - 1];
        h.zq[kNewest] = filter_newest3(h.z[kNewest], pred.q_poly, h.zq);
        h.zt[kNewest] = filter_newest(h.zq[kNewest], cfg.t_coef, h.zt);
        h.dz_est[kNewest] = filter_newest(h.dz[kNewest], EstimatorState::estimation_filter, h.dz_est);

        // 8-11. Regressor, prediction error, static gain, estimator update, set-point.
        build_regressor(est.regressor, h.dz_est, h.du_est, na, nb, EstimatorState::b_extra_order, cfg.dead_time);
        est.prediction_error = prediction_error(h.dz_est[kNewest], est.theta, est.regressor, n);
        rs.static_gain = static_gain(est.theta, na, nb);
        if constexpr (Traits::estimation_hold) {
            if (rs.estimation_hold == 0)
                ud_rls_update(est.prediction_error, est.regressor, est.ud_diag, est.rls_gain,
                              EstimatorState::forgetting_factor, est.ud_upper, n, est.theta);
            if (rs.estimation_hold == kHorizonEnd)
                rs.estimation_hold = 0;
            else if (rs.estimation_hold > 0)
                rs.estimation_hold += 1;
            preview_schedule(s.ref_preview, rs.sim_time);
            if (s.ref_preview[0] != rs.last_far_setpoint) rs.estimation_hold = 1;
            rs.last_far_setpoint = s.ref_preview[kHorizonEnd - 1];
        } else {
            ud_rls_update(est.prediction_error, est.regressor, est.ud_diag, est.rls_gain,
                          EstimatorState::forgetting_factor, est.ud_upper, n, est.theta);
            if constexpr (Traits::preview)
                preview_schedule(s.ref_preview, rs.sim_time);
            else
                setpoint_schedule(rs);
        }

        // 12. Prediction polynomials and free response.
        copy_model_polynomials(pred, est.theta, na, cfg.dead_time);
        solve_output_recursion(pred, cfg.t_coef[0]);
        solve_input_recursion(pred, cfg.t_coef[0]);
        compute_free_response(pred, h.zt, h.dut);

        // 13. Move search.
        search.template find_move<B>(s);
        rs.best_move = rs.applied_move;

        // 14-16. Limits, control signal, input histories.
        double u = h.u[kNewest - 1] + rs.best_move;
        if (cfg.u_max > 0.0 && u >= cfg.u_max) u = cfg.u_max;
        if (u <= cfg.u_min) u = cfg.u_min;
        h.u[kNewest] = u;
        h.du[kNewest] = u - h.u[kNewest - 1];
        rs.applied_move = h.du[kNewest];
        h.dut[kNewest] = filter_newest(h.du[kNewest], cfg.t_coef, h.dut);
        h.du_est[kNewest] = filter_newest(h.du[kNewest], EstimatorState::estimation_filter, h.du_est);

        // 17. Input of the next sample periods.
        lp.process_input = h.u[kNewest - cfg.process_dead_time];
        model.infusion_per_step = lp.process_input / (model.integration_step * kMolarMass);

        // 18. Row i.
        out.time[i] = rs.sim_time;
        out.trajectory[i] = Traits::preview ? s.ref_preview[0] : rs.setpoint;
        out.trajectory[i + rows] = u;
        out.trajectory[i + 2 * rows] = y;
        out.trajectory[i + 3 * rows] = rs.static_gain;
        out.trajectory[i + 4 * rows] = v;
        for (int k = 0; k < na + nb; ++k) out.theta[i + k * rows] = est.theta[k];
        out.search[i] = rs.best_move;
        out.search[i + rows] = predictive_cost<B>(s, rs.best_move);
        out.search[i + 2 * rows] = rs.applied_move;
        if constexpr (Traits::records_applied_cost) {
            out.search[i + 3 * rows] = predictive_cost<B>(s, rs.applied_move);
        } else {
            out.search[i + 3 * rows] = model.primary_dose;
            out.search[i + 4 * rows] = Traits::estimation_hold ? static_cast<double>(rs.estimation_hold) : noise_sample;
        }

        // 19-20. Shift, time and the remaining sums.
        shift_histories(h);
        if constexpr (Traits::preview) shift_preview(s.ref_preview);
        rs.sim_time = rs.sim_time + period;
        rs.input_integral = rs.input_integral + (cfg.substeps_per_sample * lp.process_input) * cfg.rk4_step_size;
        rs.sum_time_abs_error = rs.sum_time_abs_error + std::fabs(rs.setpoint - y) * rs.sim_time;

        if (options.progress) options.progress(options.progress_context, i + 1, rows);
    }
}

template <Build B>
inline void write_sums(const Simulation& s, const OutputViews& out) {
    out.sums[0] = s.run.sum_sq_error;
    out.sums[1] = s.run.sum_time_abs_error;
    out.sums[2] = 60.0 * s.run.input_integral;
}

}  // namespace veltrax
