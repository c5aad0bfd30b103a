// SPDX-License-Identifier: LGPL-2.1-or-later
// Virtual populations: distributions of the built-in model's body mass and
// cardiac output, the simulated curve's midpoint and exponent, the dead time
// and the noise amplitude, with correlations among the normal and log-normal
// ones. Individual k is drawn from a counter-based generator keyed by
// (seed, k), so its values depend on nothing else: not on the population
// size, the other individuals, the thread count or the shard.
#pragma once

#include <array>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace veltrax::experiments {

// The values a population draws, and the fields of the settings they go
// into (experiments/expand.hpp).
enum class Covariate : int {
    body_mass = 0,            // process.body_mass of the built-in model (kg)
    cardiac_output,           // process.cardiac_output of the built-in model (l/min)
    plant_hill_midpoint,      // curve.plant_midpoint
    plant_hill_exponent,      // curve.plant_exponent
    dead_time,                // settings.dead_time, rounded to an integer
    noise_amplitude,          // settings.noise.amplitude
};
constexpr int kCovariates = 6;

// "body_mass", "cardiac_output", ... as in scenario files.
const char* covariate_name(Covariate c);
inline const char* covariate_name(int c) { return covariate_name(static_cast<Covariate>(c)); }

struct Distribution {
    enum class Kind { none, normal, lognormal, uniform };
    Kind kind = Kind::none;  // none: not drawn, the scenario's value stays
    double mean = 0.0, sd = 0.0;         // normal: mean + sd Z
    double median = 0.0, sigma = 0.0;    // lognormal: median exp(sigma Z); sigma is the sd of the log
    double low = 0.0, high = 0.0;        // uniform: low + (high - low) U
    // Truncation, inclusive; a draw outside is drawn again (see draw_individual).
    double min = -std::numeric_limits<double>::infinity();
    double max = std::numeric_limits<double>::infinity();
};

// A covariate that sets a plant-model parameter, named by its place in the
// scenario file as a sensitivity input names it ("disturbances[0].amplitude",
// "sensor.delay", ...; experiments/named_input.hpp). Drawn on its own,
// uncorrelated, from a stream of its own, so that it changes no other draw.
struct PlantCovariate {
    std::string name;
    Distribution dist;
};

struct Population {
    std::uint64_t size = 0;  // individuals 1 .. size
    std::uint64_t seed = 0;  // master seed, >= 1
    std::array<Distribution, kCovariates> covariates{};
    std::vector<PlantCovariate> plant;  // in the order of their names
    // Correlation of the normal and log-normal covariates (of the log for
    // log-normal ones); identity where not given.
    std::array<std::array<double, kCovariates>, kCovariates> correlation{};

    Population();
    const Distribution& operator[](Covariate c) const { return covariates[static_cast<int>(c)]; }
    Distribution& operator[](Covariate c) { return covariates[static_cast<int>(c)]; }
    bool draws(Covariate c) const { return (*this)[c].kind != Distribution::Kind::none; }
};

// Individuals of a population at most.
constexpr std::uint64_t kMaxPopulationSize = 10000000;

// Attempts per individual before a truncated draw is given up.
constexpr int kMaxDrawAttempts = 100;

struct Individual {
    std::uint64_t index = 0;
    std::array<double, kCovariates> values{};  // NaN where the population draws nothing
    std::vector<double> plant;                 // one per plant covariate, NaN when not drawn
    bool valid = true;
    std::string reason;  // why not valid
};

// Checks the distributions and the correlation matrix; throws veltrax::Error
// "veltrax:badPopulation" naming the problem (also a correlation matrix that
// is not positive definite).
void check_population(const Population& p);

// Individual k (1 .. size). Attempt a = 0, 1, ... draws one uniform per
// covariate from Philox4x64 with key (seed, k) and counter (a, 0|1, 0, 0);
// the normals come from the normal quantile and are correlated through the
// Cholesky factor of the correlation matrix. Covariates tied by correlation
// are accepted together, the others each on their own: each takes the first
// attempt whose values lie within the bounds. After kMaxDrawAttempts the
// individual is invalid, with the reason. Plant covariate i draws attempt a
// from counter (a, 2, i, 0) alone, with its own bounds. Throws "veltrax:badPopulation" for
// k outside 1 .. size or a population that check_population rejects.
Individual draw_individual(const Population& p, std::uint64_t k);

// Whether a key of the population block names a plant-model parameter: a
// path into disturbances, sensor, actuator or changes.
bool plant_covariate_key(const std::string& key);

// The population block of a scenario (docs/experiments.md). `where` names it
// in messages. Throws veltrax::Error "veltrax:badScenario" for unknown or
// mistyped fields and "veltrax:badPopulation" for values out of range.
Population parse_population(const nlohmann::json& block, const std::string& where = "population");

// The population as a JSON block that parse_population reads back.
nlohmann::ordered_json population_json(const Population& p);

}  // namespace veltrax::experiments
