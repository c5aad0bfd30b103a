// SPDX-License-Identifier: LGPL-2.1-or-later
// Speed of experiments: drawing and expanding a population of 1,000, the
// metrics of 1,000 typical runs, a population run against the same number
// of independent calls (in run_batch, and through `veltrax batch` with its
// result folders), and the report over 1,000 run folders (their metrics.csv,
// and the first call's CSV files for the bands).
//
// Counters: per_individual / per_run, the time of one.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "api/veltrax.hpp"
#include "experiments/expand.hpp"
#include "experiments/metrics.hpp"
#include "experiments/population.hpp"
#include "experiments/report.hpp"
#include "experiments/run_folder.hpp"
#include "experiments/strict_json.hpp"
#include "experiments/store.hpp"
#include "experiments/sweep.hpp"

using namespace veltrax;
using namespace veltrax::experiments;
namespace fs = std::filesystem;

namespace {

const char* kPopulation = R"({"size": 1000, "seed": 42,
  "body_mass": {"dist": "normal", "mean": 70, "sd": 12, "min": 40, "max": 130},
  "cardiac_output": {"dist": "lognormal", "median": 6.5, "sigma": 0.15},
  "plant_hill_midpoint": {"dist": "lognormal", "median": 50, "sigma": 0.2},
  "plant_hill_exponent": {"dist": "normal", "mean": 2.98, "sd": 0.3, "min": 1},
  "noise_amplitude": {"dist": "uniform", "low": 0, "high": 0.01},
  "correlation": {"body_mass,cardiac_output": 0.6}})";

// The typical call of the built-in model.
std::vector<Matrix> model_call(double samples) {
    return {Matrix::row({samples, 0.1, 2, 0, 3, 3, 0.005, 10, 0.1}), Matrix::row({70, 6.48}), Matrix(1, 0),
            Matrix::row({50, 0.505, 2.98, 4.0})};
}

// The typical linear call.
std::vector<Matrix> linear_call() {
    return {Matrix::row({300, 0.1, 4, 2, 3, 3, 0, 10, 0.1}), Matrix::row({1}), Matrix::row({1, 3, 3, 1}),
            Matrix::row({0.404, 0.505, 2.98, 4.0})};
}

void per(benchmark::State& state, const char* name, double count) {
    state.counters[name] = benchmark::Counter(static_cast<double>(state.iterations()) * count,
                                              benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_DrawPopulation(benchmark::State& state) {
    const Population p = parse_population(parse_json_strict(kPopulation));
    for (auto _ : state)
        for (std::uint64_t k = 1; k <= p.size; ++k) benchmark::DoNotOptimize(draw_individual(p, k));
    per(state, "per_individual", 1000);
}
BENCHMARK(BM_DrawPopulation)->Unit(benchmark::kMillisecond);

void BM_ExpandPopulation(benchmark::State& state) {
    const Population p = parse_population(parse_json_strict(kPopulation));
    const std::vector<CallSetup> calls = {call_setup_of_inputs(model_call(120))};
    for (auto _ : state) benchmark::DoNotOptimize(expand_population(calls, p));
    per(state, "per_individual", 1000);
}
BENCHMARK(BM_ExpandPopulation)->Unit(benchmark::kMillisecond);

std::vector<Matrix> run_once(const std::vector<Matrix>& call) {
    Simulation sim(Build::Base);
    return sim.call(call);
}

void BM_Metrics(benchmark::State& state) {
    const bool model = state.range(0) == 1;
    const std::vector<Matrix> in = model ? model_call(120) : linear_call();
    const std::vector<Matrix> out = run_once(in);
    const double period = sample_period_of(in);
    for (auto _ : state)
        for (int r = 0; r < 1000; ++r) benchmark::DoNotOptimize(compute_metrics(out[0], out[1], period, model));
    per(state, "per_run", 1000);
    state.SetLabel(model ? "1,000 runs of the built-in model, N = 120" : "1,000 linear runs, N = 300");
}
BENCHMARK(BM_Metrics)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// A population of 16 individuals of the typical model call against 16
// independent copies of the typical call, both through run_batch.
void BM_PopulationAgainstBatch(benchmark::State& state) {
    constexpr int kRuns = 16;
    const bool population = state.range(0) == 1;
    std::vector<BatchJob> jobs;
    if (population) {
        Population p = parse_population(parse_json_strict(kPopulation));
        for (const PopulationRun& r : expand_population({call_setup_of_inputs(model_call(120))}, p, 1, kRuns)) {
            BatchJob job;
            for (const CallSetup& call : r.calls) job.settings.push_back(call.settings);
            jobs.push_back(job);
        }
    } else {
        for (int i = 0; i < kRuns; ++i) {
            BatchJob job;
            job.calls = {model_call(120)};
            jobs.push_back(job);
        }
    }
    for (auto _ : state) benchmark::DoNotOptimize(run_batch(jobs, 0));
    per(state, "per_individual", kRuns);
    state.SetLabel(population ? "population" : "independent calls");
}
BENCHMARK(BM_PopulationAgainstBatch)->Arg(0)->Arg(1)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

#ifdef VELTRAX_CLI_PATH
// The whole tool: `veltrax batch --threads 2` of a population of 64
// individuals of the typical model call (N = 120) against 64 scenario files
// that hold those individuals' calls written out, each run writing its
// result folder (CSV files, summary.json with metrics, metrics.csv). A
// population of 1,000 takes 1,000 / 64 times as long: the runs are
// independent and written as they end.
void BM_ToolSweep(benchmark::State& state) {
    constexpr int kRuns = 64;
    const bool population = state.range(0) == 1;
    const fs::path dir = fs::temp_directory_path() / ("veltrax_bench_tool_" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir / "in");
    const std::string call = R"("build": 2, "params": [120, 0.1, 2, 0, 3, 3, 0.005, 10, 0.1],
        "model": {"body_mass": 70, "cardiac_output": 6.48}, "curve": [50, 0.505, 2.98, 4.0])";
    std::string files;
    if (population) {
        std::string block = kPopulation;
        block.replace(block.find("1000"), 4, std::to_string(kRuns));
        std::ofstream(dir / "in" / "pop.json") << "{" << call << ", \"population\": " << block << "}";
        files = (dir / "in" / "pop.json").string();
    } else {
        Population p = parse_population(parse_json_strict(kPopulation));
        for (const PopulationRun& r : expand_population({call_setup_of_inputs(model_call(120))}, p, 1, kRuns)) {
            const std::vector<Matrix>& in = r.calls.at(0).inputs;
            const nlohmann::json scenario = {{"build", 2}, {"params", in[0].data}, {"numerator", in[1].data},
                                             {"denominator", nlohmann::json::array()}, {"curve", in[3].data}};
            const fs::path f = dir / "in" / ("individual_" + std::to_string(r.individual.index) + ".json");
            std::ofstream(f) << scenario.dump();
            files += f.string() + " ";
        }
    }
    const std::string command = std::string(VELTRAX_CLI_PATH) + " batch " + files + " -o " + (dir / "out").string() +
                                " --threads 2 >/dev/null 2>&1";
    for (auto _ : state) {
        state.PauseTiming();
        fs::remove_all(dir / "out");
        state.ResumeTiming();
        if (std::system(command.c_str()) != 0) state.SkipWithError("veltrax batch failed");
    }
    per(state, "per_individual", kRuns);
    state.SetLabel(population ? "veltrax batch: population of 64" : "veltrax batch: its 64 calls as scenario files");
    fs::remove_all(dir);
}
BENCHMARK(BM_ToolSweep)->Arg(0)->Arg(1)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);
#endif

// What a sweep of a population of 100,000 does before its first run:
// the manifest and its folders, once each, not once per run.
void BM_SweepStart(benchmark::State& state) {
    const fs::path dir = fs::temp_directory_path() / ("veltrax_bench_start_" + std::to_string(::getpid()));
    const SweepManifest manifest{{{"pop", 100000}}};
    for (auto _ : state) {
        state.PauseTiming();
        fs::remove_all(dir);
        state.ResumeTiming();
        RunFolderStore(dir).begin(manifest, slice_runs(manifest, Shard{}));
    }
    state.SetLabel("population of 100,000");
    fs::remove_all(dir);
}
BENCHMARK(BM_SweepStart)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);

// A sweep folder of 1,000 runs of the typical model call (the same outputs
// in each), written as the tool writes them.
fs::path make_sweep() {
    const fs::path dir = fs::temp_directory_path() / ("veltrax_bench_sweep_" + std::to_string(::getpid()));
    fs::remove_all(dir);
    const Population p = parse_population(parse_json_strict(kPopulation));
    const CallSetup call = call_setup_of_inputs(model_call(120));
    write_manifest(dir, {{{"pop", 1000}}});
    RunResult run;
    run.scenario = "pop";
    run.path = "pop.json";
    run.calls.push_back(call_result(1, call, run_once(call.inputs)));
    for (std::uint64_t k = 1; k <= 1000; ++k) {
        run.individual = drawn_individual(p, draw_individual(p, k));
        write_run_folder(check_run_place(dir / run_folder("pop", k)), run);
    }
    return dir;
}

void BM_Report(benchmark::State& state) {
    const fs::path dir = make_sweep();
    ReportOptions options;
    options.plots = state.range(0) == 1;
    for (auto _ : state) benchmark::DoNotOptimize(write_report(dir, options));
    per(state, "per_run", 1000);
    state.SetLabel(options.plots ? "1,000 runs, with plots" : "1,000 runs, --no-plots");
    fs::remove_all(dir);
}
BENCHMARK(BM_Report)->Arg(0)->Arg(1)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
