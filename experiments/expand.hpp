// SPDX-License-Identifier: LGPL-2.1-or-later
// A scenario with a population becomes one run per individual: the same
// calls, with the individual's values put into the inputs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "api/veltrax.hpp"
#include "experiments/population.hpp"

namespace veltrax::experiments {

using CallInputs = std::vector<Matrix>;  // the gateway inputs of one call

struct PopulationRun {
    Individual individual;
    std::vector<CallInputs> calls;  // the scenario's calls with the individual's values
    // Not valid: the individual is reported with this error instead of run.
    bool valid = true;
    std::size_t error_call = 0;  // 1-based call the simulation rejected; 0 for a failed draw
    std::string error_id;        // the simulation's identifier, or "veltrax:badIndividual"
    std::string error_message;
};

// Throws veltrax::Error "veltrax:badPopulation" when the population draws a
// value that a call does not have: body mass or cardiac output for a call of
// a linear process.
void check_population_fits(const std::vector<CallInputs>& calls, const Population& p);

// The calls with the individual's drawn values: body mass and cardiac output
// into numerator elements 1 and 2, the curve's midpoint and exponent into
// curve elements 1 and 3, dead time and noise amplitude into parameters 3
// and 7 of every call. Shapes stay as they are (a 10-column parameter row
// keeps Gaussian noise).
std::vector<CallInputs> apply_individual(const std::vector<CallInputs>& calls, const Individual& ind);

// Individual k as a run: drawn, put into the calls and checked by the
// simulation's own argument checks (each call decoded without sample
// periods), and the curve's midpoint and exponent must be positive and finite.
PopulationRun expand_individual(const std::vector<CallInputs>& calls, const Population& p,
                                std::uint64_t k);

// Individuals first .. last (1-based, inclusive), in order; the whole
// population by default.
std::vector<PopulationRun> expand_population(const std::vector<CallInputs>& calls, const Population& p,
                                             std::uint64_t first = 1, std::uint64_t last = 0);

}  // namespace veltrax::experiments
