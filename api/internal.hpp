// SPDX-License-Identifier: LGPL-2.1-or-later
// What this project's own tests, benchmarks and fuzz targets reach beyond the
// public interface: the core record of a Simulation, the core's counterparts
// of the public build and options, and calls with the move search's knobs
// (method, lanes, work counters). Not installed.
#pragma once

#include <vector>

#include "api/veltrax.hpp"
#include "driver/build.hpp"
#include "driver/errors.hpp"
#include "driver/plant_models.hpp"
#include "driver/run_options.hpp"
#include "driver/simulation.hpp"

namespace veltrax {

struct SimulationAccess {
    static SimulationState& state(Simulation& sim);
    static const SimulationState& state(const Simulation& sim);
};

// The core record of a simulation.
inline SimulationState& state_of(Simulation& sim) { return SimulationAccess::state(sim); }
inline const SimulationState& state_of(const Simulation& sim) { return SimulationAccess::state(sim); }

core::Build core_build(Build build);

// What the core's options point to.
struct CoreOptionData {
    core::SetpointSchedule schedule;
    core::PlantModels models;
};

// The core's options for public ones; a schedule and plant models are copied
// into `data`, which the result points to. Plant models that are set and not
// empty are checked for the process (`linear`: a transfer function).
core::RunOptions core_options(const RunOptions& options, CoreOptionData& data, bool linear = true);

// The core's plant models of public ones, drawing from Philox streams.
core::PlantModels core_plant_models(const PlantModels& models);

// Simulation::call with the core's options.
std::vector<Matrix> call_with_core_options(Simulation& sim, const std::vector<Matrix>& inputs, int outputs,
                                           const core::RunOptions& options);

}  // namespace veltrax
