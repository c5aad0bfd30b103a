// SPDX-License-Identifier: LGPL-2.1-or-later
// What happens to a plant besides the controller's control: disturbances of
// the measured effect, a sensor (coloured noise, artefacts, dropouts, delay,
// quantisation), an actuator (rate limit, quantisation, boluses) and changes
// of the process in time. Without them (a null RunOptions::plant_models) the
// plant steps exactly as before; PlantModelRun is the state of one call or of
// one plant on its own.
//
// Order within a sample period that starts at time t (the loop's time):
//   1. changes of the process due at t (time <= t, each once), at the sample
//      boundary and without resetting the state; a bolus due at t adds its
//      dose to this sample period's process input;
//   2. the process advances; the measurement curve gives h;
//   3. e = h + the disturbances at t (profiles and drawn pulses);
//   4. the sensor: e + noise (white, or coloured by the AR(1) filter) + an
//      artefact, quantised, delayed, held during a dropout, clamped to [0, 1];
//   5. after the controller: the control limited to [0, u_max], then to the
//      rate limit, then quantised (and limited again), then the dead time.
// Every drawn quantity comes from `draw` keyed by (seed, individual) with the
// model's purpose and the sample's index as counter, so models draw
// independently of each other.
#pragma once

#include <cstdint>
#include <limits>
#include <vector>

#include "driver/plant.hpp"

namespace veltrax {

struct RunConfig;

namespace core {

// Profiles are trapezoids: 0 before `start`, a straight rise to `amplitude`
// over `rise`, `amplitude` for `duration`, a straight fall to 0 over `fall`.
// A step has rise 0 and (by default) no end; a pulse rise 0 and a duration;
// a ramp a rise and no end; a stimulation, by default, rise 1, duration 20
// and fall 10 time units. Drawn pulses (kind Poisson) start at a sample
// period whose start lies in [start, end) with probability 1 - exp(-rate T)
// (T the sample period: at most one per period), last `duration` and have an
// amplitude uniform in [low, high].
enum class DisturbanceKind { Step, Ramp, Pulse, Stimulation, Poisson };

constexpr double kForever = std::numeric_limits<double>::infinity();

struct Disturbance {
    DisturbanceKind kind = DisturbanceKind::Step;
    double start = 0.0;
    double amplitude = 0.0;
    double rise = 0.0;
    double duration = kForever;
    double fall = 0.0;
    // Poisson only.
    double end = kForever;
    double rate = 0.0;  // per time unit
    double low = 0.0, high = 0.0;
};

// Value of a profile (not Poisson) at time t.
double profile_value(const Disturbance& d, double t);

struct SensorModel {
    double ar_time_constant = 0.0;       // > 0: the noise passes an AR(1) filter
    double artefact_probability = 0.0;   // per sample period
    double artefact_amplitude = 0.0;     // an artefact adds amplitude (2 U - 1)
    double dropout_probability = 0.0;    // per sample period, outside a dropout
    int dropout_min = 1, dropout_max = 1;  // length in sample periods, uniform
    int delay = 0;                       // sample periods
    double quantum = 0.0;                // > 0: readings rounded to multiples
};

struct Bolus {
    double time = 0.0;
    double dose = 0.0;  // added to the process input of one sample period
};

struct ActuatorModel {
    double rate_limit = 0.0;  // > 0: largest change of the control per time unit
    double quantum = 0.0;     // > 0: controls rounded to multiples
    std::vector<Bolus> boluses;
};

// A change of the process at `time`; NaN fields stay as they are.
struct PlantChange {
    double time = 0.0;
    double cardiac_output = std::numeric_limits<double>::quiet_NaN();         // l/min
    double cardiac_output_factor = std::numeric_limits<double>::quiet_NaN();  // x the run start's
    double body_mass = std::numeric_limits<double>::quiet_NaN();              // kg
    double gain = std::numeric_limits<double>::quiet_NaN();  // x the transfer function's own gain
};

// Purposes of the draws; a drawn disturbance adds its index in the list.
constexpr std::uint64_t kPurposeArtefact = 1;
constexpr std::uint64_t kPurposeDropout = 2;
constexpr std::uint64_t kPurposeDisturbance = 0x100;

// Four uniforms in (0, 1) for (seed, individual, purpose, counter).
using UniformDraw = void (*)(std::uint64_t seed, std::uint64_t individual, std::uint64_t purpose,
                             std::uint64_t counter, double out[4]);

struct PlantModels {
    std::vector<Disturbance> disturbances;
    SensorModel sensor;
    ActuatorModel actuator;
    std::vector<PlantChange> changes;
    std::uint64_t seed = 0, individual = 0;
    UniformDraw draw = nullptr;
};

// Throws core::Error "veltrax:badPlantModels" naming the first field out of
// range (negative durations, probabilities outside [0, 1], a drawn model
// without `draw`, ...). `linear`: the process is a transfer function (body
// values cannot change), else the built-in model (its gain cannot).
void check_plant_models(const PlantModels& m, bool linear);

}  // namespace core

// The models' state through one call or one plant.
class PlantModelRun {
public:
    PlantModelRun(const core::PlantModels& models, const PlantState& plant, const RunConfig& cfg);

    // Step 1; returns the process input to restore after the advance.
    double before_advance(PlantState& p, const RunConfig& cfg, double t);
    void after_advance(PlantState& p, double input);
    // Steps 3 and 4 for the process output v.
    PlantSample measure(PlantState& p, const RunConfig& cfg, double v, double t);
    // Step 5 before the dead time; `previous` is the control applied before.
    double actuate(const RunConfig& cfg, double u, double previous) const;
    // The end of a sample period.
    void next_sample() { ++sample_; }

    double disturbance() const { return disturbance_; }  // of the last measurement

private:
    double disturbance_at(const RunConfig& cfg, double t);
    double sense(const RunConfig& cfg, PlantState& p, double e, double& noise);
    void apply_change(PlantState& p, const RunConfig& cfg, const core::PlantChange& c);
    void draw(std::uint64_t purpose, double out[4]) const;

    struct Pulse {
        double end, amplitude;
    };
    const core::PlantModels* models_;
    std::uint64_t sample_ = 0;
    std::size_t changes_done_ = 0;
    std::vector<bool> boluses_done_;
    double base_cardiac_output_ = 0.0;
    double base_num_[kMaxCoefficients] = {};
    std::vector<Pulse> pulses_;
    double disturbance_ = 0.0;
    bool coloured_started_ = false;
    double coloured_ = 0.0;
    std::vector<double> delay_line_;  // newest last
    int dropout_left_ = 0;
    bool has_output_ = false;
    double last_output_ = 0.0;
};

}  // namespace veltrax
