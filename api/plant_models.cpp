// SPDX-License-Identifier: LGPL-2.1-or-later
#include "api/plant_models.hpp"

#include <Random123/philox.h>

#include "api/errors.hpp"
#include "api/internal.hpp"
#include "driver/plant_models.hpp"

namespace veltrax {

namespace {

// Philox4x64 with key (seed, individual) and counter (sample, purpose, 1, 0):
// the population's draws have 0 in the third word, so the streams never meet.
void philox_uniforms(std::uint64_t seed, std::uint64_t individual, std::uint64_t purpose, std::uint64_t counter,
                     double out[4]) {
    r123::Philox4x64 rng;
    const r123::Philox4x64::key_type key = {{seed, individual}};
    const r123::Philox4x64::ctr_type ctr = {{counter, purpose, 1, 0}};
    const r123::Philox4x64::ctr_type r = rng(ctr, key);
    // The top 52 bits, centred in their interval: never 0 or 1.
    for (int k = 0; k < 4; ++k) out[k] = (static_cast<double>(r.v[k] >> 12) + 0.5) * 0x1p-52;
}

core::DisturbanceKind core_kind(DisturbanceKind k) {
    return static_cast<core::DisturbanceKind>(static_cast<int>(k));
}

}  // namespace

Disturbance stimulation(double start, double amplitude) {
    Disturbance d;
    d.kind = DisturbanceKind::Stimulation;
    d.start = start;
    d.amplitude = amplitude;
    d.rise = 1.0;
    d.duration = 20.0;
    d.fall = 10.0;
    return d;
}

bool PlantModels::empty() const {
    const SensorModel none;
    return disturbances.empty() && changes.empty() && actuator.boluses.empty() && actuator.rate_limit == 0.0 &&
           actuator.quantum == 0.0 && sensor.time_constant == none.time_constant &&
           sensor.artefact_probability == 0.0 && sensor.dropout_probability == 0.0 && sensor.delay == 0 &&
           sensor.quantum == 0.0;
}

core::PlantModels core_plant_models(const PlantModels& m) {
    core::PlantModels c;
    for (const Disturbance& d : m.disturbances)
        c.disturbances.push_back({core_kind(d.kind), d.start, d.amplitude, d.rise, d.duration, d.fall, d.end, d.rate,
                                  d.low, d.high});
    const SensorModel& s = m.sensor;
    c.sensor = {s.time_constant, s.artefact_probability, s.artefact_amplitude, s.dropout_probability,
                s.dropout_min,   s.dropout_max,          s.delay,              s.quantum};
    c.actuator.rate_limit = m.actuator.rate_limit;
    c.actuator.quantum = m.actuator.quantum;
    for (const Bolus& b : m.actuator.boluses) c.actuator.boluses.push_back({b.time, b.dose});
    for (const PlantChange& x : m.changes)
        c.changes.push_back({x.time, x.cardiac_output, x.cardiac_output_factor, x.body_mass, x.gain});
    c.seed = m.seed;
    c.individual = m.individual;
    c.draw = philox_uniforms;
    return c;
}

void check_plant_models(const PlantModels& models, bool builtin_model) {
    try {
        core::check_plant_models(core_plant_models(models), !builtin_model);
    } catch (const core::Error& e) {
        throw Error(e.id(), e.what());
    }
}

}  // namespace veltrax
