// SPDX-License-Identifier: LGPL-2.1-or-later
#include "controller/pid.hpp"

namespace veltrax {

double pid_control(PidState& s, const PidGains& g, double setpoint, double measured, double period, double u_max) {
    const double e = setpoint - measured;
    if (s.started) {
        const double denominator = g.filter_time + period;
        s.derivative = (g.filter_time / denominator) * s.derivative - (g.kd / denominator) * (measured - s.last_measured);
    }
    const double v = g.kp * e + s.integral + s.derivative;
    double u = v;
    if (u_max > 0.0 && u >= u_max) u = u_max;
    if (u <= 0.0) u = 0.0;
    if (g.ki != 0.0) {
        if (g.clamping) {
            const bool winding = (v > u && e > 0.0) || (v < u && e < 0.0);
            if (!winding) s.integral = s.integral + g.ki * period * e;
        } else {
            double tracking = g.tracking_time;
            if (!(tracking > 0.0)) tracking = g.kp > 0.0 && g.ki > 0.0 ? g.kp / g.ki : period;
            s.integral = s.integral + g.ki * period * e + (period / tracking) * (u - v);
        }
    }
    s.last_measured = measured;
    s.started = true;
    return u;
}

}  // namespace veltrax
