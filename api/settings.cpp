// SPDX-License-Identifier: LGPL-2.1-or-later
#include "api/settings.hpp"

#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <string>

#include "api/call_request.hpp"
#include "api/errors.hpp"
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

// How messages name the checked values: by field, or by position in the
// plug-ins' inputs (the plug-ins' own words).
struct FieldNames {
    const char* samples;
    const char* dead_time;
    const char* a_order;
    const char* b_order;
    const char* order_sum;
    const char* delay_sum;
    const char* rk4_steps;
    const char* rk4_step;
    const char* numerator;
    const char* denominator;
    const char* denominator_lead;
    const char* body_mass;
    const char* cardiac_output;
    const char* observer_lead;
};

constexpr FieldNames kNamed = {
    "settings.samples",
    "settings.dead_time",
    "settings.a_order",
    "settings.b_order",
    "settings.a_order + settings.b_order",
    "settings.dead_time + settings.b_order",
    "settings.rk4_steps",
    "settings.rk4_step",
    "process.numerator",
    "process.denominator",
    "process.denominator[0]",
    "process.body_mass",
    "process.cardiac_output",
    "observer[0]",
};

constexpr FieldNames kPositional = {
    "number of sample periods (parameter 1)",
    "dead time (parameter 3)",
    "a_order (parameter 5)",
    "b_order (parameter 6)",
    "a_order + b_order (parameters 5 and 6)",
    "dead time + b_order (parameters 3 and 6)",
    "Runge-Kutta steps per sample period (parameter 8)",
    "Runge-Kutta step size (parameter 9)",
    "numerator",
    "denominator",
    "leading denominator coefficient",
    "body mass (numerator element 1)",
    "cardiac output (numerator element 2)",
    "leading coefficient of the filter polynomial T",
};

// Integration step the built-in model would choose for this body.
double model_integration_step(double body_mass, double cardiac_output) {
    ProcessModel m;
    prepare_model_for_body(m, body_mass, cardiac_output);
    return m.integration_step;
}

void check_run(const Settings& s, const FieldNames& n) {
    if (s.samples < 0) fail("veltrax:badSampleCount", "%s must not be negative, got %ld", n.samples, s.samples);
    if (s.samples > INT32_MAX)  // named settings only; positional ones are 32-bit
        fail("veltrax:badSampleCount", "%s must be at most %d, got %ld", n.samples, INT32_MAX, s.samples);
    if (s.dead_time < 0) fail("veltrax:badDeadTime", "%s must not be negative, got %d", n.dead_time, s.dead_time);
    if (s.a_order < 0 || s.a_order > kMaxAOrder)
        fail("veltrax:badOrder", "%s must be between 0 and %d, got %d", n.a_order, kMaxAOrder, s.a_order);
    if (s.b_order < 0) fail("veltrax:badOrder", "%s must not be negative, got %d", n.b_order, s.b_order);
    if (static_cast<long>(s.a_order) + s.b_order > kMaxOrderSum)
        fail("veltrax:badOrder", "%s must be at most %d, got %d + %d", n.order_sum, kMaxOrderSum, s.a_order,
             s.b_order);
    if (static_cast<long>(s.dead_time) + s.b_order > kMaxBLength)
        fail("veltrax:badDeadTime", "%s must be at most %d, got %d + %d", n.delay_sum, kMaxBLength, s.dead_time,
             s.b_order);
    if (s.rk4_steps < 1) fail("veltrax:badStep", "%s must be at least 1, got %d", n.rk4_steps, s.rk4_steps);
    if (!(s.rk4_step > 0.0) || !std::isfinite(s.rk4_step))
        fail("veltrax:badStep", "%s must be positive and finite, got %g", n.rk4_step, s.rk4_step);
}

void check_denominator(const std::vector<double>& den, const FieldNames& n) {
    if (den.size() < 2 || den.size() > kMaxDenominatorDegree + 1)
        fail("veltrax:badDenominator", "%s must have 2 to %d coefficients (degree 1 to %d), got %zu", n.denominator,
             kMaxDenominatorDegree + 1, kMaxDenominatorDegree, den.size());
    if (den[0] == 0.0) fail("veltrax:badDenominator", "%s must not be 0", n.denominator_lead);
}

void check_numerator(const std::vector<double>& num, const std::vector<double>& den, const FieldNames& n) {
    if (num.empty()) fail("veltrax:badNumerator", "%s must not be empty", n.numerator);
    if (num.size() >= den.size())
        fail("veltrax:badNumerator",
             "%s degree must be below the %s degree (strictly proper), got %zu and %zu", n.numerator, n.denominator,
             num.size() - 1, den.size() - 1);
}

void check_body(const BodyModel& b, const FieldNames& n) {
    if (!(b.body_mass > 0.0) || !std::isfinite(b.body_mass))
        fail("veltrax:badModelParameters", "%s must be positive and finite, got %g", n.body_mass, b.body_mass);
    if (!(b.cardiac_output > 0.0) || !std::isfinite(b.cardiac_output))
        fail("veltrax:badModelParameters", "%s must be positive and finite, got %g", n.cardiac_output,
             b.cardiac_output);
    const double step = model_integration_step(b.body_mass, b.cardiac_output);
    if (!(step >= 1.0) || !std::isfinite(step))
        fail("veltrax:badModelParameters",
             "body mass %g and cardiac output %g give an integration step of %g s; the model needs at least 1 s "
             "(the smallest blood pool must hold at least half of what the cardiac output moves per second)",
             b.body_mass, b.cardiac_output, step);
}

void check_observer(const std::array<double, 3>& t, const FieldNames& n) {
    if (t[0] == 0.0) fail("veltrax:badFilter", "%s must not be 0", n.observer_lead);
}

void check_process(const Settings& s, const FieldNames& n) {
    if (const auto* tf = std::get_if<TransferFunction>(&s.process)) {
        check_denominator(tf->denominator, n);
        check_numerator(tf->numerator, tf->denominator, n);
    } else {
        check_body(std::get<BodyModel>(s.process), n);
    }
}

std::int32_t truncated(const double* p, int element) {
    static const char* const kNames[9] = {
        "number of sample periods", "control weight", "dead time", "upper control limit", "a_order",
        "b_order", "noise amplitude", "Runge-Kutta steps per sample period", "Runge-Kutta step size"};
    const double v = p[element];
    if (!(v > -2147483649.0 && v < 2147483648.0))
        fail("veltrax:notAnInteger",
             "%s (parameter %d) must be a finite number within the 32-bit integer range, got %g", kNames[element],
             element + 1, v);
    return static_cast<std::int32_t>(v);  // toward zero
}

// The parameter vector: the run's settings and the noise.
void read_parameters(const InputView& pv, Settings& s) {
    if (pv.numel() < 9)
        fail("veltrax:badParameterVector", "parameter vector needs at least 9 elements, got %zu", pv.numel());
    const double* p = pv.data;
    s.samples = truncated(p, 0);
    s.control_weight = p[1];
    s.dead_time = truncated(p, 2);
    s.u_max = p[3];
    s.a_order = truncated(p, 4);
    s.b_order = truncated(p, 5);
    s.noise = {pv.cols == 10 ? NoiseKind::Gaussian : NoiseKind::Uniform, p[6]};
    s.rk4_steps = truncated(p, 7);
    s.rk4_step = p[8];
}

std::vector<double> values(const InputView& v) { return std::vector<double>(v.data, v.data + v.numel()); }

// Numerator and denominator: a transfer function, or with an empty
// denominator the built-in model for the body in the numerator.
void read_process(const InputView& num, const InputView& den, Settings& s) {
    if (den.cols != 0) {
        if (den.rows != 1)
            fail("veltrax:badDenominator", "denominator must be a row vector, got %zux%zu", den.rows, den.cols);
        TransferFunction tf{{}, values(den)};
        check_denominator(tf.denominator, kPositional);
        if (num.rows != 1 || num.cols == 0)
            fail("veltrax:badNumerator", "numerator must be a non-empty row vector, got %zux%zu", num.rows, num.cols);
        tf.numerator = values(num);
        check_numerator(tf.numerator, tf.denominator, kPositional);
        s.process = std::move(tf);
        return;
    }
    if (num.numel() < 2)
        fail("veltrax:badModelParameters",
             "built-in model needs body mass and cardiac output in the numerator (2 elements), got %zu", num.numel());
    const BodyModel body{num.data[0], num.data[1]};
    check_body(body, kPositional);
    s.process = body;
}

void check_input_count(int count) {
    if (count < 4)
        fail("veltrax:notEnoughInputs",
             "needs at least 4 inputs (parameter vector, numerator, denominator, curve parameters), got %d", count);
}

}  // namespace

void check_settings(const Settings& settings) {
    check_run(settings, kNamed);
    check_process(settings, kNamed);
    check_observer(settings.observer, kNamed);
}

Settings settings_from_inputs(int count, const InputView* inputs) {
    check_input_count(count);
    Settings s;
    read_parameters(inputs[0], s);
    check_run(s, kPositional);
    read_process(inputs[1], inputs[2], s);

    const InputView& curve = inputs[3];
    if (curve.numel() < 4)
        fail("veltrax:badCurveParameters", "curve parameters need 4 elements, got %zu", curve.numel());
    s.curve = {curve.data[0], curve.data[1], curve.data[2], curve.data[3]};

    // T from exactly five inputs, else the default.
    if (count == 5) {
        const InputView& t = inputs[4];
        if (t.numel() < 3) fail("veltrax:badFilter", "filter polynomial T needs 3 coefficients, got %zu", t.numel());
        s.observer = {t.data[0], t.data[1], t.data[2]};
        check_observer(s.observer, kPositional);
    }
    return s;
}

const char* noise_kind_name(NoiseKind kind) { return kind == NoiseKind::Gaussian ? "gaussian" : "uniform"; }

NoiseKind noise_kind_named(const std::string& word, const std::string& field) {
    for (NoiseKind kind : {NoiseKind::Uniform, NoiseKind::Gaussian})
        if (word == noise_kind_name(kind)) return kind;
    throw Error("veltrax:badNoise", field + " must be \"uniform\" or \"gaussian\", got \"" + word + "\"");
}

namespace {

// The request of checked settings.
CallRequest request_of(const Settings& s) {
    CallRequest request;
    RunConfig& r = request.config;
    r.sample_count = static_cast<std::int32_t>(s.samples);
    r.control_weight = s.control_weight;
    r.dead_time = s.dead_time;
    r.u_max = s.u_max;
    r.a_order = s.a_order;
    r.b_order = s.b_order;
    r.noise_amplitude = s.noise.amplitude;
    r.substeps_per_sample = s.rk4_steps;
    r.rk4_step_size = s.rk4_step;
    r.gaussian_noise = s.noise.kind == NoiseKind::Gaussian;
    r.linear_process = !s.builtin_model();
    r.plant_hill_midpoint = s.curve.plant_midpoint;
    r.hill_midpoint = s.curve.midpoint;
    r.plant_hill_exponent = s.curve.plant_exponent;
    r.hill_exponent = s.curve.exponent;
    for (int i = 0; i < 3; ++i) r.t_coef[i] = s.observer[i];
    r.t_coef[3] = 0.0;

    ProcessRequest& p = request.process;
    if (const auto* tf = std::get_if<TransferFunction>(&s.process)) {
        p.num_degree = static_cast<int>(tf->numerator.size()) - 1;
        p.den_degree = static_cast<int>(tf->denominator.size()) - 1;
        for (std::size_t k = 0; k < tf->numerator.size(); ++k) p.num[k] = tf->numerator[k];
        for (std::size_t k = 0; k < tf->denominator.size(); ++k) p.den[k] = tf->denominator[k];
    } else {
        const BodyModel& b = std::get<BodyModel>(s.process);
        p.body_mass = b.body_mass;
        p.cardiac_output = b.cardiac_output;
    }
    return request;
}

}  // namespace

CallRequest plant_request(const Settings& settings, bool samples) {
    const Settings& s = settings;
    const FieldNames& n = kNamed;
    if (samples && s.samples < 0) fail("veltrax:badSampleCount", "%s must not be negative, got %ld", n.samples, s.samples);
    if (samples && s.samples > INT32_MAX)
        fail("veltrax:badSampleCount", "%s must be at most %d, got %ld", n.samples, INT32_MAX, s.samples);
    if (s.dead_time < 0 || s.dead_time > kMaxPlantDeadTime)
        fail("veltrax:badDeadTime", "%s must be between 0 and %d, got %d", n.dead_time, kMaxPlantDeadTime,
             s.dead_time);
    if (s.rk4_steps < 1) fail("veltrax:badStep", "%s must be at least 1, got %d", n.rk4_steps, s.rk4_steps);
    if (!(s.rk4_step > 0.0) || !std::isfinite(s.rk4_step))
        fail("veltrax:badStep", "%s must be positive and finite, got %g", n.rk4_step, s.rk4_step);
    check_process(s, n);
    CallRequest request = request_of(s);
    if (!samples) request.config.sample_count = 0;
    return request;
}

CallRequest call_request(const Settings& settings) {
    check_settings(settings);
    return request_of(settings);
}

CallRequest call_request(int count, const InputView* inputs, int outputs) {
    check_input_count(count);
    if (outputs > 5) fail("veltrax:tooManyOutputs", "returns at most 5 outputs, %d requested", outputs);
    return request_of(settings_from_inputs(count, inputs));
}

}  // namespace veltrax
