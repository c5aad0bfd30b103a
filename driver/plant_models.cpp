// SPDX-License-Identifier: LGPL-2.1-or-later
#include "driver/plant_models.hpp"

#include <cmath>
#include <string>

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
    : models_(&models), boluses_done_(models.actuator.boluses.size(), false) {
    base_cardiac_output_ = plant.model.cardiac_output;
    for (int k = 0; k < kMaxCoefficients; ++k) base_num_[k] = plant.linear.num_coeffs[k];
    (void)cfg;
}

void PlantModelRun::draw(std::uint64_t purpose, double out[4]) const {
    models_->draw(models_->seed, models_->individual, purpose, sample_, out);
}

void PlantModelRun::apply_change(PlantState& p, const RunConfig& cfg, const core::PlantChange& c) {
    if (cfg.linear_process) {
        if (!std::isnan(c.gain))
            for (int k = 0; k < kMaxCoefficients; ++k) p.linear.num_coeffs[k] = base_num_[k] * c.gain;
        return;
    }
    double cardiac = p.model.cardiac_output;
    if (!std::isnan(c.cardiac_output_factor)) cardiac = base_cardiac_output_ * c.cardiac_output_factor;
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
    for (; changes_done_ < changes.size() && changes[changes_done_].time <= t; ++changes_done_)
        apply_change(p, cfg, changes[changes_done_]);
    const double input = p.process_input;
    double dose = 0.0;
    const std::vector<core::Bolus>& boluses = models_->actuator.boluses;
    for (std::size_t k = 0; k < boluses.size(); ++k) {
        if (boluses_done_[k] || boluses[k].time > t) continue;
        boluses_done_[k] = true;
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
        if (u[0] < 1.0 - std::exp(-x.rate * period)) pulses_.push_back({t + x.duration, x.low + (x.high - x.low) * u[1]});
    }
    std::size_t kept = 0;
    for (const Pulse& pulse : pulses_) {
        if (!(t < pulse.end)) continue;
        d = d + pulse.amplitude;
        pulses_[kept++] = pulse;
    }
    pulses_.resize(kept);
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
            w = coloured_started_ ? a * coloured_ + std::sqrt(1.0 - a * a) * w : w;
            coloured_started_ = true;
            coloured_ = w;
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
        delay_line_.push_back(r);
        if (delay_line_.size() > static_cast<std::size_t>(s.delay) + 1) delay_line_.erase(delay_line_.begin());
        r = delay_line_.front();
    }
    if (dropout_left_ > 0) {
        --dropout_left_;
        return last_output_;
    }
    if (s.dropout_probability > 0.0 && has_output_) {
        draw(core::kPurposeDropout, u);
        if (u[0] < s.dropout_probability) {
            const int span = s.dropout_max - s.dropout_min + 1;
            int length = s.dropout_min + static_cast<int>(u[1] * span);
            if (length > s.dropout_max) length = s.dropout_max;
            dropout_left_ = length - 1;
            return last_output_;
        }
    }
    has_output_ = true;
    last_output_ = r;
    return r;
}

PlantSample PlantModelRun::measure(PlantState& p, const RunConfig& cfg, double v, double t) {
    PlantSample x;
    x.v = v;
    disturbance_ = disturbance_at(cfg, t);
    const double e = measurement_curve(cfg, v) + disturbance_;
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

}  // namespace veltrax
