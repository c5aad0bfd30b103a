// SPDX-License-Identifier: LGPL-2.1-or-later
// The runs of a scenario with a sensitivity design: run k is the scenario
// file with the values of design point k in their places.
#pragma once

#include <cstdint>

#include "experiments/design.hpp"
#include "experiments/population.hpp"
#include "experiments/runner.hpp"
#include "experiments/scenario.hpp"

namespace veltrax::experiments {

// The population that a design's covariate inputs (population.NAME) stand
// for: those covariates marked as drawn, the design's runs as its size and
// the design's seed as its seed. Nothing is drawn from it.
Population design_covariates(const Design& design);

// Checks a design against its scenario: each input names a number that the
// file holds (not in build, seed, population, sensitivity or tune), its
// covariates fit the calls, its call exists. Throws veltrax::Error
// "veltrax:badDesign" naming the input ("veltrax:badPopulation" for body
// mass or cardiac output of a linear process).
void check_design_fits(const Scenario& scenario);

// Run k (1 .. runs) of a scenario with a design: its file with point k's
// values in place, read again, and the covariates put into every call as a
// population's individual's. Values that the file or the simulation rejects
// make the run rejected, reported as a failed run. Throws veltrax::Error
// "veltrax:badArguments" for k outside 1 .. runs.
PlannedRun plan_design_run(const Scenario& scenario, std::uint64_t k);

}  // namespace veltrax::experiments
