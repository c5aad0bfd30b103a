// SPDX-License-Identifier: LGPL-2.1-or-later
// Controllers: what closes the loop around the plant. Each sample period the
// loop measures the plant, hands the controller an Observation of what it
// may know then, and puts the control it returns through the plant's limits
// [0, u_max] and input delay. A Simulation runs the adaptive controller of its
// build, or any Controller (veltrax::Simulation(const Controller&)):
//
//   veltrax::Simulation pid(veltrax::PidController({0.5, 0.2, 0.1}));
//   auto out = pid.call(settings);         // the same plant, noise and schedule
//
// The built-in controllers are the adaptive one (AdaptiveController, which
// gives the bits of Simulation(build)'s control and measurement) and a PID;
// a class of your own derives from Controller.
#pragma once

#include <array>
#include <memory>

#include "api/build.hpp"
#include "api/options.hpp"
#include "api/settings.hpp"

namespace veltrax {

// Sample periods of set-point preview in an observation.
constexpr int kPreviewSamples = 10;

// What a controller may know at a sample period.
struct Observation {
    long sample = 0;                                // within the call, from 0
    double time = 0.0;                              // at the start of the sample period
    double setpoint = 0.0;                          // in force now
    std::array<double, kPreviewSamples> preview{};  // the set-point at time + (k + 1) sample periods
    double measured = 0.0;                          // y: the measurement, in [0, 1]
    double previous_control = 0.0;                  // u applied in the previous sample period
    double sample_period = 0.0;                     // time per sample period
    double u_max = 0.0;                             // upper control limit (<= 0: none); the lower limit is 0
    const SetpointSchedule* schedule = nullptr;     // the whole schedule; null: the built-in one
};

// A controller. The loop calls begin_call at the start of each call (with the
// call's settings), control once per sample period, and end_call when the
// call ends (completed false: it failed, and the plant went back to where the
// call began; a controller may go back too, as the built-in ones do).
// control must return a finite number; the loop limits it to [0, u_max], and
// a control that is not finite ends the call with Error "veltrax:badControl".
// An exception thrown by control ends the call, leaves the plant as it was
// and reaches the caller.
class Controller {
public:
    virtual ~Controller() = default;
    virtual double control(const Observation& observation) = 0;
    // A copy that continues exactly as this controller would.
    virtual std::unique_ptr<Controller> clone() const = 0;
    virtual void begin_call(const Settings& settings) { static_cast<void>(settings); }
    virtual void end_call(bool completed) { static_cast<void>(completed); }
};

enum class AntiWindup {
    BackCalculation,  // the integral tracks the limited control with the tracking time
    Clamping,         // the integral stands still while the limit cuts the control and the error pushes further
};

// A PID's gains and filters, in the loop's time units. With T the sample
// period, e = r - y and v the control before its limits:
//   D = tf / (tf + T) * D - kd / (tf + T) * (y - y_prev)    (derivative on the measurement; 0 at the first sample)
//   v = kp * e + I + D,  u = v limited to [0, u_max]
//   I += ki * T * e + T / tt * (u - v)   (back-calculation; clamping: I += ki * T * e unless winding up)
struct Pid {
    double kp = 0.0;
    double ki = 0.0;
    double kd = 0.0;
    double filter_time = 1.0;  // tf, of the derivative's first-order filter; 0: none
    AntiWindup anti_windup = AntiWindup::BackCalculation;
    double tracking_time = 0.0;  // tt; 0: the integral time kp / ki, or one sample period without kp or ki
};

// Throws Error "veltrax:badController" naming the field ("pid.kp") unless the
// gains are finite and the filter and tracking times finite and >= 0.
void check_pid(const Pid& pid);

// The PID baseline. Its state (integral, filtered derivative, last
// measurement) carries over from call to call as the adaptive controller's
// does; a failed call leaves it as it was.
class PidController final : public Controller {
public:
    explicit PidController(const Pid& pid = {});  // throws as check_pid
    PidController(const PidController& other);
    PidController& operator=(const PidController& other);
    ~PidController() override;

    double control(const Observation& observation) override;
    std::unique_ptr<Controller> clone() const override;
    void begin_call(const Settings& settings) override;
    void end_call(bool completed) override;
    const Pid& pid() const { return pid_; }

private:
    struct State;
    Pid pid_;
    std::unique_ptr<State> state_;
};

// The adaptive controller of a build as a Controller: in a loop with the same
// plant, seed and schedule it gives the control and the measurement of
// Simulation(build) bit for bit (the preview builds read the schedule from
// the observation). Its move search uses `threads` threads (0 as
// RunOptions::threads). begin_call checks the settings as a call does.
class AdaptiveController final : public Controller {
public:
    explicit AdaptiveController(Build build = Build::Base, unsigned threads = 1);
    AdaptiveController(const AdaptiveController& other);
    AdaptiveController& operator=(const AdaptiveController& other);
    ~AdaptiveController() override;

    double control(const Observation& observation) override;
    std::unique_ptr<Controller> clone() const override;
    void begin_call(const Settings& settings) override;
    void end_call(bool completed) override;
    Build build() const { return build_; }

private:
    struct State;
    Build build_;
    unsigned threads_;
    std::unique_ptr<State> state_;
};

}  // namespace veltrax
