// SPDX-License-Identifier: LGPL-2.1-or-later
// The plant on its own: a step of the Plant (the control applied, the sample
// period ended, the next one advanced and measured) beside the closed loop's
// process step (advance and measure), on the typical linear call and on the
// built-in model; and many plants stepped in one call, as the vectorised
// environment steps them (steps_per_second counts every plant's step).
#include <benchmark/benchmark.h>

#include <vector>

#include "api/call_request.hpp"
#include "api/internal.hpp"
#include "driver/sample_loop.hpp"

using namespace veltrax;

namespace {

Settings linear_settings() {
    Settings s;
    s.noise = {NoiseKind::Uniform, 0.01};
    return s;
}

Settings model_settings() {
    Settings s;
    s.noise = {NoiseKind::Uniform, 0.005};
    s.dead_time = 2;
    s.process = BodyModel{70, 6.48};
    s.curve = {50, 0.505, 2.98, 4.0};
    return s;
}

// The closed loop's process step as the sample loop runs it.
void BM_LoopProcessStep(benchmark::State& state, Settings settings) {
    SimulationState s;
    start_run<core::Build::Base>(s, call_request(settings));
    apply_control(s.plant, s.config, 0.5);
    const core::RunOptions options;
    long i = 0;
    for (auto _ : state) {
        SampleValues x;
        measure_sample(s, options, i++, x);
        benchmark::DoNotOptimize(x.y);
    }
}

void BM_PlantStep(benchmark::State& state, Settings settings) {
    Plant plant(settings, 7);
    for (auto _ : state) benchmark::DoNotOptimize(plant.step(0.5));
}

void BM_StepPlants(benchmark::State& state, Settings settings) {
    const std::size_t n = static_cast<std::size_t>(state.range(0));
    std::vector<Plant> plants;
    for (std::size_t k = 0; k < n; ++k) plants.emplace_back(settings, static_cast<long>(k + 1));
    std::vector<Plant*> pointers;
    for (Plant& p : plants) pointers.push_back(&p);
    std::vector<double> controls(n, 0.5), measured(n);
    for (auto _ : state) {
        step_plants(pointers.data(), n, controls.data(), measured.data());
        benchmark::DoNotOptimize(measured.data());
    }
    state.counters["steps_per_second"] =
        benchmark::Counter(static_cast<double>(state.iterations() * n), benchmark::Counter::kIsRate);
}

}  // namespace

BENCHMARK_CAPTURE(BM_LoopProcessStep, linear, linear_settings());
BENCHMARK_CAPTURE(BM_PlantStep, linear, linear_settings());
BENCHMARK_CAPTURE(BM_LoopProcessStep, model, model_settings());
BENCHMARK_CAPTURE(BM_PlantStep, model, model_settings());
BENCHMARK_CAPTURE(BM_StepPlants, model, model_settings())->Arg(64);
BENCHMARK_CAPTURE(BM_StepPlants, linear, linear_settings())->Arg(64);
