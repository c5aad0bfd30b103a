// SPDX-License-Identifier: LGPL-2.1-or-later
// Options of a call: threads, progress, cancellation, warnings and a
// set-point schedule of the user's. Only the schedule changes results.
#pragma once

#include <vector>

#include "api/plant_models.hpp"

namespace veltrax {

// One step of a set-point schedule.
struct SetpointStep {
    double time = 0.0;
    double value = 0.0;
    bool after = false;  // the value holds for t > time (else t >= time)
    bool ramp = false;   // from this step, a straight line to the next step's value
};

// Steps in increasing time. Before the first step the set-point stays as it
// was (the base build) and the preview reads the set-point at load, 0.8.
// Without a schedule a call runs the built-in one: 0.95 from t = 100, 0.9
// after 200, 0.95 after 250.
struct SetpointSchedule {
    std::vector<SetpointStep> steps;
};

// The built-in schedule written as steps: 0.95 from 100, 0.9 after 200, 0.95
// after 250. Running it gives the same bits as running without a schedule.
SetpointSchedule builtin_setpoint_schedule();

// Throws Error "veltrax:badSchedule" unless the times are finite and
// increasing (a ramp needs a later step to end at) and the values finite.
void check_setpoint_schedule(const SetpointSchedule& schedule);

// The set-point that the loop holds at time t under `schedule` (null: the
// built-in one): the last step reached, on a ramp the line's value;
// `before` where no step is reached yet.
double setpoint_in_force(const SetpointSchedule* schedule, double t, double before);

struct RunOptions {
    // Threads of the move search (at most 64); 0 takes VELTRAX_THREADS, at
    // most the CPUs this process may run on, else those CPUs. The results do
    // not depend on it.
    unsigned threads = 0;
    // Called on the calling thread after every sample period with the periods
    // done and the total of the call.
    void (*progress)(void* context, long done, long total) = nullptr;
    void* progress_context = nullptr;
    // Asked on the calling thread before every sample period and every few
    // thousand Runge-Kutta steps (the matrix product: between blocks of its
    // sums); true ends the call with the error veltrax:interrupted
    // (matprod:interrupted) and leaves the simulation as it was before it.
    bool (*cancelled)(void* context) = nullptr;
    void* cancel_context = nullptr;
    // Receives warnings (veltrax:badThreadCount) on the calling thread; when
    // unset, the first warning of the process goes to stderr.
    void (*warning)(void* context, const char* id, const char* message) = nullptr;
    void* warning_context = nullptr;
    // A set-point schedule of the user's instead of the built-in one (not
    // owned; must outlive the call).
    const SetpointSchedule* schedule = nullptr;
    // Disturbances, sensor, actuator and changes of the process
    // (api/plant_models.hpp; not owned; must outlive the call); null or
    // empty: none, and the same bits as without.
    const PlantModels* plant_models = nullptr;
};

}  // namespace veltrax
