// Speed of a call and of the cost: the product's search side by side with
// the literal reading (every evaluation where it is written, one thread).
//
// Counters: time_per_sample (per sample period), evals_per_sample (cost
// evaluations per sample period) and pows_per_eval (power-function calls per
// evaluation), the last two counted in an extra untimed run.
#include <benchmark/benchmark.h>

#include <cmath>
#include <string>
#include <thread>
#include <vector>

#include "api/veltrax.hpp"
#include "controller/cost.hpp"
#include "controller/estimator.hpp"

using namespace veltrax;

namespace {

struct Scenario {
    const char* name;
    std::vector<Matrix> inputs;
};

const Matrix kCurve = Matrix::row({0.404, 0.505, 2.98, 4.0});

Scenario linear_typical() {
    return {"linear_N300", {Matrix::row({300, 0.1, 4, 2, 3, 3, 0, 10, 0.1}), Matrix::row({1}), Matrix::row({1, 3, 3, 1}), kCurve}};
}

Scenario model_typical() {
    return {"model_N120",
            {Matrix::row({120, 0.1, 2, 0, 3, 3, 0.005, 10, 0.1}), Matrix::row({70, 6.48}), Matrix(1, 0),
             Matrix::row({50, 0.505, 2.98, 4.0})}};
}

// threads == 0: the literal reading; otherwise the product's search.
void BM_Call(benchmark::State& state, Build build, Scenario scenario, unsigned threads) {
    RunOptions options;
    options.threads = threads;
    if (threads == 0) options.search = SearchMethod::Literal;
    for (auto _ : state) {
        Simulation sim(build);
        benchmark::DoNotOptimize(sim.call(scenario.inputs, 5, options));
    }
    SearchCounts counts;
    RunOptions counting = options;
    counting.threads = 1;
    counting.counts = &counts;
    Simulation sim(build);
    sim.call(scenario.inputs, 5, counting);
    const double samples = check_call(scenario.inputs).sample_count;
    state.counters["time_per_sample"] =
        benchmark::Counter(samples, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    state.counters["evals_per_sample"] = static_cast<double>(counts.evaluations) / samples;
    state.counters["pows_per_eval"] = static_cast<double>(counts.powers) / static_cast<double>(counts.evaluations);
}

// A prediction state as it is in the middle of the typical run.
PredictionState typical_prediction() {
    PredictionState p;
    const double g[10] = {0, 0, 0, 0, 0.081, 0.21, 0.36, 0.49, 0.6, 0.69};
    for (int k = 0; k < 10; ++k) {
        p.step_coef[k] = g[k];
        p.free_response[k] = 0.62 + 0.01 * k;
    }
    return p;
}

void BM_CostLiteral(benchmark::State& state) {
    PredictionState p = typical_prediction();
    double setpoint = 0.95, du = 0.013;
    const double preview[kPreviewLength] = {};
    for (auto _ : state) {
        benchmark::DoNotOptimize(predictive_cost<false>(p, setpoint, preview, 0.1, 4.0, 0.505, du));
        du += 1e-9;
    }
    state.counters["pows_per_eval"] = 2 * 10;
}

void BM_CostTable(benchmark::State& state) {
    const PredictionState p = typical_prediction();
    double reference[kHorizonEnd];
    for (double& r : reference) r = 0.95;
    const CostTable t = make_cost_table(p, reference, 0.1, 4.0, 0.505);
    double du = 0.013;
    for (auto _ : state) {
        benchmark::DoNotOptimize(evaluate_cost(t, du));
        du += 1e-9;
    }
    state.counters["pows_per_eval"] = kHorizonEnd - t.first_moving;
}

std::vector<BatchJob> eight_jobs() {
    std::vector<BatchJob> jobs;
    for (int j = 0; j < 8; ++j) {
        BatchJob job;
        job.build = static_cast<Build>(1 + j % 3);
        job.calls = {{Matrix::row({150, 0.05 + 0.05 * j, double(j % 5), 2, 3, 3, 0, 10, 0.1}), Matrix::row({1}),
                      Matrix::row({1, 3, 3, 1}), kCurve}};
        jobs.push_back(job);
    }
    return jobs;
}

void BM_Batch8_OneAfterAnother(benchmark::State& state) {
    const auto jobs = eight_jobs();
    RunOptions one;
    one.threads = 1;
    for (auto _ : state) {
        for (const BatchJob& job : jobs) {
            Simulation sim(job.build);
            benchmark::DoNotOptimize(sim.call(job.calls[0], 5, one));
        }
    }
}

void BM_Batch8_Parallel(benchmark::State& state) {
    const auto jobs = eight_jobs();
    for (auto _ : state) benchmark::DoNotOptimize(run_batch(jobs, static_cast<unsigned>(state.range(0))));
}

void BM_V1(benchmark::State& s, Scenario sc, unsigned t) { BM_Call(s, Build::Preview, std::move(sc), t); }
void BM_V2(benchmark::State& s, Scenario sc, unsigned t) { BM_Call(s, Build::Base, std::move(sc), t); }
void BM_V3(benchmark::State& s, Scenario sc, unsigned t) { BM_Call(s, Build::PreviewHold, std::move(sc), t); }

const unsigned kHardware = std::max(1u, std::thread::hardware_concurrency());

}  // namespace

BENCHMARK_CAPTURE(BM_V2, linear_N300_literal, linear_typical(), 0u)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_V2, linear_N300_1thread, linear_typical(), 1u)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_V2, linear_N300_all_threads, linear_typical(), kHardware)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_V2, model_N120_literal, model_typical(), 0u)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_V2, model_N120_all_threads, model_typical(), kHardware)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_V1, v1_linear_N300_literal, linear_typical(), 0u)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_V1, v1_linear_N300_all_threads, linear_typical(), kHardware)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_V3, v3_linear_N300_literal, linear_typical(), 0u)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_V3, v3_linear_N300_all_threads, linear_typical(), kHardware)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_CostLiteral);
BENCHMARK(BM_CostTable);
BENCHMARK(BM_Batch8_OneAfterAnother)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Batch8_Parallel)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();
