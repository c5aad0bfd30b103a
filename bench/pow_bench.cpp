// SPDX-License-Identifier: LGPL-2.1-or-later
// Speed of the power function: std::pow, scalar_pow (the library core without
// its errno wrapper) and the vector power function's AVX2 and AVX-512 paths,
// each with table gathers and with table loads, on 1024 values of w in
// (0, 10] with the typical exponent p = 4. The counter time_per_value is the
// time per power (shown in s: 3.6n is 3.6 ns).
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "numeric/vpow/pow.hpp"

using namespace veltrax::vpow;

namespace {

constexpr double kExponent = 4.0;

std::vector<double> bases() {
    std::vector<double> w(1024);
    std::uint64_t state = 42;
    for (double& v : w) {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        v = 10.0 * (static_cast<double>((state >> 11) + 1) * 0x1p-53);
    }
    return w;
}

void report(benchmark::State& state, std::size_t n) {
    state.counters["time_per_value"] = benchmark::Counter(static_cast<double>(n),
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_PowStd(benchmark::State& state) {
    const std::vector<double> w = bases();
    std::vector<double> out(w.size());
    for (auto _ : state) {
        for (std::size_t i = 0; i < w.size(); ++i) out[i] = std::pow(w[i], kExponent);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    report(state, w.size());
}

void BM_PowScalarDirect(benchmark::State& state) {
    const std::vector<double> w = bases();
    std::vector<double> out(w.size());
    state.SetLabel(scalar_pow_is_direct() ? "__pow_finite" : "std::pow (fallback)");
    for (auto _ : state) {
        for (std::size_t i = 0; i < w.size(); ++i) out[i] = scalar_pow(w[i], kExponent);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    report(state, w.size());
}

void BM_PowVector(benchmark::State& state, PowPath path, TableAccess access) {
    if (!pow_path_usable(path)) {
        state.SkipWithError("path not usable on this machine");
        return;
    }
    state.SetLabel(std::string("selected: ") + pow_path_name(pow_path()) + " with table " +
                   table_access_name(table_access(pow_path())));
    const std::vector<double> w = bases();
    std::vector<double> out(w.size());
    for (auto _ : state) {
        pow_n_on(path, access, w.data(), w.size(), kExponent, out.data());
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    report(state, w.size());
}

}  // namespace

BENCHMARK(BM_PowStd);
BENCHMARK(BM_PowScalarDirect);
BENCHMARK_CAPTURE(BM_PowVector, avx2_gathers, PowPath::Avx2, TableAccess::Gathers);
BENCHMARK_CAPTURE(BM_PowVector, avx2_loads, PowPath::Avx2, TableAccess::Loads);
BENCHMARK_CAPTURE(BM_PowVector, avx512_gathers, PowPath::Avx512, TableAccess::Gathers);
BENCHMARK_CAPTURE(BM_PowVector, avx512_loads, PowPath::Avx512, TableAccess::Loads);
