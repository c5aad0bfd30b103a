// SPDX-License-Identifier: LGPL-2.1-or-later
// The built-in controllers as Controllers: the PID baseline and the adaptive
// controller of a build.
#include <cmath>
#include <string>

#include "api/call_request.hpp"
#include "api/internal.hpp"
#include "api/veltrax.hpp"
#include "controller/pid.hpp"
#include "driver/run.hpp"

namespace veltrax {

namespace {

core::SetpointSchedule core_schedule_of(const SetpointSchedule& schedule) {
    core::SetpointSchedule s;
    for (const SetpointStep& step : schedule.steps) s.steps.push_back({step.time, step.value, step.after, step.ramp});
    return s;
}

void check_finite(const char* field, double v, bool non_negative) {
    if (!std::isfinite(v) || (non_negative && v < 0.0))
        throw Error("veltrax:badController", std::string("pid.") + field + " must be " +
                                                 (non_negative ? "finite and >= 0" : "finite") + ", got " +
                                                 std::to_string(v));
}

}  // namespace

void check_pid(const Pid& pid) {
    check_finite("kp", pid.kp, false);
    check_finite("ki", pid.ki, false);
    check_finite("kd", pid.kd, false);
    check_finite("filter_time", pid.filter_time, true);
    check_finite("tracking_time", pid.tracking_time, true);
}

struct PidController::State {
    PidGains gains;
    PidState now;
    PidState at_call_start;
};

PidController::PidController(const Pid& pid) : pid_(pid), state_(std::make_unique<State>()) {
    check_pid(pid);
    state_->gains = {pid.kp, pid.ki, pid.kd, pid.filter_time, pid.anti_windup == AntiWindup::Clamping,
                     pid.tracking_time};
}

PidController::PidController(const PidController& other)
    : Controller(other), pid_(other.pid_), state_(std::make_unique<State>(*other.state_)) {}

PidController& PidController::operator=(const PidController& other) {
    pid_ = other.pid_;
    *state_ = *other.state_;
    return *this;
}

PidController::~PidController() = default;

double PidController::control(const Observation& o) {
    return pid_control(state_->now, state_->gains, o.setpoint, o.measured, o.sample_period, o.u_max);
}

std::unique_ptr<Controller> PidController::clone() const { return std::make_unique<PidController>(*this); }

void PidController::begin_call(const Settings&) { state_->at_call_start = state_->now; }

void PidController::end_call(bool completed) {
    if (!completed) state_->now = state_->at_call_start;
}

struct AdaptiveController::State {
    State(Build build, unsigned threads) : stepper(core_build(build), threads) {}
    AdaptiveStepper stepper;
    SimulationState now;  // the controller's parts
    SimulationState at_call_start;
    core::SetpointSchedule schedule;  // the call's, as the core reads it
    bool schedule_read = false;       // within this call
};

AdaptiveController::AdaptiveController(Build build, unsigned threads)
    : build_(build), threads_(threads), state_(std::make_unique<State>(build, threads)) {
    state_->stepper.start(state_->now, call_request(Settings{}).config);  // until a call starts it
}

AdaptiveController::AdaptiveController(const AdaptiveController& other)
    : Controller(other), build_(other.build_), threads_(other.threads_),
      state_(std::make_unique<State>(other.build_, other.threads_)) {
    state_->now = other.state_->now;
    state_->at_call_start = other.state_->at_call_start;
}

AdaptiveController& AdaptiveController::operator=(const AdaptiveController& other) {
    if (this != &other) {
        build_ = other.build_;
        threads_ = other.threads_;
        state_ = std::make_unique<State>(other.build_, other.threads_);
        state_->now = other.state_->now;
        state_->at_call_start = other.state_->at_call_start;
    }
    return *this;
}

AdaptiveController::~AdaptiveController() = default;

void AdaptiveController::begin_call(const Settings& settings) {
    const CallRequest request = call_request(settings);
    state_->at_call_start = state_->now;
    state_->stepper.start(state_->now, request.config);
    state_->schedule_read = false;
}

void AdaptiveController::end_call(bool completed) {
    if (!completed) state_->now = state_->at_call_start;
}

double AdaptiveController::control(const Observation& o) {
    State& s = *state_;
    if (!s.schedule_read) {  // a call keeps its schedule
        s.schedule = o.schedule ? core_schedule_of(*o.schedule) : core::SetpointSchedule{};
        s.schedule_read = true;
    }
    return s.stepper.control(s.now, o.time, o.measured, o.schedule ? &s.schedule : nullptr);
}

std::unique_ptr<Controller> AdaptiveController::clone() const { return std::make_unique<AdaptiveController>(*this); }

}  // namespace veltrax
