// SPDX-License-Identifier: LGPL-2.1-or-later
#include "driver/plant_models.hpp"

#include <cmath>
#include <cstring>
#include <string>
#include <utility>

#include "driver/errors.hpp"
#include "driver/plant_step.hpp"

namespace veltrax {

namespace core {

double profile_value(const Disturbance& d, double t) {
    double u = t - d.start;
    if (u < 0.0) return 0.0;
    if (u < d.rise) return d.amplitude * (u / d.rise);
    u -= d.rise;
    if (u < d.duration) return d.amplitude;
    u -= d.duration;
    if (u < d.fall) return d.amplitude * (1.0 - u / d.fall);
    return 0.0;
}

namespace {

[[noreturn]] void bad(const std::string& field, const std::string& rule) {
    throw Error("veltrax:badPlantModels", field + " " + rule);
}

void finite(double v, const std::string& field) {
    if (!std::isfinite(v)) bad(field, "must be a finite number");
}

void non_negative(double v, const std::string& field) {
    if (!(v >= 0.0)) bad(field, "must not be negative (or NaN)");
}

void probability(double v, const std::string& field) {
    if (!(v >= 0.0 && v <= 1.0)) bad(field, "must lie in [0, 1]");
}

void check_disturbance(const Disturbance& d, const std::string& f) {
    finite(d.start, f + ".start");
    finite(d.amplitude, f + ".amplitude");
    finite(d.rise, f + ".rise");
    non_negative(d.rise, f + ".rise");
    non_negative(d.duration, f + ".duration");
    finite(d.fall, f + ".fall");
    non_negative(d.fall, f + ".fall");
    if (d.kind != DisturbanceKind::Poisson) return;
    if (!(d.end >= d.start)) bad(f + ".end", "must not lie before its start");
    finite(d.rate, f + ".rate");
    non_negative(d.rate, f + ".rate");
    finite(d.low, f + ".low");
    finite(d.high, f + ".high");
    if (!(d.high >= d.low)) bad(f + ".high", "must not be below low");
}

void check_sensor(const SensorModel& s) {
    non_negative(s.ar_time_constant, "sensor.time_constant");
    finite(s.ar_time_constant, "sensor.time_constant");
    probability(s.artefact_probability, "sensor.artefact_probability");
    finite(s.artefact_amplitude, "sensor.artefact_amplitude");
    probability(s.dropout_probability, "sensor.dropout_probability");
    if (s.dropout_min < 1) bad("sensor.dropout_min", "must be at least 1");
    if (s.dropout_max < s.dropout_min) bad("sensor.dropout_max", "must not be below dropout_min");
    if (s.delay < 0 || s.delay > 10000) bad("sensor.delay", "must be an integer from 0 to 10000");
    non_negative(s.quantum, "sensor.quantum");
    finite(s.quantum, "sensor.quantum");
}

}  // namespace

void check_plant_models(const PlantModels& m, bool linear) {
    bool drawn = m.sensor.artefact_probability > 0.0 || m.sensor.dropout_probability > 0.0;
    for (std::size_t k = 0; k < m.disturbances.size(); ++k) {
        check_disturbance(m.disturbances[k], "disturbances[" + std::to_string(k) + "]");
        drawn = drawn || m.disturbances[k].kind == DisturbanceKind::Poisson;
    }
    check_sensor(m.sensor);
    non_negative(m.actuator.rate_limit, "actuator.rate_limit");
    finite(m.actuator.rate_limit, "actuator.rate_limit");
    non_negative(m.actuator.quantum, "actuator.quantum");
    finite(m.actuator.quantum, "actuator.quantum");
    for (std::size_t k = 0; k < m.actuator.boluses.size(); ++k) {
        const std::string f = "actuator.boluses[" + std::to_string(k) + "]";
        finite(m.actuator.boluses[k].time, f + ".time");
        finite(m.actuator.boluses[k].dose, f + ".dose");
        non_negative(m.actuator.boluses[k].dose, f + ".dose");
    }
    for (std::size_t k = 0; k < m.changes.size(); ++k) {
        const PlantChange& c = m.changes[k];
        const std::string f = "changes[" + std::to_string(k) + "]";
        finite(c.time, f + ".time");
        if (k > 0 && c.time < m.changes[k - 1].time) bad(f + ".time", "must not lie before the change before it");
        const bool body = !std::isnan(c.cardiac_output) || !std::isnan(c.cardiac_output_factor) ||
                          !std::isnan(c.body_mass);
        if (linear && body) bad(f, "changes body values, but the process is a transfer function");
        if (!linear && !std::isnan(c.gain)) bad(f + ".gain", "applies to a transfer function, not the built-in model");
        if (!std::isnan(c.cardiac_output) && !(c.cardiac_output > 0.0 && std::isfinite(c.cardiac_output)))
            bad(f + ".cardiac_output", "must be positive");
        if (!std::isnan(c.cardiac_output_factor) && !(c.cardiac_output_factor > 0.0 && std::isfinite(c.cardiac_output_factor)))
            bad(f + ".cardiac_output_factor", "must be positive");
        if (!std::isnan(c.body_mass) && !(c.body_mass > 0.0 && std::isfinite(c.body_mass)))
            bad(f + ".body_mass", "must be positive");
        if (!std::isnan(c.gain)) finite(c.gain, f + ".gain");
    }
    if (drawn && !m.draw) bad("draw", "is needed by the drawn models");
}

}  // namespace core

PlantModelRun::PlantModelRun(const core::PlantModels& models, const PlantState& plant, const RunConfig& cfg)
    : models_(&models) {
    s_.boluses_done.assign(models.actuator.boluses.size(), 0);
    take_base(plant);
    (void)cfg;
}

PlantModelRun::PlantModelRun(const core::PlantModels& models, const PlantState& plant, PlantModelsState state)
    : models_(&models), s_(std::move(state)) {
    take_base(plant);
    s_.changes_done = 0;
}

void PlantModelRun::take_base(const PlantState& plant) {
    s_.base_cardiac_output = plant.model.cardiac_output;
    for (int k = 0; k < kMaxCoefficients; ++k) s_.base_num[k] = plant.linear.num_coeffs[k];
}

void PlantModelRun::load_state(const PlantModelsState& state) {
    const core::PlantModels& m = *models_;
    auto bad = [](const std::string& what) {
        throw core::Error("veltrax:badSnapshot", "snapshot's plant models state " + what);
    };
    if (state.boluses_done.size() != m.actuator.boluses.size())
        bad("has " + std::to_string(state.boluses_done.size()) + " boluses, the plant's models " +
            std::to_string(m.actuator.boluses.size()));
    for (std::int32_t b : state.boluses_done)
        if (b != 0 && b != 1) bad("marks a bolus with " + std::to_string(b));
    if (state.changes_done > m.changes.size()) bad("has more changes done than the models have");
    if (state.pulse_end.size() != state.pulse_amplitude.size()) bad("has pulses without amplitudes");
    if (state.delay_line.size() > static_cast<std::size_t>(m.sensor.delay) + 1)
        bad("has a delay line longer than the sensor's delay");
    if (state.dropout_left < 0 || state.dropout_left >= m.sensor.dropout_max)
        bad("has a dropout of " + std::to_string(state.dropout_left) + " sample periods to go");
    s_ = state;
}

void PlantModelRun::draw(std::uint64_t purpose, double out[4]) const {
    models_->draw(models_->seed, models_->individual, purpose, s_.sample, out);
}

void PlantModelRun::apply_change(PlantState& p, const RunConfig& cfg, const core::PlantChange& c) {
    if (cfg.linear_process) {
        if (!std::isnan(c.gain))
            for (int k = 0; k < kMaxCoefficients; ++k) p.linear.num_coeffs[k] = s_.base_num[k] * c.gain;
        return;
    }
    double cardiac = p.model.cardiac_output;
    if (!std::isnan(c.cardiac_output_factor)) cardiac = s_.base_cardiac_output * c.cardiac_output_factor;
    if (!std::isnan(c.cardiac_output)) cardiac = c.cardiac_output;
    const double mass = std::isnan(c.body_mass) ? p.model.body_mass : c.body_mass;
    // The preparation loads the parameters again (a primary dose among them)
    // but keeps the amounts; what is on its way stays.
    const double pending = p.model.pending_primary_bolus;
    prepare_model_for_body(p.model, mass, cardiac);
    p.model.pending_primary_bolus = pending;
    p.model.primary_dose = 0.0;
    p.model.infusion_per_step = infusion_per_step(p.model, p.process_input);
}

double PlantModelRun::before_advance(PlantState& p, const RunConfig& cfg, double t) {
    const std::vector<core::PlantChange>& changes = models_->changes;
    for (; s_.changes_done < changes.size() && changes[s_.changes_done].time <= t; ++s_.changes_done)
        apply_change(p, cfg, changes[s_.changes_done]);
    const double input = p.process_input;
    double dose = 0.0;
    const std::vector<core::Bolus>& boluses = models_->actuator.boluses;
    for (std::size_t k = 0; k < boluses.size(); ++k) {
        if (s_.boluses_done[k] != 0 || boluses[k].time > t) continue;
        s_.boluses_done[k] = 1;
        dose = dose + boluses[k].dose;
    }
    if (dose != 0.0) {
        p.process_input = input + dose;
        p.model.infusion_per_step = infusion_per_step(p.model, p.process_input);
    }
    return input;
}

void PlantModelRun::after_advance(PlantState& p, double input) {
    if (p.process_input == input) return;
    p.process_input = input;
    p.model.infusion_per_step = infusion_per_step(p.model, input);
}

double PlantModelRun::disturbance_at(const RunConfig& cfg, double t) {
    const double period = cfg.substeps_per_sample * cfg.rk4_step_size;
    double d = 0.0;
    const std::vector<core::Disturbance>& list = models_->disturbances;
    for (std::size_t k = 0; k < list.size(); ++k) {
        const core::Disturbance& x = list[k];
        if (x.kind != core::DisturbanceKind::Poisson) {
            d = d + core::profile_value(x, t);
            continue;
        }
        if (t < x.start || t >= x.end || x.rate <= 0.0) continue;
        double u[4];
        draw(core::kPurposeDisturbance + k, u);
        if (u[0] < 1.0 - std::exp(-x.rate * period)) {
            s_.pulse_end.push_back(t + x.duration);
            s_.pulse_amplitude.push_back(x.low + (x.high - x.low) * u[1]);
        }
    }
    std::size_t kept = 0;
    for (std::size_t k = 0; k < s_.pulse_end.size(); ++k) {
        if (!(t < s_.pulse_end[k])) continue;
        d = d + s_.pulse_amplitude[k];
        s_.pulse_end[kept] = s_.pulse_end[k];
        s_.pulse_amplitude[kept++] = s_.pulse_amplitude[k];
    }
    s_.pulse_end.resize(kept);
    s_.pulse_amplitude.resize(kept);
    return d;
}

// Noise (coloured), artefact, quantisation, delay and dropout of the effect e.
double PlantModelRun::sense(const RunConfig& cfg, PlantState& p, double e, double& noise) {
    const core::SensorModel& s = models_->sensor;
    double r = e;
    if (cfg.noise_amplitude > 0.0) {
        double w = measurement_noise(p, cfg);
        if (s.ar_time_constant > 0.0) {
            const double a = std::exp(-(cfg.substeps_per_sample * cfg.rk4_step_size) / s.ar_time_constant);
            w = s_.coloured_started ? a * s_.coloured + std::sqrt(1.0 - a * a) * w : w;
            s_.coloured_started = true;
            s_.coloured = w;
        }
        noise = w;
        r = r + w;
    }
    double u[4];
    if (s.artefact_probability > 0.0) {
        draw(core::kPurposeArtefact, u);
        if (u[0] < s.artefact_probability) r = r + s.artefact_amplitude * (2.0 * u[1] - 1.0);
    }
    if (s.quantum > 0.0) r = std::round(r / s.quantum) * s.quantum;
    if (s.delay > 0) {
        s_.delay_line.push_back(r);
        if (s_.delay_line.size() > static_cast<std::size_t>(s.delay) + 1) s_.delay_line.erase(s_.delay_line.begin());
        r = s_.delay_line.front();
    }
    if (s_.dropout_left > 0) {
        --s_.dropout_left;
        return s_.last_output;
    }
    if (s.dropout_probability > 0.0 && s_.has_output) {
        draw(core::kPurposeDropout, u);
        if (u[0] < s.dropout_probability) {
            const int span = s.dropout_max - s.dropout_min + 1;
            int length = s.dropout_min + static_cast<int>(u[1] * span);
            if (length > s.dropout_max) length = s.dropout_max;
            s_.dropout_left = length - 1;
            return s_.last_output;
        }
    }
    s_.has_output = true;
    s_.last_output = r;
    return r;
}

PlantSample PlantModelRun::measure(PlantState& p, const RunConfig& cfg, double v, double t) {
    PlantSample x;
    x.v = v;
    s_.disturbance = disturbance_at(cfg, t);
    const double e = measurement_curve(cfg, v) + s_.disturbance;
    double y = sense(cfg, p, e, x.noise);
    x.raw = y;
    if (y <= 0.0) y = 0.0;
    if (!(y < 1.0)) y = 1.0;
    x.y = y;
    p.process_output = v;
    p.measured_output = y;
    return x;
}

double PlantModelRun::actuate(const RunConfig& cfg, double u, double previous) const {
    const core::ActuatorModel& a = models_->actuator;
    u = veltrax::actuate(cfg, u);
    if (a.rate_limit > 0.0) {
        const double most = a.rate_limit * (cfg.substeps_per_sample * cfg.rk4_step_size);
        if (u > previous + most) u = previous + most;
        if (u < previous - most) u = previous - most;
    }
    if (a.quantum > 0.0) {
        u = std::round(u / a.quantum) * a.quantum;
        if (cfg.u_max > 0.0 && u > cfg.u_max) u = u - a.quantum;
        u = veltrax::actuate(cfg, u);
    }
    return u;
}

namespace {

// 64-bit FNV-1a over the bits of the values.
class KeyHash {
public:
    void add(std::uint64_t v) {
        for (int i = 0; i < 8; ++i) {
            h_ ^= (v >> (8 * i)) & 0xFFu;
            h_ *= 0x100000001B3u;
        }
    }
    void add(double v) {
        std::uint64_t bits;
        std::memcpy(&bits, &v, sizeof bits);
        add(bits);
    }
    void add(int v) { add(static_cast<std::uint64_t>(static_cast<std::int64_t>(v))); }
    std::uint64_t value() const { return h_; }

private:
    std::uint64_t h_ = 0xCBF29CE484222325u;
};

}  // namespace

std::uint64_t plant_models_key(const core::PlantModels& m) {
    KeyHash h;
    h.add(static_cast<std::uint64_t>(m.disturbances.size()));
    for (const core::Disturbance& d : m.disturbances) {
        h.add(static_cast<int>(d.kind));
        for (double v : {d.start, d.amplitude, d.rise, d.duration, d.fall, d.end, d.rate, d.low, d.high}) h.add(v);
    }
    const core::SensorModel& s = m.sensor;
    for (double v : {s.ar_time_constant, s.artefact_probability, s.artefact_amplitude, s.dropout_probability, s.quantum})
        h.add(v);
    for (int v : {s.dropout_min, s.dropout_max, s.delay}) h.add(v);
    h.add(m.actuator.rate_limit);
    h.add(m.actuator.quantum);
    h.add(static_cast<std::uint64_t>(m.actuator.boluses.size()));
    for (const core::Bolus& b : m.actuator.boluses) {
        h.add(b.time);
        h.add(b.dose);
    }
    h.add(static_cast<std::uint64_t>(m.changes.size()));
    for (const core::PlantChange& c : m.changes)
        for (double v : {c.time, c.cardiac_output, c.cardiac_output_factor, c.body_mass, c.gain}) h.add(v);
    h.add(m.seed);
    h.add(m.individual);
    return h.value();
}

}  // namespace veltrax
