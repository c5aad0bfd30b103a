// SPDX-License-Identifier: LGPL-2.1-or-later
// Names and attributes of the shard files' dimensions and variables, shared
// by the store's writer and reader. For netcdf_*.cpp only.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "experiments/netcdf_file.hpp"
#include "experiments/scenario.hpp"
#include "experiments/sweep.hpp"

namespace veltrax::experiments::netcdf_layout {

// Status of a run row.
constexpr signed char kNotStored = 0, kOk = 1, kFailed = 2;

// Per run, written when the file is made: which run the row holds.
inline const char* const kScenario = "scenario";
inline const char* const kIndividual = "individual";
inline const char* const kComplete = "complete";

// Per run, integer and text variables besides the numeric columns of
// sweep.csv (run_columns()).
inline const char* const kStatus = "status";
inline const char* const kSeed = "seed";
inline const char* const kPopulationSeed = "population_seed";
inline const char* const kCalls = "calls";
inline const char* const kErrorCall = "error_call";
inline const char* const kErrorId = "error_id";
inline const char* const kErrorMessage = "error_message";
inline const char* const kController = "controller";

// The sizes of the dimensions of one file.
struct Sizes {
    std::size_t runs = 0, calls = 1, samples = 1, estimates = 1, coefficients = 1;
    std::size_t scenarios = 0;
};

// The sizes the runs of these scenarios need.
Sizes sizes_of(const std::vector<const Scenario*>& scenarios, std::size_t runs);

// The global attribute "scenarios": a JSON array of {name, path,
// description, build, seed, source} in the manifest's order.
std::string scenarios_attribute(const std::vector<const Scenario*>& scenarios);

// What a reader or a resuming writer compares of two "scenarios"
// attributes: names and file texts (not paths); the first scenario whose
// text differs, or "" when they agree. Throws veltrax::Error
// "veltrax:badStore" (naming `file`) for an attribute that is not such JSON.
std::string differing_scenario(const std::string& a, const std::string& b, const std::string& file);

// Defines every dimension, variable and attribute of a new file.
void define_layout(NetcdfFile& file, const Sizes& sizes, const std::vector<const Scenario*>& scenarios,
                   const SweepManifest& manifest, Shard shard);

// A value of a numeric column of sweep.csv; the fill value for "".
double column_value(const std::string& field);
// The field of a stored value: "" for the fill value.
std::string column_field(double value);

// Checks that `file` is a shard file of this tool's layout (attribute
// veltrax_store = kStoreVersion and the variables of the layout); throws
// veltrax::Error "veltrax:badStore" naming what is wrong.
void check_layout(const NetcdfFile& file);

}  // namespace veltrax::experiments::netcdf_layout
