// SPDX-License-Identifier: LGPL-2.1-or-later
// Disturbances, a sensor, an actuator and changes of the process in time, for
// a call (RunOptions::plant_models) or a plant on its own. None of them set,
// a call gives the same bits as without. Times are the loop's time (the
// set-point schedule's); the order within a sample period is:
//   1. changes of the process due (time <= the period's start), once each,
//      without resetting the state; boluses due add their dose to this
//      period's process input (as a control of that size would);
//   2. the process advances; the measurement curve gives h;
//   3. e = h + the disturbances at the period's start;
//   4. the sensor: e + noise (coloured by the AR(1) filter when a time
//      constant is set) + an artefact, quantised, delayed, held during a
//      dropout, then clamped to [0, 1];
//   5. the controller's control limited to [0, u_max], to the rate limit,
//      quantised (and limited again), then delayed by the dead time.
// Every drawn quantity (drawn pulses, artefacts, dropouts) comes from a
// counter-based stream keyed by (seed, individual, purpose) and counted by
// sample period, so one model's draws never move another's, whatever the
// threads or shards.
#pragma once

#include <cstdint>
#include <limits>
#include <vector>

namespace veltrax {

enum class DisturbanceKind {
    Step,         // amplitude from start, for `duration` (default: to the end)
    Ramp,         // a straight rise over `rise`, then amplitude (for `duration`)
    Pulse,        // amplitude from start for `duration`
    Stimulation,  // rise (default 1), plateau `duration` (default 20), fall (default 10)
    Poisson,      // drawn pulses: see Disturbance
};

// An additive disturbance of the measured effect. Every profile is a
// trapezoid: 0 before `start`, a straight rise to `amplitude` over `rise`,
// `amplitude` for `duration`, a straight fall to 0 over `fall`. Poisson
// pulses start in a sample period whose start lies in [start, end) with
// probability 1 - exp(-rate T) (T the sample period, so at most one per
// period), last `duration` and have an amplitude uniform in [low, high].
struct Disturbance {
    DisturbanceKind kind = DisturbanceKind::Step;
    double start = 0.0;
    double amplitude = 0.0;
    double rise = 0.0;
    double duration = std::numeric_limits<double>::infinity();
    double fall = 0.0;
    double end = std::numeric_limits<double>::infinity();  // Poisson only
    double rate = 0.0;                                     // Poisson: per time unit
    double low = 0.0, high = 0.0;                          // Poisson: amplitude range
};

// The default Stimulation: rise 1, duration 20, fall 10 time units.
Disturbance stimulation(double start, double amplitude);

struct SensorModel {
    // > 0: the noise c(t) = a c(t-1) + sqrt(1 - a^2) w(t), a = exp(-T / time
    // constant), c(0) = w(0), over the white noise w of the settings.
    double time_constant = 0.0;
    double artefact_probability = 0.0;  // per sample period
    double artefact_amplitude = 0.0;    // an artefact adds amplitude (2 U - 1)
    // A dropout starts with this probability per sample period (not in the
    // first one or during a dropout) and repeats the last reading for a
    // length uniform in dropout_min .. dropout_max sample periods.
    double dropout_probability = 0.0;
    int dropout_min = 1, dropout_max = 1;
    int delay = 0;         // sample periods (0 .. 10000); the first reading fills the line
    double quantum = 0.0;  // > 0: readings rounded to the nearest multiple
};

struct Bolus {
    double time = 0.0;
    double dose = 0.0;  // control units x one sample period
};

struct ActuatorModel {
    double rate_limit = 0.0;  // > 0: largest change of the control per time unit
    double quantum = 0.0;     // > 0: controls rounded to the nearest multiple (at most u_max)
    std::vector<Bolus> boluses;
};

// A change of the process at `time`; fields left NaN stay as they are.
// Body values apply to the built-in model, the gain to a transfer function.
struct PlantChange {
    double time = 0.0;
    double cardiac_output = std::numeric_limits<double>::quiet_NaN();         // l/min
    double cardiac_output_factor = std::numeric_limits<double>::quiet_NaN();  // x the call's own
    double body_mass = std::numeric_limits<double>::quiet_NaN();              // kg
    double gain = std::numeric_limits<double>::quiet_NaN();  // x the transfer function's own
};

struct PlantModels {
    std::vector<Disturbance> disturbances;
    SensorModel sensor;
    ActuatorModel actuator;
    std::vector<PlantChange> changes;  // in increasing time
    // Keys of the drawn streams: the master seed and the individual.
    std::uint64_t seed = 1;
    std::uint64_t individual = 0;

    bool empty() const;
};

// Throws Error "veltrax:badPlantModels" naming the first field out of range.
// `builtin_model`: the process of the call (body values or gain).
void check_plant_models(const PlantModels& models, bool builtin_model);

}  // namespace veltrax
