// SPDX-License-Identifier: LGPL-2.1-or-later
// Options of one run. Only the set-point schedule changes results.
#pragma once

#include "driver/setpoint_schedule.hpp"

namespace veltrax::core {
struct PlantModels;
}

namespace veltrax {

// How the control move is searched. Both give the same bits; Literal
// evaluates the cost everywhere the search is written (a reference, about
// four times slower).
enum class SearchMethod { Fast, Literal };

// The widest vector lanes the fast search may use. Every choice gives
// the same bits (benchmarks and tests compare them): Widest runs lock-step
// lanes on the vector power function's path (vpow::pow_path()), Avx2 at most
// AVX2 lanes, Scalar one start after another.
enum class SearchLanes { Widest, Avx2, Scalar };

// Work of the move search, for benchmarks.
struct SearchCounts {
    long evaluations = 0;  // cost evaluations
    long powers = 0;       // power-function calls
};

namespace core {

// How a call runs: threads, hooks and schedule, and the move search's method,
// lanes and work counters, which only benchmarks and tests set.
struct RunOptions {
    // Threads of the move search (at most 64); 0 takes VELTRAX_THREADS, at
    // most the CPUs this process may run on, else those CPUs.
    unsigned threads = 0;
    SearchMethod search = SearchMethod::Fast;
    SearchLanes lanes = SearchLanes::Widest;
    // When set, the search adds its work here (slower).
    SearchCounts* counts = nullptr;
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
    // (driver/plant_models.hpp; not owned; must outlive the call); null: none.
    const PlantModels* plant_models = nullptr;
};

}  // namespace core

}  // namespace veltrax
