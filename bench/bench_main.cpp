// SPDX-License-Identifier: LGPL-2.1-or-later
// Speed of a call and of the cost: the literal reading of the search (every
// evaluation where it is written, one thread) side by side with the fast
// search one start after another (scalar), in AVX2 and AVX-512 lanes, and on
// two threads.
//
// Counters: time_per_sample (per sample period; CPU time on one thread, real
// time on two), x_literal and x_scalar (the time per sample of the literal
// search and of the one-thread scalar search, measured earlier in the same
// run, over this row's), evals_per_sample (cost evaluations per sample period)
// and pows_per_eval (power-function calls per evaluation), the last two
// counted in an extra untimed run of the scalar search, and for the rows in
// vector lanes x_pow_limit: the row's time over the time its power calls take
// alone (the same number of values through the row's kernel, measured right
// after the row) and x_cost_floor: the row's time over the least time those
// powers take with the cost's own arithmetic around them, in full vectors
// and without the search (bench/cost_floor.hpp).
#include <benchmark/benchmark.h>

#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <cmath>
#include <map>
#include <string>
#include <vector>

#include "api/internal.hpp"
#include "bench/cost_floor.hpp"
#include "controller/cost.hpp"
#include "controller/estimator.hpp"
#include "numeric/vpow/pow.hpp"

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

// How a row searches: the literal reading, or the fast search on
// `threads` threads with at most the given lanes.
enum class Tables { Chosen, Gathers, Loads };

struct Search {
    bool literal;
    unsigned threads;
    SearchLanes lanes;
    bool cancellable = false;  // with a cancellation hook, as the hosts call
    Tables tables = Tables::Chosen;  // the power kernel's table access
};

const Search kLiteral{true, 1, SearchLanes::Scalar};
const Search kScalar1{false, 1, SearchLanes::Scalar};
const Search kAvx2_1{false, 1, SearchLanes::Avx2};
const Search kWidest1{false, 1, SearchLanes::Widest};
const Search kWidest2{false, 2, SearchLanes::Widest};
const Search kWidest1Cancellable{false, 1, SearchLanes::Widest, true};
const Search kWidest1Gathers{false, 1, SearchLanes::Widest, false, Tables::Gathers};
const Search kWidest1Loads{false, 1, SearchLanes::Widest, false, Tables::Loads};

// A hook that reads a pending-interrupt flag, as the plug-ins' does.
bool interrupt_flag_set(void* flag) { return static_cast<std::atomic<bool>*>(flag)->load(std::memory_order_relaxed); }

// The process's CPU time, or the real time, in seconds.
double seconds(bool real) {
    timespec now;
    clock_gettime(real ? CLOCK_MONOTONIC : CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
}

// The power path whose lanes a row's fast search runs on this machine.
vpow::PowPath row_path(const Search& search) {
    if (search.lanes == SearchLanes::Scalar) return vpow::PowPath::Scalar;
    if (search.lanes == SearchLanes::Avx2)
        return vpow::pow_path_usable(vpow::PowPath::Avx2) ? vpow::PowPath::Avx2 : vpow::PowPath::Scalar;
    return vpow::pow_path();
}

std::string lanes_name(const Search& search) {
    const vpow::PowPath path = row_path(search);
    if (path == vpow::PowPath::Scalar) return "scalar";
    return std::string(vpow::pow_path_name(path)) + " with table " +
           vpow::table_access_name(vpow::table_access(path));
}

// The time per value of the row's power kernel, alone: the fastest of a few
// rounds, each 16 passes over 1024 values of the cost's range.
double kernel_seconds_per_value(vpow::PowPath path) {
    std::vector<double> w(1024), out(1024);
    for (std::size_t i = 0; i < w.size(); ++i) w[i] = 0.01 + 9.99 * static_cast<double>((i * 677) % 1024) / 1024.0;
    double fastest = 1e9;
    for (int round = 0; round < 40; ++round) {
        const auto begin = std::chrono::steady_clock::now();
        for (int pass = 0; pass < 16; ++pass) {
            vpow::pow_n_on(path, w.data(), w.size(), 4.0, out.data());
            benchmark::DoNotOptimize(out.data());
        }
        fastest = std::min(fastest, std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count());
    }
    return fastest / (16.0 * static_cast<double>(w.size()));
}

// Time per sample of the literal and of the one-thread scalar search, by
// scenario and build, for the speed-up counters of the rows after them.
std::map<std::string, double>& reference_times() {
    static std::map<std::string, double> times;
    return times;
}

void BM_Call(benchmark::State& state, Build build, Scenario scenario, Search search, bool needs_avx512 = false) {
    if (needs_avx512 && vpow::pow_path() != vpow::PowPath::Avx512) {
        state.SkipWithError("no AVX-512 path on this machine");
        return;
    }
    const vpow::PowPath path = row_path(search);
    const vpow::TableAccess chosen = vpow::table_access(path);
    if (search.tables != Tables::Chosen && path != vpow::PowPath::Scalar)
        vpow::set_table_access(path, search.tables == Tables::Loads ? vpow::TableAccess::Loads
                                                                    : vpow::TableAccess::Gathers);
    core::RunOptions options;
    options.threads = search.threads;
    options.lanes = search.lanes;
    if (search.literal) options.search = SearchMethod::Literal;
    std::atomic<bool> interrupt_pending{false};
    if (search.cancellable) {
        options.cancelled = interrupt_flag_set;
        options.cancel_context = &interrupt_pending;
    }
    state.SetLabel(search.literal ? std::string("literal")
                                  : lanes_name(search) + ", " + std::to_string(search.threads) +
                                        (search.threads == 1 ? " thread" : " threads") +
                                        (search.cancellable ? ", cancellation hook" : ""));
    const double samples = check_call(scenario.inputs).sample_count;
    // As time_per_sample: CPU time on one thread, real time on more.
    const bool real = search.threads > 1;
    const double begin = seconds(real);
    for (auto _ : state) {
        Simulation sim(build);
        benchmark::DoNotOptimize(call_with_core_options(sim, scenario.inputs, 5, options));
    }
    const double per_sample = (seconds(real) - begin) / (static_cast<double>(state.iterations()) * samples);
    const std::string key = scenario.name + std::string("/") + std::to_string(static_cast<int>(build)) + "/";
    if (search.literal) reference_times()[key + "literal"] = per_sample;
    if (!search.literal && search.threads == 1 && search.lanes == SearchLanes::Scalar)
        reference_times()[key + "scalar"] = per_sample;
    for (const char* reference : {"literal", "scalar"}) {
        const auto found = reference_times().find(key + reference);
        if (found != reference_times().end())
            state.counters[std::string("x_") + reference] = found->second / per_sample;
    }

    SearchCounts counts;
    core::RunOptions counting = options;
    counting.threads = 1;
    counting.counts = &counts;
    Simulation sim(build);
    call_with_core_options(sim, scenario.inputs, 5, counting);
    state.counters["time_per_sample"] =
        benchmark::Counter(samples, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    state.counters["evals_per_sample"] = static_cast<double>(counts.evaluations) / samples;
    state.counters["pows_per_eval"] = static_cast<double>(counts.powers) / static_cast<double>(counts.evaluations);
    if (!search.literal && path != vpow::PowPath::Scalar) {
        const double pow_limit = static_cast<double>(counts.powers) / samples * kernel_seconds_per_value(path);
        state.counters["x_pow_limit"] = per_sample / pow_limit;
        const double floor = static_cast<double>(counts.powers) / samples *
                             bench::cost_floor_seconds_per_value(path, vpow::table_access(path));
        state.counters["x_cost_floor"] = per_sample / floor;
    }
    if (path != vpow::PowPath::Scalar) vpow::set_table_access(path, chosen);
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

// The typical call while another thread of the process keeps one core busy:
// two search threads must not be slower than one.
void BM_BusyCore(benchmark::State& state) {
    std::atomic<bool> stop{false};
    std::thread spinner([&stop] {
        while (!stop.load(std::memory_order_relaxed)) {
        }
    });
    RunOptions options;
    options.threads = static_cast<unsigned>(state.range(0));
    const Scenario scenario = linear_typical();
    for (auto _ : state) {
        Simulation sim(Build::Base);
        benchmark::DoNotOptimize(sim.call(scenario.inputs, 5, options));
    }
    stop = true;
    spinner.join();
    state.SetLabel(std::to_string(options.threads) + (options.threads == 1 ? " thread" : " threads") +
                   ", the other core busy");
    state.counters["time_per_sample"] = benchmark::Counter(check_call(scenario.inputs).sample_count,
                                                           benchmark::Counter::kIsIterationInvariantRate |
                                                               benchmark::Counter::kInvert);
}

void BM_V1(benchmark::State& s, Scenario sc, Search how) { BM_Call(s, Build::Preview, std::move(sc), how); }
void BM_V2(benchmark::State& s, Scenario sc, Search how) { BM_Call(s, Build::Base, std::move(sc), how); }
void BM_V3(benchmark::State& s, Scenario sc, Search how) { BM_Call(s, Build::PreviewHold, std::move(sc), how); }
void BM_V2_Avx512(benchmark::State& s, Scenario sc, Search how) {
    BM_Call(s, Build::Base, std::move(sc), how, true);
}

}  // namespace

// The typical call: literal, scalar, AVX2 lanes and AVX-512 lanes (with the
// table access chosen here, with gathers and with loads) on one thread, the
// widest lanes on two threads.
BENCHMARK_CAPTURE(BM_V2, linear_N300_literal, linear_typical(), kLiteral)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_V2, linear_N300_scalar_1thread, linear_typical(), kScalar1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_V2, linear_N300_avx2_1thread, linear_typical(), kAvx2_1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_V2_Avx512, linear_N300_avx512_1thread, linear_typical(), kWidest1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_V2_Avx512, linear_N300_avx512_gathers_1thread, linear_typical(), kWidest1Gathers)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_V2_Avx512, linear_N300_avx512_loads_1thread, linear_typical(), kWidest1Loads)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_V2, linear_N300_1thread_cancellable, linear_typical(), kWidest1Cancellable)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_V2, linear_N300_2threads, linear_typical(), kWidest2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_BusyCore)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_V2, model_N120_literal, model_typical(), kLiteral)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_V2, model_N120_2threads, model_typical(), kWidest2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_V1, v1_linear_N300_literal, linear_typical(), kLiteral)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_V1, v1_linear_N300_2threads, linear_typical(), kWidest2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_V3, v3_linear_N300_literal, linear_typical(), kLiteral)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_V3, v3_linear_N300_2threads, linear_typical(), kWidest2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_CostLiteral);
BENCHMARK(BM_CostTable);
BENCHMARK(BM_Batch8_OneAfterAnother)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Batch8_Parallel)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();
