// SPDX-License-Identifier: LGPL-2.1-or-later
// The loop without the adaptive controller: the sample loop around a
// controller of the caller's, which gets an observation per sample period and
// returns the control, and a plant stepped on its own, whose caller chooses
// each control. Both keep the loop's time, set-point and sums as the
// adaptive controller's loop keeps them in the base build.
#pragma once

#include <cmath>
#include <limits>

#include "driver/errors.hpp"
#include "driver/sample_loop.hpp"

namespace veltrax {

namespace core {

// Sample periods of set-point preview in an observation.
constexpr int kPreviewSamples = 10;

// What a controller may know at a sample period.
struct Observation {
    long sample = 0;                       // within the call, from 0
    double time = 0.0;                     // at the start of the sample period
    double setpoint = 0.0;                 // in force
    double preview[kPreviewSamples] = {};  // the set-point at time + (k + 1) sample periods
    double measured = 0.0;                 // y, in [0, 1]
    double previous_control = 0.0;         // u applied in the previous sample period
    double sample_period = 0.0;
    double u_max = 0.0;                    // upper control limit; <= 0: none
};

}  // namespace core

// Ends a call whose controller returned a control that is not finite.
[[noreturn]] void throw_bad_control(double u, long sample);

// The loop's set-point at time + (k + 1) sample periods, k = 0 .. 9; the
// set-point in force where the schedule has not begun.
inline void preview_setpoints(const RunState& rs, double period, const core::SetpointSchedule* schedule,
                              double* preview) {
    static const core::SetpointSchedule builtin = core::builtin_setpoint_schedule();
    const core::SetpointSchedule& steps = schedule ? *schedule : builtin;
    for (int k = 0; k < core::kPreviewSamples; ++k) {
        preview[k] = rs.setpoint;
        setpoint_at(steps, rs.sim_time, (k + 1) * period, &preview[k]);
    }
}

template <class State>
core::Observation observe(const State& s, long sample, double y, const core::SetpointSchedule* schedule) {
    const RunConfig& cfg = s.config;
    core::Observation o;
    o.sample = sample;
    o.time = s.run.sim_time;
    o.setpoint = s.run.setpoint;
    o.sample_period = cfg.substeps_per_sample * cfg.rk4_step_size;
    preview_setpoints(s.run, o.sample_period, schedule, o.preview);
    o.measured = y;
    o.previous_control = s.plant.applied[0];
    o.u_max = cfg.u_max;
    return o;
}

// A controller of the caller's in the loop: `control(const core::Observation&)`
// returns the control, which must be finite. The rows record the loop's
// set-point and, having no estimated model, NaN for the static gain.
template <class Control>
class ExternalLoopController {
public:
    ExternalLoopController(Control& control, const core::SetpointSchedule* schedule)
        : control_(control), schedule_(schedule) {}

    double control(SimulationState& s, long i, SampleValues& x) {
        loop_setpoint(s.run, schedule_);
        const double u = control_(observe(s, i, x.y, schedule_));
        if (!std::isfinite(u)) throw_bad_control(u, i);
        return u;
    }

    void record(const SimulationState& s, const OutputViews& out, long i, const SampleValues& x) {
        const long rows = s.config.sample_count;
        out.time[i] = s.run.sim_time;
        out.trajectory[i] = s.run.setpoint;
        out.trajectory[i + rows] = x.u;
        out.trajectory[i + 2 * rows] = x.y;
        out.trajectory[i + 3 * rows] = std::numeric_limits<double>::quiet_NaN();
        out.trajectory[i + 4 * rows] = x.v;
    }

    void end_sample(SimulationState&) {}

private:
    Control& control_;
    const core::SetpointSchedule* schedule_;
};

// A call with a controller of the caller's: the plant configured for the
// request, its sample periods, the sums. Outputs 2 and 3 (estimates and
// search) have no columns. A call that ends with an error (the controller's
// own, a control that is not finite, an interruption) leaves `sim` as it was.
template <class Control>
void run_external_call(SimulationState& sim, const CallRequest& request, const OutputViews& out, Control& control,
                       const core::RunOptions& options) {
    const SimulationState before = sim;
    try {
        sim.config = request.config;
        configure_process(sim.plant, sim.config, request.process);
        ExternalLoopController<Control> loop(control, options.schedule);
        run_samples(sim, out, loop, options);
        write_sums(sim, out);
    } catch (...) {
        sim = before;
        throw;
    }
}

// A plant on its own at the start of a sample period: the plant advanced and
// measured, the squared error, the set-point in force. Returns y.
inline double begin_open_sample(OpenLoopState& s, const core::SetpointSchedule* schedule,
                                PlantModelRun* models = nullptr) {
    SampleValues x;
    measure_sample(s, core::RunOptions{}, 0, x, models);
    loop_setpoint(s.run, schedule);
    return x.y;
}

// One step of a plant on its own: the control applied, the sample period
// ended, the next one begun. Returns its measurement.
inline double step_open_loop(OpenLoopState& s, double u, const core::SetpointSchedule* schedule,
                             PlantModelRun* models = nullptr) {
    apply_control(s.plant, s.config, u, models);
    end_sample(s, s.plant.measured_output);
    if (models) models->next_sample();
    return begin_open_sample(s, schedule, models);
}

}  // namespace veltrax
