// SPDX-License-Identifier: LGPL-2.1-or-later
// Sensitivity designs and their indices, a design run as a sweep and
// analysed from its table, and the tuning: what each promises, on small
// cases with known answers.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "experiments/design_run.hpp"
#include "experiments/report.hpp"
#include "experiments/runner.hpp"
#include "experiments/scenario.hpp"
#include "experiments/sensitivity_analysis.hpp"
#include "experiments/sensitivity_design.hpp"
#include "experiments/store.hpp"
#include "experiments/strict_json.hpp"
#include "experiments/sweep_sensitivity.hpp"
#include "experiments/tuning.hpp"

using namespace veltrax;
using namespace veltrax::experiments;
namespace fs = std::filesystem;

namespace {

// A short linear run; the sensitivity and tune blocks are added per test.
std::string scenario(const std::string& extra) {
    return R"({"build": 2,
  "settings": {"samples": 40, "control_weight": 0.1, "dead_time": 2, "u_max": 2, "a_order": 3, "b_order": 3,
               "noise": {"kind": "uniform", "amplitude": 0.001}, "rk4_steps": 10, "rk4_step": 0.1},
  "process": {"numerator": [1], "denominator": [1, 3, 3, 1]},
  "curve": {"plant_midpoint": 0.404, "midpoint": 0.505, "plant_exponent": 2.98, "exponent": 4},
  "setpoint": [[0, 0.5], [15, 0.7]], "seed": 3, )" +
           extra + "}";
}

std::string error_of(const std::function<void()>& f) {
    try {
        f();
    } catch (const Error& e) {
        return std::string(e.id()) + " " + e.what();
    }
    return "no error";
}

// Outputs of a function of the design's inputs, one per run.
std::vector<double> outputs(std::size_t runs, std::size_t d, const std::function<double(std::size_t, std::size_t)>& at,
                            const std::function<double(const std::vector<double>&)>& f) {
    std::vector<double> y(runs), x(d);
    for (std::size_t r = 0; r < runs; ++r) {
        for (std::size_t i = 0; i < d; ++i) x[i] = at(r, i);
        y[r] = f(x);
    }
    return y;
}

class SensitivityRun : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("veltrax_sensitivity_test_" + std::to_string(::getpid()));
        fs::remove_all(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }
    fs::path dir_;
};

}  // namespace

TEST(SensitivityDesign, ScrambledSobolPointsKeepTheSequenceStratification) {
    const std::size_t n = 64, dims = 4;
    const std::vector<double> a = scrambled_sobol(n, dims, 1), b = scrambled_sobol(n, dims, 2);
    for (std::size_t k = 0; k < dims; ++k) {
        std::set<std::size_t> cells;
        for (std::size_t j = 0; j < n; ++j) {
            const double u = a[j * dims + k];
            ASSERT_TRUE(u > 0.0 && u < 1.0);
            cells.insert(static_cast<std::size_t>(u * n));
        }
        EXPECT_EQ(cells.size(), n) << "dimension " << k;  // one point in each interval of 1/64
    }
    EXPECT_NE(a, b);
    EXPECT_EQ(a, scrambled_sobol(n, dims, 1));
}

TEST(SensitivityDesign, SaltelliAndMorrisRunsDifferWhereTheEstimatorsNeedIt) {
    const SaltelliDesign s = saltelli_design(16, 3, 5);
    for (std::size_t j = 0; j < s.n; ++j)
        for (std::size_t m = 1; m <= s.d; ++m)
            for (std::size_t i = 0; i < s.d; ++i)  // AB_m: A but input m - 1, which is B's
                EXPECT_EQ(s.at(j * 5 + m, i), s.at(j * 5 + (i == m - 1 ? 4 : 0), i));
    const MorrisDesign m = morris_design(10, 3, 6, 5);
    for (std::size_t t = 0; t < m.r; ++t) {
        std::set<std::size_t> moved;
        for (std::size_t step = 1; step <= m.d; ++step) {
            std::size_t changed = 0;
            for (std::size_t i = 0; i < m.d; ++i) {
                const int before = m.level[(t * 4 + step - 1) * 3 + i], after = m.level[(t * 4 + step) * 3 + i];
                ASSERT_TRUE(after >= 0 && after < 6);
                if (before == after) continue;
                ++changed;
                moved.insert(i);
                EXPECT_EQ(after - before, 3 * m.direction[t * 3 + i]);
            }
            EXPECT_EQ(changed, 1u);
        }
        EXPECT_EQ(moved.size(), 3u);
    }
}

TEST(SensitivityIndices, JansenEstimatesMatchAnAdditiveFunctionWithinTheirIntervals) {
    // f = x1 + 2 x2 (x3 inert) on the unit cube: S1 = ST = (1/5, 4/5, 0).
    const std::size_t n = 512, d = 3;
    const SaltelliDesign s = saltelli_design(n, d, 1);
    std::vector<double> y = outputs(s.runs(), d, [&](std::size_t r, std::size_t i) { return s.at(r, i); },
                                    [](const std::vector<double>& x) { return x[0] + 2.0 * x[1]; });
    SobolIndices r = sobol_indices(n, d, y);
    const double truth[] = {0.2, 0.8, 0.0};
    for (std::size_t i = 0; i < d; ++i) {
        EXPECT_LE(std::fabs(r.S1[i] - truth[i]), r.S1_conf[i]) << "S1 " << i;
        EXPECT_LE(std::fabs(r.ST[i] - truth[i]), r.ST_conf[i] + 1e-12) << "ST " << i;
    }
    // A failed run drops its base sample whole.
    y[7 * (d + 2) + 2] = std::numeric_limits<double>::quiet_NaN();
    r = sobol_indices(n, d, y);
    EXPECT_EQ(r.groups_used, n - 1);
    EXPECT_EQ(r.groups_dropped, 1u);
    EXPECT_TRUE(std::isfinite(r.S1[0]));
}

TEST(SensitivityIndices, MorrisEffectsOfALinearFunctionAreItsSlopes) {
    const MorrisDesign m = morris_design(8, 3, 4, 2);
    const std::vector<double> y = outputs(m.runs(), 3, [&](std::size_t r, std::size_t i) { return m.at(r, i); },
                                          [](const std::vector<double>& x) { return 3.0 * x[0] - x[1]; });
    const MorrisIndices r = morris_indices(m, y);
    EXPECT_NEAR(r.mu_star[0], 3.0, 1e-12);
    EXPECT_NEAR(r.mu[1], -1.0, 1e-12);
    EXPECT_NEAR(r.mu_star[2], 0.0, 1e-12);
    EXPECT_NEAR(r.sigma[0], 0.0, 1e-12);
    EXPECT_EQ(r.effects[1], 8u);
}

TEST(SensitivityDesign, BadBlocksNameTheField) {
    const std::string input = R"({"name": "settings.control_weight", "low": 0.05, "high": 0.5})";
    auto design = [&](const std::string& body) {
        return error_of([&] { parse_scenario(scenario(R"("sensitivity": {)" + body + "}"), "s.json"); });
    };
    EXPECT_EQ(design(R"("method": "sobol", "samples": 64, "metrics": ["iae"], "inputs": [{"name": "settings.u_max", "low": 2, "high": 1}])"),
              "veltrax:badDesign 'sensitivity.inputs' element 1 ('settings.u_max'): 'low' must be below 'high', got "
              "low 2 and high 1");
    EXPECT_NE(design(R"("method": "sobol", "samples": 64, "metrics": ["mdap"], "inputs": [)" + input + "]")
                  .find("veltrax:badDesign 'sensitivity.metrics' element 1: no metric 'mdap' in sweep.csv (metrics: iae"),
              std::string::npos);
    EXPECT_EQ(design(R"("method": "sobol", "samples": 8, "metrics": ["iae"], "inputs": [)" + input + "]"),
              "veltrax:badDesign sensitivity.samples must be at least 16 for the sobol design, got 8");
    EXPECT_EQ(design(R"("method": "morris", "trajectories": 1, "metrics": ["iae"], "inputs": [)" + input + "]"),
              "veltrax:badDesign sensitivity.trajectories must be at least 2 for the morris design, got 1");
    EXPECT_EQ(design(R"("method": "sobol", "samples": 16, "metrics": ["iae"], "inputs": [{"name": "settings.weight", "low": 0, "high": 1}])"),
              "veltrax:badDesign 'sensitivity.inputs' element 1 ('settings.weight'): the scenario file has no number "
              "at 'settings.weight'");
    EXPECT_EQ(design(R"("method": "sobol", "samples": 16, "metrics": ["iae"], "inputs": [{"name": "settings.dead_time", "low": 0.5, "high": 3}])"),
              "veltrax:badDesign 'sensitivity.inputs' element 1 ('settings.dead_time'): 'low' and 'high' of a "
              "whole-number input must be whole numbers, got 0.5 and 3");
    EXPECT_EQ(design(R"("method": "sobol", "samples": 16, "metrics": ["iae"], "inputs": [{"name": "population.body_mass", "low": 50, "high": 90}])"),
              "veltrax:badPopulation the population draws body mass or cardiac output, but call 1 simulates a linear "
              "process; they apply to the built-in model only");
}

TEST_F(SensitivityRun, ADesignRunsAsASweepAndIsAnalysedFromItsTable) {
    const Scenario s = parse_scenario(scenario(R"("sensitivity": {"method": "sobol", "samples": 16, "seed": 9,
        "metrics": ["iae", "max_overshoot"], "bootstrap": 50,
        "inputs": [{"name": "settings.control_weight", "low": 0.02, "high": 0.5, "scale": "log"},
                   {"name": "settings.dead_time", "low": 1, "high": 3},
                   {"name": "observer[1]", "low": -1.6, "high": -0.8}]}, "observer": [1, -1.2, 0.36])"),
                                      "study.json");
    ASSERT_EQ(s.runs(), 16u * 5u);
    // Run k holds point k's values where the names say.
    const PlannedRun plan = plan_design_run(s, 7);
    const std::vector<double> v = s.design->values(7);
    EXPECT_EQ(plan.calls[0].settings.control_weight, v[0]);
    EXPECT_EQ(plan.calls[0].settings.dead_time, static_cast<int>(v[1]));
    EXPECT_EQ(v[1], std::floor(v[1]));
    EXPECT_EQ(plan.calls[0].settings.observer[1], v[2]);

    // Two shards into one folder, then the report's table and the analysis.
    for (std::uint64_t k = 1; k <= 2; ++k) {
        RunFolderStore store(dir_);
        SweepOptions o;
        o.shard = {k, 2};
        o.threads = 2;
        EXPECT_EQ(run_sweep({s}, store, o).failed, 0u);
    }
    ReportOptions ro;
    ro.plots = false;
    EXPECT_EQ(write_report(dir_, ro).ok, 80u);
    const std::vector<DesignAnalysis> a = analyze_designs(dir_);
    ASSERT_EQ(a.size(), 1u);
    EXPECT_EQ(a[0].ok, 80u);
    ASSERT_EQ(a[0].metrics.size(), 2u);
    EXPECT_EQ(a[0].metrics[0].sobol.groups_used, 16u);
    EXPECT_TRUE(fs::exists(dir_ / "sensitivity.csv"));
    // The analysis of a design's table is the estimator on the runs' values.
    std::ifstream csv(dir_ / "sweep.csv");
    std::string text((std::istreambuf_iterator<char>(csv)), std::istreambuf_iterator<char>());
    EXPECT_EQ(analyze_designs(read_manifest(dir_), text)[0].metrics[1].sobol.S1, a[0].metrics[1].sobol.S1);
}

TEST(SensitivityDesign, ControllerGainsAndDisturbancesReachEachRun) {
    const Scenario s = parse_scenario(scenario(R"("controller": {"kind": "pid", "kp": 0.5, "ki": 0.05},
        "disturbances": [{"kind": "step", "start": 10, "amplitude": 0.05}],
        "sensitivity": {"method": "morris", "trajectories": 2, "metrics": ["iae"],
                        "inputs": [{"name": "controller.kp", "low": 0.1, "high": 2}, {"name": "controller.ki", "low": 0, "high": 0.2},
                                   {"name": "disturbances[0].amplitude", "low": 0, "high": 0.1}]})"),
                                      "pid.json");
    for (std::uint64_t k : {1, 6}) {
        const PlannedRun plan = plan_design_run(s, k);
        const std::vector<double> v = s.design->values(k);
        ASSERT_TRUE(plan.controller && plan.controller->pid);
        EXPECT_EQ(plan.controller->pid->kp, v[0]);
        EXPECT_EQ(plan.controller->pid->ki, v[1]);
        EXPECT_EQ(plan.empty_result().controller->pid->kp, v[0]);  // as summary.json records it
        ASSERT_TRUE(plan.models);
        EXPECT_EQ(plan.models->disturbances[0].amplitude, v[2]);
    }
    EXPECT_EQ(error_of([&] { parse_scenario(scenario(R"("controllers": [{"kind": "adaptive"}, {"kind": "pid", "kp": 1}],
        "sensitivity": {"method": "morris", "trajectories": 2, "metrics": ["iae"], "inputs": [{"name": "settings.u_max", "low": 1, "high": 2}]})"), "c.json"); }),
              "veltrax:badScenario top level: give either 'controllers' or 'sensitivity', not both; a design studies one controller");
}

TEST(Tuning, BadBlocksNameTheField) {
    const std::string population = R"("population": {"size": 4, "seed": 5, "plant_hill_midpoint": {"dist": "uniform", "low": 0.35, "high": 0.45}}, )";
    auto tuning = [&](const std::string& block) {
        return error_of([&] { parse_tune(parse_scenario(scenario(population + R"("tune": )" + block), "t.json")); });
    };
    EXPECT_EQ(tuning(R"({"settings": [{"name": "settings.control_weight", "low": 1, "high": 0.1}], "metric": "iae"})"),
              "veltrax:badTuning 'tune.settings' element 1 ('settings.control_weight'): 'low' must be below 'high', "
              "got low 1 and high 0.1");
    EXPECT_NE(tuning(R"({"settings": [{"name": "settings.control_weight", "low": 0.01, "high": 1}], "metric": "overshoot"})")
                  .find("veltrax:badTuning tune.metric: no metric 'overshoot'"),
              std::string::npos);
    EXPECT_EQ(tuning(R"({"settings": [{"name": "settings.control_weight", "low": 0.01, "high": 1}, {"name": "settings.a_order", "low": 1, "high": 4}], "metric": "iae", "candidates": 12})"),
              "veltrax:badTuning tune.candidates: 12 candidates give each of the 4 combinations of enumerated "
              "settings 3, and BOBYQA needs at least 4 for 1 continuous setting(s)");
    EXPECT_EQ(tuning(R"({"settings": [{"name": "settings.u_max", "low": 1, "high": 3}], "metric": "iae", "validation": {"seed": 5}})"),
              "veltrax:badTuning tune.validation.seed must differ from population.seed (5): the validation "
              "population is held out");
}

TEST_F(SensitivityRun, TuningChoosesNoWorseThanTheDefaultAndValidatesBoth) {
    const Scenario s = parse_scenario(
        scenario(R"("population": {"size": 4, "seed": 5, "plant_hill_midpoint": {"dist": "uniform", "low": 0.35, "high": 0.45}},
                    "tune": {"settings": [{"name": "settings.control_weight", "low": 0.02, "high": 1, "scale": "log"},
                                          {"name": "settings.b_order", "values": [2, 3]}],
                             "metric": "iae", "objective": {"quantile": 0.75}, "candidates": 12,
                             "validation": {"size": 3}})"),
        "t.json");
    TuneOptions o;
    o.threads = 2;
    o.outdir = dir_;
    const TuneResult r = tune(s, o);
    EXPECT_EQ(r.algorithm, "BOBYQA");
    ASSERT_FALSE(r.history.empty());
    EXPECT_LE(r.history.size(), 12u);
    // Each combination's search starts at the scenario's own continuous values.
    EXPECT_EQ(r.history[0].values, (std::vector<double>{0.1, 2}));
    EXPECT_LE(r.history[r.best].objective, r.default_training.objective);
    for (const Evaluation& e : r.history) EXPECT_GE(e.objective, r.history[r.best].objective);
    EXPECT_EQ(r.default_validation.metric.size(), 3u);
    EXPECT_EQ(r.tuned_validation.values, r.history[r.best].values);
    EXPECT_EQ(r.tuned_bands.runs, 3u);
    EXPECT_TRUE(fs::exists(dir_ / "tune.json"));
    EXPECT_TRUE(fs::exists(dir_ / "tuned" / "individual_000003" / "summary.json"));
    EXPECT_EQ(read_manifest(dir_).scenarios.size(), 2u);
}

TEST(Tuning, QuantileObjectiveRanksMissingValuesLast) {
    const double inf = std::numeric_limits<double>::infinity(), nan = std::numeric_limits<double>::quiet_NaN();
    EXPECT_EQ(tune_objective({4, 1, nan, 3, 2}, false, 0.5), 3.0);
    EXPECT_EQ(tune_objective({1, 2, 3, nan}, false, 0.5), 2.5);
    EXPECT_EQ(tune_objective({1, 2, 3, nan}, false, 0.9), inf);
    EXPECT_EQ(tune_objective({1, 2, 3, nan}, true, 0.5), inf);
    EXPECT_EQ(tune_objective({1, 2, 3, 6}, true, 0.5), 3.0);
}
