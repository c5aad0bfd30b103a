// SPDX-License-Identifier: LGPL-2.1-or-later
// The plant on its own: the process (a transfer function or the built-in
// model), its input delay, the measurement curve and noise, and the loop's
// set-point schedule, stepped one sample period at a time by a caller that
// chooses each control:
//
//   veltrax::Plant plant(settings, 7);   // the settings and seed of Simulation::call
//   double y = plant.measured();         // the first sample's measurement
//   for (double u : controls) y = plant.step(u);
//
// Stepping a plant with the controls a closed-loop call recorded, from the
// same start, seed and schedule, gives that call's measurements bit for bit.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "api/options.hpp"
#include "api/plant_models.hpp"
#include "api/settings.hpp"

namespace veltrax {

class Plant {
public:
    // A plant of these settings (the process, curve, noise, Runge-Kutta
    // steps, dead time and u_max; the controller's fields and `samples` are
    // not read), its noise started from `seed` (1 .. 2147483562, as
    // Simulation::seed_noise; 0: as a plug-in just loaded) and following
    // `schedule` (copied; null: the built-in one). It is made with its first
    // sample period measured. `models` (copied; null or empty: none) adds
    // disturbances, a sensor, an actuator and changes of the process, counted
    // from the plant's first sample period (api/plant_models.hpp). Throws
    // Error as a call rejects the plant's fields (a dead time up to 19),
    // "veltrax:badSeed", "veltrax:badSchedule", "veltrax:badPlantModels".
    explicit Plant(const Settings& settings, long seed = 0, const SetpointSchedule* schedule = nullptr,
                   const PlantModels* models = nullptr);
    Plant(const Plant& other);
    Plant& operator=(const Plant& other);
    Plant(Plant&&) noexcept;
    Plant& operator=(Plant&&) noexcept;
    ~Plant();

    // Back to the plant as made (or with its noise started from `seed`,
    // which later resets keep); returns the first measurement.
    double reset();
    double reset(long seed);

    // Applies `control` in the current sample period (limited to [0, u_max]
    // as the closed loop limits it, then delayed by the dead time), ends it,
    // and advances and measures the next; returns that measurement. Throws
    // Error "veltrax:badControl" for a control that is not finite and then
    // changes nothing.
    double step(double control);

    // The current sample period: its start time, set-point, process output v,
    // measurement y (in [0, 1]), and the control applied in the previous one
    // (0 before the first step).
    double time() const;
    double setpoint() const;
    double process_output() const;
    double measured() const;
    double control() const;
    // The disturbance of the measured effect in the current sample period
    // (0 without plant models).
    double disturbance() const;
    // The loop's sums: squared error, time-weighted absolute error, 60 x the
    // integral of the process input (the plug-ins' fifth output).
    std::array<double, 3> sums() const;
    const Settings& settings() const;

    // The state as bytes of a plant's snapshot (its own format, beside a
    // simulation's): loading it into a Plant continues bit for bit as this one
    // would. load_state throws Error "veltrax:badSnapshot" (also for a
    // simulation's snapshot) and then leaves the plant as it was. The
    // settings, seed and schedule of reset() stay the plant's own. A plant
    // with plant models has no snapshot (Error "veltrax:badPlantModels").
    std::vector<std::uint8_t> save_state() const;
    void load_state(const std::vector<std::uint8_t>& snapshot);
    void load_state(const std::uint8_t* data, std::size_t size);

private:
    friend void step_plants(Plant* const* plants, std::size_t count, const double* controls, double* measured);
    struct State;
    std::unique_ptr<State> state_;
};

// Steps plants[k] with controls[k] and writes its measurement to
// measured[k], for k = 0 .. count - 1, in one call. Checks every control
// first: one that is not finite throws Error "veltrax:badControl" naming its
// index, and no plant moves. The plants must be distinct.
void step_plants(Plant* const* plants, std::size_t count, const double* controls, double* measured);

}  // namespace veltrax
