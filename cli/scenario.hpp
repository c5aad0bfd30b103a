// SPDX-License-Identifier: LGPL-2.1-or-later
// Scenario files: the gateway calls of one simulation, written as JSON.
//
//   {
//     "build": 2,
//     "params": [300, 0.1, 4, 2, 3, 3, 0, 10, 0.1],
//     "numerator": [1], "denominator": [1, 3, 3, 1],
//     "curve": [0.404, 0.505, 2.98, 4.0],
//     "calls": [{}, {"params": [...], "T": [1, -0.8, 0.16]}],
//     "setpoint": [[0, 0.8], [100, 0.95, "ramp"], [150, 0.9]],
//     "seed": 7,
//     "population": {"size": 100, "seed": 42, "body_mass": {...}}
//   }
//
// Top-level call fields (setpoint too) are defaults that each call may
// override; without "calls" the file is a single call. docs/cli.md describes
// every field.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "api/veltrax.hpp"
#include "experiments/population.hpp"

namespace veltrax::cli {

struct Scenario {
    std::string path;  // as given
    std::string name;  // file name without extension: the result folder in a batch
    Build build = Build::Base;
    std::vector<std::vector<Matrix>> calls;  // gateway inputs of each call, in order
    // Set-point schedule of each call (one per call); none: the built-in one.
    std::vector<std::optional<SetpointSchedule>> schedules;
    long seed = 0;  // noise seed applied before the first call; 0: none
    // Runs one simulation per individual instead of one.
    std::optional<experiments::Population> population;
};

// Reads and checks a scenario file. Problems with the file itself (unreadable,
// not JSON, a field given twice, missing or mistyped fields) throw veltrax::Error with id
// "veltrax:badScenario"; steps out of order "veltrax:badSchedule", a seed out
// of range "veltrax:badSeed", a population out of range or drawing a value no
// call has "veltrax:badPopulation". The call values themselves are left to
// the gateway, so that they are rejected with the plug-ins' identifiers and
// messages.
Scenario load_scenario(const std::string& path);

// The same for scenario text; `path` only names it.
Scenario parse_scenario(const std::string& text, const std::string& path);

}  // namespace veltrax::cli
