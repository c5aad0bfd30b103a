// SPDX-License-Identifier: LGPL-2.1-or-later
// A scenario with a population becomes one run per individual: the same
// calls, with the individual's drawn values in their settings.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "api/veltrax.hpp"
#include "experiments/call_setup.hpp"
#include "experiments/population.hpp"

namespace veltrax::experiments {

// Why an individual is not run.
struct IndividualRejection {
    std::size_t call = 0;  // 1-based call whose values the simulation rejects; 0 for the draw itself
    CallError error;       // the simulation's identifier, or "veltrax:badIndividual"
};

struct PopulationRun {
    Individual individual;
    std::vector<CallSetup> calls;  // the scenario's calls with the individual's values
    std::optional<IndividualRejection> rejected;  // not run: reported as a failed run with this error
};

// Throws veltrax::Error "veltrax:badPopulation" when the population draws
// body mass or cardiac output and a call simulates a linear process.
void check_population_fits(const std::vector<CallSetup>& calls, const Population& p);

// The individual's drawn values in the settings, by field: body_mass and
// cardiac_output into the built-in model's, plant_hill_midpoint and
// plant_hill_exponent into the curve's plant_midpoint and plant_exponent,
// dead_time and noise_amplitude into the settings' dead_time and
// noise.amplitude. Values not drawn (NaN) stay. A drawn dead time must lie
// within the 32-bit integer range (expand_individual checks it first).
void apply_individual(Settings& settings, const Individual& ind);

// Individual k as a run: drawn, put into every call, and checked by the
// simulation's own checks (messages name positions for calls that the file
// gives positionally, as the plug-ins do); a drawn curve midpoint or exponent
// must be positive and finite. A call that the simulation rejects before the
// individual's values go in rejects every individual.
PopulationRun expand_individual(const std::vector<CallSetup>& calls, const Population& p, std::uint64_t k);

// The run of an individual whose values are given rather than drawn (NaN
// where `p` draws nothing; a design point's covariates): put into every
// call and checked as expand_individual checks them.
PopulationRun individual_run(const std::vector<CallSetup>& calls, const Population& p, Individual individual);

// The same for calls given as plug-in inputs (params, numerator,
// denominator, curve[, T]); the run's calls hold the individual's inputs.
PopulationRun expand_individual(const std::vector<std::vector<Matrix>>& calls, const Population& p,
                                std::uint64_t k);

// Individuals first .. last (1-based, inclusive), in order; the whole
// population by default.
std::vector<PopulationRun> expand_population(const std::vector<CallSetup>& calls, const Population& p,
                                             std::uint64_t first = 1, std::uint64_t last = 0);

}  // namespace veltrax::experiments
