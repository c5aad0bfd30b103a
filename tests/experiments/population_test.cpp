// SPDX-License-Identifier: LGPL-2.1-or-later
// Populations: the draws, their independence of everything but (seed, k),
// truncation, correlation, the JSON block and the expansion into runs.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "experiments/expand.hpp"
#include "experiments/normal.hpp"
#include "experiments/population.hpp"
#include "experiments/strict_json.hpp"

using namespace veltrax;
using namespace veltrax::experiments;

namespace {

Population parse(const std::string& text) { return parse_population(parse_json_strict(text)); }

const char* kBlock = R"({"size": 2000, "seed": 42,
  "body_mass": {"dist": "normal", "mean": 70, "sd": 12, "min": 40, "max": 130},
  "cardiac_output": {"dist": "lognormal", "median": 6.5, "sigma": 0.15},
  "plant_hill_midpoint": {"dist": "uniform", "low": 40, "high": 60},
  "dead_time": {"dist": "uniform", "low": 0.5, "high": 3.5},
  "correlation": {"body_mass,cardiac_output": 0.6}})";

double value(const Individual& ind, Covariate c) { return ind.values[static_cast<int>(c)]; }

// The same bits, NaN for covariates not drawn included.
bool same(const Individual& a, const Individual& b) {
    return std::memcmp(a.values.data(), b.values.data(), sizeof a.values) == 0;
}

std::vector<Matrix> model_call() {
    return {Matrix::row({20, 0.1, 2, 0, 3, 3, 0.005, 10, 0.1}), Matrix::row({70, 6.48}), Matrix(1, 0),
            Matrix::row({50, 0.505, 2.98, 4.0})};
}

}  // namespace

TEST(Population, NormalQuantileMatchesReferenceValues) {
    EXPECT_NEAR(normal_quantile(0.975), 1.959963984540054, 2e-9);
    EXPECT_NEAR(normal_quantile(0.001), -3.090232306167814, 4e-9);
    EXPECT_NEAR(normal_quantile(0.8413447460685429), 1.0, 2e-9);
    EXPECT_NEAR(normal_quantile(1e-12), -7.034483825230943, 1e-7);
    EXPECT_EQ(normal_quantile(0.5), 0.0);
    EXPECT_TRUE(std::isnan(normal_quantile(0.0)));
}

TEST(Population, IndividualDependsOnlyOnSeedAndIndex) {
    Population p = parse(kBlock);
    const Individual a = draw_individual(p, 7);
    Population small = p;
    small.size = 7;
    const Individual b = draw_individual(small, 7);
    EXPECT_TRUE(same(a, b));
    // Recorded once: the draws of (seed 42, individual 7) stay these bits.
    EXPECT_EQ(value(a, Covariate::body_mass), 0x1.da94f3e3055d4p+5);
    EXPECT_EQ(value(a, Covariate::cardiac_output), 0x1.86c87c8f01b6cp+2);
    EXPECT_EQ(value(a, Covariate::plant_hill_midpoint), 0x1.516a0d3b2cf0ep+5);
    EXPECT_EQ(value(a, Covariate::dead_time), 3.0);
    EXPECT_TRUE(std::isnan(value(a, Covariate::noise_amplitude)));

    p.seed = 43;
    EXPECT_NE(value(draw_individual(p, 7), Covariate::body_mass), value(a, Covariate::body_mass));
    EXPECT_NE(value(draw_individual(small, 6), Covariate::body_mass), value(a, Covariate::body_mass));
}

TEST(Population, DrawsFollowTheirDistributionsBoundsAndCorrelation) {
    const Population p = parse(kBlock);
    const std::size_t n = p.size;
    std::vector<double> mass, log_co, mid, dead;
    for (std::uint64_t k = 1; k <= n; ++k) {
        const Individual ind = draw_individual(p, k);
        ASSERT_TRUE(ind.valid) << ind.reason;
        mass.push_back(value(ind, Covariate::body_mass));
        log_co.push_back(std::log(value(ind, Covariate::cardiac_output)));
        mid.push_back(value(ind, Covariate::plant_hill_midpoint));
        dead.push_back(value(ind, Covariate::dead_time));
    }
    auto mean = [](const std::vector<double>& v) {
        double s = 0;
        for (double x : v) s += x;
        return s / static_cast<double>(v.size());
    };
    auto sd = [&](const std::vector<double>& v) {
        const double m = mean(v);
        double s = 0;
        for (double x : v) s += (x - m) * (x - m);
        return std::sqrt(s / static_cast<double>(v.size() - 1));
    };
    EXPECT_NEAR(mean(mass), 70.0, 1.0);
    EXPECT_NEAR(sd(mass), 12.0, 1.0);
    EXPECT_NEAR(mean(log_co), std::log(6.5), 0.01);
    EXPECT_NEAR(sd(log_co), 0.15, 0.01);
    EXPECT_NEAR(mean(mid), 50.0, 0.5);
    double cov = 0;
    for (std::size_t i = 0; i < n; ++i) cov += (mass[i] - mean(mass)) * (log_co[i] - mean(log_co));
    EXPECT_NEAR(cov / static_cast<double>(n - 1) / (sd(mass) * sd(log_co)), 0.6, 0.05);
    std::size_t counts[5] = {};
    for (std::size_t i = 0; i < n; ++i) {
        EXPECT_GE(mass[i], 40.0);
        EXPECT_LE(mass[i], 130.0);
        EXPECT_GE(mid[i], 40.0);
        EXPECT_LT(mid[i], 60.0);
        ASSERT_EQ(dead[i], std::round(dead[i]));
        ASSERT_TRUE(dead[i] >= 0 && dead[i] <= 4);
        ++counts[static_cast<int>(dead[i])];
    }
    // Rounded from uniform(0.5, 3.5): 1, 2 and 3 about equally often, never 0 or 4.
    EXPECT_EQ(counts[0] + counts[4], 0u);
    for (int d = 1; d <= 3; ++d) EXPECT_NEAR(static_cast<double>(counts[d]) / n, 1.0 / 3.0, 0.04);
}

TEST(Population, BoundsThatNoDrawMeetsMakeTheIndividualInvalid) {
    Population p = parse(R"({"size": 3, "seed": 1,
        "body_mass": {"dist": "normal", "mean": 70, "sd": 1, "min": 100},
        "noise_amplitude": {"dist": "uniform", "low": 0, "high": 0.01}})");
    const Individual ind = draw_individual(p, 2);
    EXPECT_FALSE(ind.valid);
    EXPECT_EQ(ind.reason, "no draw of body_mass within [100, inf] in 100 attempts");
    // The covariate without bounds is still drawn on its own.
    EXPECT_FALSE(std::isnan(value(ind, Covariate::noise_amplitude)));
    EXPECT_THROW(draw_individual(p, 4), Error);
}

TEST(Population, BadBlocksAreRejectedWithIdentifierAndPlace) {
    struct Case {
        const char* text;
        const char* id;
        const char* message;
    };
    const Case cases[] = {
        {R"({"size": 10, "seed": 1, "body_mass": {"dist": "normal", "mean": 70, "sd": 1, "sd": 2}})",
         "veltrax:badScenario", "'body_mass': field 'sd' given twice"},
        {R"({"size": 10, "seed": 1, "bodymass": {}})", "veltrax:badScenario", "unknown field 'bodymass'"},
        {R"({"size": 10, "seed": 1, "dead_time": {"dist": "normal", "mean": 2, "sigma": 1}})", "veltrax:badScenario",
         "population.dead_time: unknown field 'sigma'"},
        {R"({"size": 10, "seed": 1, "dead_time": {"dist": "poisson"}})", "veltrax:badScenario",
         "population.dead_time.dist must be \"normal\", \"lognormal\" or \"uniform\""},
        {R"({"size": 10, "seed": 1, "body_mass": {"dist": "normal", "mean": "70", "sd": 1}})",
         "veltrax:badScenario", "population.body_mass.mean must be a number, got a string"},
        {R"({"size": 10})", "veltrax:badScenario", "population needs 'seed'"},
        {R"({"size": 10, "seed": 0})", "veltrax:badPopulation", "population.seed must be a positive integer, got 0"},
        {R"({"size": 2.5, "seed": 3})", "veltrax:badPopulation", "population.size must be a positive integer, got 2.5"},
        {R"({"size": 10, "seed": 1, "cardiac_output": {"dist": "lognormal", "median": -1, "sigma": 1}})",
         "veltrax:badPopulation", "cardiac_output: median must be positive and finite, got -1"},
        {R"({"size": 10, "seed": 1, "body_mass": {"dist": "uniform", "low": 1, "high": 2, "min": 3, "max": 2}})",
         "veltrax:badPopulation", "body_mass: min must not exceed max, got [3, 2]"},
        {R"({"size": 10, "seed": 1, "body_mass": {"dist": "normal", "mean": 70, "sd": 1},
            "dead_time": {"dist": "uniform", "low": 1, "high": 2}, "correlation": {"body_mass,dead_time": 0.5}})",
         "veltrax:badPopulation", "dead_time is uniform; correlations apply to normal and lognormal covariates"},
        {R"({"size": 10, "seed": 1, "body_mass": {"dist": "normal", "mean": 70, "sd": 1},
            "cardiac_output": {"dist": "normal", "mean": 6, "sd": 1},
            "correlation": {"body_mass,cardiac_output": 0.5, "cardiac_output, body_mass": 0.5}})",
         "veltrax:badScenario", "the pair 'cardiac_output, body_mass' is given twice"},
        {R"({"size": 10, "seed": 1, "body_mass": {"dist": "normal", "mean": 70, "sd": 1},
            "cardiac_output": {"dist": "normal", "mean": 6, "sd": 1},
            "noise_amplitude": {"dist": "lognormal", "median": 0.01, "sigma": 1},
            "correlation": {"body_mass,cardiac_output": 0.9, "body_mass,noise_amplitude": 0.9,
                            "cardiac_output,noise_amplitude": -0.9}})",
         "veltrax:badPopulation", "is not positive definite"},
    };
    for (const Case& c : cases) {
        try {
            parse(c.text);
            ADD_FAILURE() << "accepted: " << c.text;
        } catch (const Error& e) {
            EXPECT_EQ(e.id(), c.id) << c.text;
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
        }
    }
}

TEST(Population, JsonBlockReadsBackTheSame) {
    const Population p = parse(kBlock);
    const Population q = parse(population_json(p).dump());
    for (std::uint64_t k : {1u, 500u, 2000u}) EXPECT_TRUE(same(draw_individual(p, k), draw_individual(q, k)));
}

TEST(Expand, IndividualsGoIntoEveryCallOrAreReportedInvalid) {
    const std::vector<CallSetup> calls = {call_setup_of_inputs(model_call()), call_setup_of_inputs(model_call())};
    Population p = parse(R"({"size": 40, "seed": 5,
        "body_mass": {"dist": "normal", "mean": 40, "sd": 20, "min": 1},
        "cardiac_output": {"dist": "uniform", "low": 4, "high": 60},
        "plant_hill_midpoint": {"dist": "normal", "mean": 50, "sd": 30},
        "plant_hill_exponent": {"dist": "uniform", "low": 2, "high": 4},
        "dead_time": {"dist": "uniform", "low": -0.4, "high": 8.4}})");
    const std::vector<PopulationRun> runs = expand_population(calls, p);
    ASSERT_EQ(runs.size(), 40u);
    std::size_t dead_time_rejected = 0, model_rejected = 0, curve_rejected = 0, valid = 0;
    for (const PopulationRun& r : runs) {
        const Individual& ind = r.individual;
        for (const CallSetup& call : r.calls) {
            const std::vector<Matrix>& in = call.inputs;  // as summary.json shows them
            EXPECT_EQ(in[0].data[2], value(ind, Covariate::dead_time));
            EXPECT_EQ(in[1].data[0], value(ind, Covariate::body_mass));
            EXPECT_EQ(in[1].data[1], value(ind, Covariate::cardiac_output));
            EXPECT_EQ(in[3].data[2], value(ind, Covariate::plant_hill_exponent));
            EXPECT_EQ(in[3].data[0], value(ind, Covariate::plant_hill_midpoint));
            EXPECT_EQ(in[3].data[1], 0.505);
        }
        if (!r.rejected) {
            ++valid;
            const Settings& s = r.calls[1].settings;  // what runs
            EXPECT_EQ(s.dead_time, value(ind, Covariate::dead_time));
            EXPECT_EQ(std::get<BodyModel>(s.process).cardiac_output, value(ind, Covariate::cardiac_output));
            EXPECT_EQ(s.curve.plant_midpoint, value(ind, Covariate::plant_hill_midpoint));
            continue;
        }
        const std::string& id = r.rejected->error.id;
        if (id == "veltrax:badIndividual") {
            ++curve_rejected;
            EXPECT_LE(value(ind, Covariate::plant_hill_midpoint), 0.0);
            EXPECT_EQ(r.rejected->call, 0u);
            continue;
        }
        // Rejected by the simulation's own checks, in call 1, never redrawn.
        EXPECT_EQ(r.rejected->call, 1u);
        if (id == "veltrax:badDeadTime") ++dead_time_rejected;
        if (id == "veltrax:badModelParameters") ++model_rejected;
    }
    EXPECT_GT(valid, 0u);
    EXPECT_GT(dead_time_rejected, 0u);  // d + nb > 9 for d = 7, 8
    EXPECT_GT(model_rejected, 0u);      // a large cardiac output needs an integration step below 1 s
    EXPECT_GT(curve_rejected, 0u);      // a midpoint drawn below 0
    const PopulationRun one = expand_individual(calls, p, 17);
    EXPECT_TRUE(same(one.individual, runs[16].individual));
    EXPECT_EQ(one.rejected.has_value(), runs[16].rejected.has_value());

    const std::vector<CallSetup> linear = {call_setup_of_inputs(
        {Matrix::row({20, 0.1, 2, 0, 3, 3, 0, 10, 0.1}), Matrix::row({1}), Matrix::row({1, 3, 3, 1}),
         Matrix::row({0.404, 0.505, 2.98, 4.0})})};
    try {
        expand_population(linear, p);
        ADD_FAILURE() << "body mass drawn for a linear process";
    } catch (const Error& e) {
        EXPECT_EQ(e.id(), "veltrax:badPopulation");
    }
}
