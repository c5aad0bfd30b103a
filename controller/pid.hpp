// SPDX-License-Identifier: LGPL-2.1-or-later
// A PID controller, the baseline beside the adaptive one: proportional and
// integral action on the error r - y, derivative action on the measurement
// through a first-order filter, the control limited to [0, u_max] as the
// loop limits it, and anti-windup by back-calculation or by clamping the
// integrator.
#pragma once

namespace veltrax {

struct PidGains {
    double kp = 0.0;
    double ki = 0.0;
    double kd = 0.0;
    double filter_time = 1.0;     // time constant of the derivative's filter; 0: none
    bool clamping = false;        // anti-windup by clamping; else by back-calculation
    double tracking_time = 0.0;   // of the back-calculation; 0: kp / ki, or one sample period
};

struct PidState {
    double integral = 0.0;
    double derivative = 0.0;     // the filtered derivative term
    double last_measured = 0.0;
    bool started = false;        // last_measured holds a measurement
};

// The control of one sample period of length `period` (u_max <= 0: no upper
// limit). With T = period, e = r - y and v the control before the limits:
//   D = tf / (tf + T) * D - kd / (tf + T) * (y - y_prev)   (0 at the first sample)
//   v = kp * e + I + D,   u = v limited to [0, u_max]
//   I += ki * T * e + T / tt * (u - v)                     (back-calculation), or
//   I += ki * T * e unless v was cut and e drives it further (clamping).
double pid_control(PidState& s, const PidGains& g, double setpoint, double measured, double period, double u_max);

}  // namespace veltrax
