// SPDX-License-Identifier: LGPL-2.1-or-later
// Speed of sensitivity studies and tuning:
//   BM_SobolDesign        the points of a Saltelli design of 10^5 runs (8 inputs)
//   BM_AnalysisOf100kRuns the analysis of such a sweep from its sweep.csv text:
//                         reading the table, two metrics' indices, 1000
//                         bootstrap resamples each
//   BM_Tune64x40          a tuning of the built-in model (120 samples) over 64
//                         training individuals with 40 candidates, and its
//                         validation on 64 more, on two threads
#include <benchmark/benchmark.h>

#include <cmath>
#include <string>
#include <vector>

#include "experiments/design.hpp"
#include "experiments/format.hpp"
#include "experiments/scenario.hpp"
#include "experiments/strict_json.hpp"
#include "experiments/sweep_sensitivity.hpp"
#include "experiments/sweep_table.hpp"
#include "experiments/tuning.hpp"

using namespace veltrax;
using namespace veltrax::experiments;

namespace {

const char* kDesign = R"({"method": "sobol", "samples": 10000, "metrics": ["iae", "mdape"], "inputs": [
  {"name": "population.body_mass", "dist": "normal", "mean": 70, "sd": 12, "min": 40},
  {"name": "population.cardiac_output", "dist": "lognormal", "median": 6.5, "sigma": 0.15},
  {"name": "population.plant_hill_midpoint", "low": 40, "high": 60},
  {"name": "population.plant_hill_exponent", "low": 2, "high": 4},
  {"name": "settings.control_weight", "low": 0.02, "high": 0.5, "scale": "log"},
  {"name": "settings.dead_time", "low": 1, "high": 4},
  {"name": "settings.noise.amplitude", "low": 0, "high": 0.01},
  {"name": "curve.midpoint", "low": 0.45, "high": 0.55}]})";

void per(benchmark::State& state, const char* name, double count) {
    state.counters[name] = benchmark::Counter(static_cast<double>(state.iterations()) * count,
                                              benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_SobolDesign(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(parse_design(parse_json_strict(kDesign)));
    per(state, "per_run", 100000);
}
BENCHMARK(BM_SobolDesign)->Unit(benchmark::kMillisecond);

// sweep.csv of the design: every run ok, its metrics functions of its
// inputs with interactions (the columns the analysis does not read empty).
std::string sweep_csv(const Design& d) {
    std::string csv = sweep_header();
    std::vector<std::string> fields(sweep_columns().size());
    fields[sweep_column("scenario")] = "study";
    fields[sweep_column("call")] = "1";
    fields[sweep_column("status")] = "ok";
    for (std::uint64_t k = 1; k <= d.runs(); ++k) {
        const std::vector<double> x = d.values(k);
        fields[sweep_column("individual")] = std::to_string(k);
        fields[sweep_column("iae")] = format_number(x[0] / 70.0 + 2.0 * x[4] * x[5] + 100.0 * x[6]);
        fields[sweep_column("mdape")] = format_number(std::sin(x[2] / 10.0) * x[3] + x[1] + 10.0 * x[7]);
        csv += csv_row(fields);
    }
    return csv;
}

void BM_AnalysisOf100kRuns(benchmark::State& state) {
    SweepManifest manifest;
    const Design design = parse_design(parse_json_strict(kDesign));
    manifest.scenarios.push_back({"study", design.runs(), design_json(design)});
    const std::string csv = sweep_csv(design);
    for (auto _ : state) benchmark::DoNotOptimize(analyze_designs(manifest, csv));
    state.counters["runs"] = static_cast<double>(design.runs());
    state.counters["csv_MB"] = static_cast<double>(csv.size()) / 1e6;
}
BENCHMARK(BM_AnalysisOf100kRuns)->Unit(benchmark::kSecond)->Iterations(3);

// 40 control weights from 0.01 to 1, enumerated: 40 candidates whatever
// the objective's shape.
std::string tuning_scenario() {
    std::string weights;
    for (int i = 0; i < 40; ++i) weights += (i ? ", " : "") + format_shortest(0.01 * std::pow(100.0, i / 39.0));
    return R"({"build": 2,
  "settings": {"samples": 120, "control_weight": 0.1, "dead_time": 2, "u_max": 2, "a_order": 3, "b_order": 3,
               "noise": {"kind": "uniform", "amplitude": 0.001}, "rk4_steps": 10, "rk4_step": 0.1},
  "process": {"body_mass": 70, "cardiac_output": 6.48},
  "curve": {"plant_midpoint": 50, "midpoint": 0.505, "plant_exponent": 2.98, "exponent": 4.0},
  "setpoint": [[0, 0.5], [50, 0.5, "ramp"], [60, 0.8]], "seed": 7,
  "population": {"size": 64, "seed": 42,
    "body_mass": {"dist": "normal", "mean": 70, "sd": 12, "min": 40, "max": 130},
    "cardiac_output": {"dist": "lognormal", "median": 6.5, "sigma": 0.15},
    "plant_hill_midpoint": {"dist": "uniform", "low": 40, "high": 60}},
  "tune": {"settings": [{"name": "settings.control_weight", "values": [)" +
           weights + R"(]}], "metric": "mdape", "objective": {"quantile": 0.95}, "candidates": 40}})";
}

void BM_Tune64x40(benchmark::State& state) {
    const Scenario s = parse_scenario(tuning_scenario(), "tune.json");
    TuneOptions o;
    o.threads = 2;
    std::size_t candidates = 0;
    for (auto _ : state) candidates = tune(s, o).history.size();
    state.counters["candidates"] = static_cast<double>(candidates);
    per(state, "per_candidate", static_cast<double>(candidates));
}
BENCHMARK(BM_Tune64x40)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
