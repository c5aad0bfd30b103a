// SPDX-License-Identifier: LGPL-2.1-or-later
#include "driver/arguments.hpp"

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <string>

#include "driver/errors.hpp"
#include "process_model/process_model.hpp"

namespace veltrax {
namespace {

[[noreturn]] void fail(const char* id, const char* fmt, ...) {
    char buf[400];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    throw Error(id, buf);
}

const char* const kElementNames[9] = {
    "number of sample periods", "control weight", "dead time", "upper control limit", "a_order",
    "b_order", "noise amplitude", "Runge-Kutta steps per sample period", "Runge-Kutta step size"};

std::int32_t truncated(const double* p, int element) {
    const double v = p[element];
    if (!(v > -2147483649.0 && v < 2147483648.0))
        fail("veltrax:notAnInteger",
             "%s (parameter %d) must be a finite number within the 32-bit integer range, got %g",
             kElementNames[element], element + 1, v);
    return static_cast<std::int32_t>(v);  // toward zero
}

// Integration step the built-in model would choose for this body.
double model_integration_step(double body_mass, double cardiac_output) {
    ProcessModel m;
    prepare_model_for_body(m, body_mass, cardiac_output);
    return m.integration_step;
}

}  // namespace

CallRequest decode_call(int nrhs, const ArgView* args, int nlhs) {
    if (nrhs < 4)
        fail("veltrax:notEnoughInputs",
             "needs at least 4 inputs (parameter vector, numerator, denominator, curve parameters), got %d", nrhs);
    if (nlhs > 5) fail("veltrax:tooManyOutputs", "returns at most 5 outputs, %d requested", nlhs);

    CallRequest request;
    RunConfig& r = request.config;
    ProcessRequest& process = request.process;

    const ArgView& pv = args[0];
    if (pv.numel() < 9)
        fail("veltrax:badParameterVector", "parameter vector needs at least 9 elements, got %zu", pv.numel());
    const double* p = pv.data;
    r.sample_count = truncated(p, 0);
    r.control_weight = p[1];
    r.dead_time = truncated(p, 2);
    r.u_max = p[3];
    r.a_order = truncated(p, 4);
    r.b_order = truncated(p, 5);
    r.noise_amplitude = p[6];
    r.substeps_per_sample = truncated(p, 7);
    r.rk4_step_size = p[8];
    r.gaussian_noise = pv.cols == 10;

    if (r.sample_count < 0)
        fail("veltrax:badSampleCount", "number of sample periods (parameter 1) must not be negative, got %d",
             r.sample_count);
    if (r.dead_time < 0) fail("veltrax:badDeadTime", "dead time (parameter 3) must not be negative, got %d", r.dead_time);
    if (r.a_order < 0 || r.a_order > kMaxAOrder)
        fail("veltrax:badOrder", "a_order (parameter 5) must be between 0 and %d, got %d", kMaxAOrder, r.a_order);
    if (r.b_order < 0)
        fail("veltrax:badOrder", "b_order (parameter 6) must not be negative, got %d", r.b_order);
    if (static_cast<long>(r.a_order) + r.b_order > kMaxOrderSum)
        fail("veltrax:badOrder", "a_order + b_order (parameters 5 and 6) must be at most %d, got %d + %d", kMaxOrderSum,
             r.a_order, r.b_order);
    if (static_cast<long>(r.dead_time) + r.b_order > kMaxBLength)
        fail("veltrax:badDeadTime", "dead time + b_order (parameters 3 and 6) must be at most %d, got %d + %d",
             kMaxBLength, r.dead_time, r.b_order);
    if (r.substeps_per_sample < 1)
        fail("veltrax:badStep", "Runge-Kutta steps per sample period (parameter 8) must be at least 1, got %d",
             r.substeps_per_sample);
    if (!(r.rk4_step_size > 0.0) || !std::isfinite(r.rk4_step_size))
        fail("veltrax:badStep", "Runge-Kutta step size (parameter 9) must be positive and finite, got %g",
             r.rk4_step_size);

    const ArgView& num = args[1];
    const ArgView& den = args[2];
    r.linear_process = den.cols != 0;
    if (r.linear_process) {
        if (den.rows != 1)
            fail("veltrax:badDenominator", "denominator must be a row vector, got %zux%zu", den.rows, den.cols);
        if (den.cols < 2 || den.cols > kMaxDenominatorDegree + 1)
            fail("veltrax:badDenominator", "denominator must have 2 to %d coefficients (degree 1 to %d), got %zu",
                 kMaxDenominatorDegree + 1, kMaxDenominatorDegree, den.cols);
        if (den.data[0] == 0.0) fail("veltrax:badDenominator", "leading denominator coefficient must not be 0");
        if (num.rows != 1 || num.cols == 0)
            fail("veltrax:badNumerator", "numerator must be a non-empty row vector, got %zux%zu", num.rows, num.cols);
        if (num.cols >= den.cols)
            fail("veltrax:badNumerator",
                 "numerator degree must be below the denominator degree (strictly proper), got %zu and %zu",
                 num.cols - 1, den.cols - 1);
        process.num_degree = static_cast<int>(num.cols) - 1;
        process.den_degree = static_cast<int>(den.cols) - 1;
        for (std::size_t k = 0; k < num.cols; ++k) process.num[k] = num.data[k];
        for (std::size_t k = 0; k < den.cols; ++k) process.den[k] = den.data[k];
    } else {
        if (num.numel() < 2)
            fail("veltrax:badModelParameters",
                 "built-in model needs body mass and cardiac output in the numerator (2 elements), got %zu",
                 num.numel());
        process.body_mass = num.data[0];
        process.cardiac_output = num.data[1];
        if (!(process.body_mass > 0.0) || !std::isfinite(process.body_mass))
            fail("veltrax:badModelParameters", "body mass (numerator element 1) must be positive and finite, got %g",
                 process.body_mass);
        if (!(process.cardiac_output > 0.0) || !std::isfinite(process.cardiac_output))
            fail("veltrax:badModelParameters",
                 "cardiac output (numerator element 2) must be positive and finite, got %g", process.cardiac_output);
        const double step = model_integration_step(process.body_mass, process.cardiac_output);
        if (!(step >= 1.0) || !std::isfinite(step))
            fail("veltrax:badModelParameters",
                 "body mass %g and cardiac output %g give an integration step of %g s; the model needs at least 1 s "
                 "(the smallest blood pool must hold at least half of what the cardiac output moves per second)",
                 process.body_mass, process.cardiac_output, step);
    }

    const ArgView& curve = args[3];
    if (curve.numel() < 4)
        fail("veltrax:badCurveParameters", "curve parameters need 4 elements, got %zu", curve.numel());
    r.plant_hill_midpoint = curve.data[0];
    r.hill_midpoint = curve.data[1];
    r.plant_hill_exponent = curve.data[2];
    r.hill_exponent = curve.data[3];

    // T from exactly five inputs, else the default; the fourth coefficient stays 0.
    const double default_t[3] = {1.0, -1.6, 0.64};
    const double* t_coef = default_t;
    if (nrhs == 5) {
        const ArgView& t = args[4];
        if (t.numel() < 3) fail("veltrax:badFilter", "filter polynomial T needs 3 coefficients, got %zu", t.numel());
        if (t.data[0] == 0.0) fail("veltrax:badFilter", "leading coefficient of the filter polynomial T must not be 0");
        t_coef = t.data;
    }
    for (int i = 0; i < 3; ++i) r.t_coef[i] = t_coef[i];
    r.t_coef[3] = 0.0;
    return request;
}

}  // namespace veltrax
