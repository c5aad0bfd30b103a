// SPDX-License-Identifier: LGPL-2.1-or-later
// Scenario files in the named form, the positional one and both mixed: one
// call, the same settings; rejected values fail their call by field name.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "experiments/run_folder.hpp"
#include "experiments/runner.hpp"
#include "experiments/scenario.hpp"

using namespace veltrax;
using namespace veltrax::experiments;

namespace {

const char* kNamed = R"({"build": 2,
  "settings": {"samples": 40, "control_weight": 0.1, "dead_time": 3, "u_max": 2, "a_order": 3, "b_order": 2,
               "noise": {"kind": "gaussian", "amplitude": 0.01}, "rk4_steps": 10, "rk4_step": 0.1},
  "process": {"numerator": [1], "denominator": [1, 3, 3, 1]},
  "curve": {"plant_midpoint": 0.404, "midpoint": 0.505, "plant_exponent": 2.98, "exponent": 4},
  "observer": [1, -0.8, 0.16],
  "calls": [{}, {"settings": {"control_weight": 0.3, "noise": {"amplitude": 0.02}}},
            {"params": [40, 0.1, 3, 2, 3, 2, 0.01, 10.7, 0.1], "curve": [0.404, 0.505, 2.98, 4]}]})";

const char* kPositional = R"({"build": 2, "params": [40, 0.1, 3, 2, 3, 2, 0.01, 10, 0.1, 0],
  "numerator": [1], "denominator": [1, 3, 3, 1], "curve": [0.404, 0.505, 2.98, 4], "T": [1, -0.8, 0.16]})";

bool same_bits(const std::vector<Matrix>& a, const std::vector<Matrix>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (a[i].rows != b[i].rows || a[i].cols != b[i].cols ||
            std::memcmp(a[i].data.data(), b[i].data.data(), a[i].numel() * sizeof(double)) != 0)
            return false;
    return true;
}

}  // namespace

TEST(Scenario, NamedAndPositionalPartsDescribeTheSameCall) {
    const Scenario named = parse_scenario(kNamed, "dir/sweep_a.json");
    const Scenario positional = parse_scenario(kPositional, "b.json");
    EXPECT_EQ(named.name, "sweep_a");
    ASSERT_EQ(named.calls.size(), 3u);
    // Call 1 runs, and shows, what the positional file gives.
    EXPECT_TRUE(same_bits(named.calls[0].inputs, positional.calls[0].inputs));
    EXPECT_TRUE(same_bits(inputs_of(named.calls[0].settings), inputs_of(positional.calls[0].settings)));
    EXPECT_FALSE(named.calls[0].given_positionally);
    // Call 2 refines the inherited settings field by field, noise included.
    const Settings& two = named.calls[1].settings;
    EXPECT_EQ(two.control_weight, 0.3);
    EXPECT_EQ(two.noise.kind, NoiseKind::Gaussian);
    EXPECT_EQ(two.noise.amplitude, 0.02);
    EXPECT_EQ(two.dead_time, 3);
    // Call 3 replaces them positionally: truncated steps, uniform noise; the
    // file's own numbers are what it shows, the inherited filter stays.
    const CallSetup& three = named.calls[2];
    EXPECT_TRUE(three.given_positionally);
    EXPECT_FALSE(three.rejected);
    EXPECT_EQ(three.settings.rk4_steps, 10);
    EXPECT_EQ(three.settings.noise.kind, NoiseKind::Uniform);
    EXPECT_EQ(three.inputs[0].data[7], 10.7);
    EXPECT_EQ(three.settings.observer[1], -0.8);
}

TEST(Scenario, ValuesTheSimulationRejectsFailTheirCallByName) {
    std::string text = kNamed;
    text.replace(text.find(R"("control_weight": 0.3)"), 21, R"("dead_time": -1)");
    const Scenario s = parse_scenario(text, "a.json");
    EXPECT_FALSE(s.calls[0].rejected);
    ASSERT_TRUE(s.calls[1].rejected);
    EXPECT_EQ(s.calls[1].rejected->id, "veltrax:badDeadTime");
    EXPECT_EQ(s.calls[1].rejected->message, "settings.dead_time must not be negative, got -1");
    text = kPositional;
    text.replace(text.find("[40, 0.1, 3"), 11, "[40, 0.1, -1");
    const Scenario p = parse_scenario(text, "b.json");
    ASSERT_TRUE(p.calls[0].rejected);
    EXPECT_EQ(p.calls[0].rejected->message, "dead time (parameter 3) must not be negative, got -1");
}

// Controllers by kind: a comparison expands to a scenario per controller;
// bad controller blocks are refused naming the block.
TEST(Scenario, ControllersCompareAndAreChecked) {
    const std::string body =
        R"("params": [5, 0.1, 3, 2, 3, 2, 0, 10, 0.1], "numerator": [1], "denominator": [1, 3, 3, 1], "curve": [1, 1, 2, 2])";
    const Scenario s = parse_scenario(
        "{" + body + R"(, "controllers": [{"kind": "adaptive", "build": 3}, {"kind": "pid", "kp": 0.5, "ki": 0.1}]})",
        "dir/cmp.json");
    EXPECT_EQ(s.runs(), 2u);
    const std::vector<Scenario> runs = expand_comparisons({s});
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[0].name, "cmp@veltrax3");
    EXPECT_EQ(runs[0].build, Build::PreviewHold);
    EXPECT_EQ(runs[1].name, "cmp@pid");
    EXPECT_EQ(runs[1].compared, (std::vector<std::string>{"veltrax3", "pid"}));
    EXPECT_THROW(plan_run(s, 0), Error);  // a comparison runs as a sweep
    const std::vector<std::pair<std::string, std::string>> bad = {
        {R"("controller": {"kind": "pid"}, "controllers": [{"kind": "pid"}])", "not both"},
        {R"("controller": {"kind": "lqr"})", "'kind' must be"},
        {R"("controller": {"kind": "pid", "kq": 1})", "kq"},
        {R"("controller": {"kind": "pid", "kd": -1, "filter_time": -2})", "pid.filter_time"},
        {R"("controllers": [{"kind": "pid"}, {"kind": "pid", "kp": 2}])", "another controller is named 'pid'"},
        {R"("controllers": [{"kind": "pid", "name": "a/b"}])", "'name' must be"},
    };
    for (const auto& [fields, text] : bad) {
        try {
            parse_scenario("{" + body + ", " + fields + "}", "x.json");
            ADD_FAILURE() << fields;
        } catch (const Error& e) {
            EXPECT_NE(std::string(e.what()).find(text), std::string::npos) << e.what();
        }
    }
}

// The plant-model blocks: read, keyed by the population's seed and the
// individual, acting on the run and its metrics; mistakes refused by name.
TEST(Scenario, PlantModelsAreReadKeyedAndChecked) {
    const std::string body = R"("build": 2, "params": [30, 0.1, 2, 2, 3, 3, 0.003, 10, 0.1, 0],
        "model": {"body_mass": 70, "cardiac_output": 6.48}, "curve": [50, 0.505, 2.98, 4], "seed": 7)";
    const std::string models = R"(, "disturbances": [{"kind": "stimulation", "start": 10, "amplitude": 0.08},
        {"kind": "poisson", "start": 0, "end": 30, "rate": 0.1, "duration": 2, "low": 0.01, "high": 0.02}],
        "sensor": {"time_constant": 3, "dropout_probability": 0.05, "dropout_min": 2},
        "actuator": {"rate_limit": 0.5, "boluses": [{"time": 5, "dose": 1}]},
        "changes": [{"time": 20, "cardiac_output_factor": 0.7}],
        "population": {"size": 3, "seed": 42, "body_mass": {"dist": "normal", "mean": 70, "sd": 10}})";
    const Scenario s = parse_scenario("{" + body + models + "}", "stim.json");
    ASSERT_TRUE(s.plant_models);
    EXPECT_EQ(s.plant_models->disturbances[0].duration, 20.0);  // the stimulation's default
    EXPECT_EQ(s.plant_models->sensor.dropout_max, 2);
    const PlannedRun plan = plan_run(s, 2);
    EXPECT_EQ(plan.models->seed, 42u);
    EXPECT_EQ(plan.models->individual, 2u);
    Simulation sim = simulation_for(s);
    const RunResult run = run_planned(sim, plan, nullptr, {});
    ASSERT_TRUE(run.ok());
    ASSERT_EQ(run.calls[0].metrics.disturbances.size(), 2u);  // the stimulation and the change
    const std::vector<std::pair<std::string, std::string>> bad = {
        {R"("sensor": {"delay": 1.5})", "'delay' must be an integer"},
        {R"("sensor": {"dropout_probability": 2})", "sensor.dropout_probability"},
        {R"("disturbances": [{"kind": "pulse", "start": 1}])", "needs 'duration'"},
        {R"("changes": [{"time": 5, "gain": 2}])", "gain"},
        {R"("actuator": {"rate": 1})", "rate"},
    };
    for (const auto& [fields, text] : bad) {
        try {
            parse_scenario("{" + body + ", " + fields + "}", "x.json");
            ADD_FAILURE() << fields;
        } catch (const Error& e) {
            EXPECT_NE(std::string(e.what()).find(text), std::string::npos) << e.what();
        }
    }
}

// A population's covariate sets a plant-model parameter named by its path:
// each individual runs with its draw, recorded in summary.json, rounded
// where the file gives a whole number; the other covariates draw as before.
TEST(Scenario, PopulationCovariatesSetPlantModelParameters) {
    const std::string head = R"({"build": 2, "params": [30, 0.1, 2, 2, 3, 3, 0.003, 10, 0.1, 0],
        "model": {"body_mass": 70, "cardiac_output": 6.48}, "curve": [50, 0.505, 2.98, 4],
        "disturbances": [{"kind": "stimulation", "start": 10, "amplitude": 0.08}], "sensor": {"delay": 1},
        "population": {"size": 3, "seed": 42, "body_mass": {"dist": "normal", "mean": 70, "sd": 10})";
    const Scenario plain = parse_scenario(head + "}}", "plain.json");
    const Scenario s = parse_scenario(head + R"(, "disturbances[0].amplitude": {"dist": "uniform", "low": 0.02,
        "high": 0.1}, "sensor.delay": {"dist": "uniform", "low": 0, "high": 3}}})", "pop.json");
    const PlannedRun a = plan_run(s, 1), b = plan_run(s, 2);
    ASSERT_FALSE(a.rejected);
    const std::vector<double>& drawn = a.individual->individual.plant;  // by name: disturbances..., sensor.delay
    ASSERT_EQ(drawn.size(), 2u);
    EXPECT_EQ(a.models->disturbances[0].amplitude, drawn[0]);
    EXPECT_EQ(a.models->sensor.delay, drawn[1]);
    EXPECT_EQ(drawn[1], std::round(drawn[1]));
    EXPECT_NE(b.models->disturbances[0].amplitude, drawn[0]);
    EXPECT_EQ(a.individual->individual.values[0], plan_run(plain, 1).individual->individual.values[0]);

    Simulation sim = simulation_for(s);
    const RunResult run = run_planned(sim, a, nullptr, {});
    ASSERT_TRUE(run.ok());
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("veltrax_covariates_" + std::to_string(::getpid()));
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    write_run_folder(check_run_place(dir / "pop"), run);
    std::ifstream in(dir / "pop" / "summary.json");
    const nlohmann::json summary = nlohmann::json::parse(in);
    in.close();
    std::filesystem::remove_all(dir);
    EXPECT_EQ(summary["individual"]["covariates"]["disturbances[0].amplitude"].get<double>(), drawn[0]);

    for (const std::string path :
         {"disturbances[1].amplitude", "sensor.delai", "actuator.rate_limit", "disturbance[0].amplitude"}) {
        try {
            parse_scenario(head + ", \"" + path + R"(": {"dist": "uniform", "low": 0, "high": 1}}})", "x.json");
            ADD_FAILURE() << path;
        } catch (const Error& e) {
            EXPECT_EQ(e.id(), "veltrax:badPopulation");
            EXPECT_NE(std::string(e.what()).find("'" + path + "'"), std::string::npos) << e.what();
        }
    }
}

// "metrics" sets the settling band and the maintenance window's start of
// every call's metrics; a negative band is refused by name.
TEST(Scenario, MetricSettingsReachTheMetrics) {
    const std::string body = R"("build": 2, "params": [30, 0.1, 2, 2, 3, 3, 0.003, 10, 0.1, 0],
        "model": {"body_mass": 70, "cardiac_output": 6.48}, "curve": [50, 0.505, 2.98, 4])";
    const Scenario s =
        parse_scenario("{" + body + R"(, "metrics": {"band": 0.1, "absolute_band": 0, "maintenance_start": 12}})", "m.json");
    const MetricOptions o = plan_run(s, 0).metric_options({}, 0);
    EXPECT_EQ(o.band, 0.1);
    EXPECT_EQ(o.absolute_band, 0.0);
    EXPECT_EQ(*o.maintenance_start, 12.0);
    Simulation sim = simulation_for(s);
    EXPECT_EQ(run_planned(sim, plan_run(s, 0), nullptr, {}).calls[0].metrics.maintenance_start, 12.0);
    try {
        parse_scenario("{" + body + R"(, "metrics": {"absolute_band": -1}})", "x.json");
        ADD_FAILURE();
    } catch (const Error& e) {
        EXPECT_NE(std::string(e.what()).find("'absolute_band' must be a number >= 0"), std::string::npos) << e.what();
    }
}
