// SPDX-License-Identifier: LGPL-2.1-or-later
#include "bench/cost_floor.hpp"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <vector>

#include "numeric/vpow/avx2.hpp"
#include "numeric/vpow/avx512.hpp"

namespace veltrax::bench {
namespace {

// Six moving terms of the typical call's cost, mid-run.
struct FloorTerms {
    static constexpr int kTerms = 6;
    double step[kTerms] = {0.081, 0.21, 0.36, 0.49, 0.6, 0.69};
    double free[kTerms] = {0.66, 0.67, 0.68, 0.69, 0.70, 0.71};
    double reference[kTerms] = {0.95, 0.95, 0.95, 0.95, 0.95, 0.95};
    double midpoint_power = 0.13;
    double exponent = 2.98;
};

}  // namespace

VELTRAX_BEGIN_AVX2
namespace floor_avx2 {
using vpow::avx2::Isa;
using vpow::avx2::pow_kernel;
#include "bench/cost_floor-inl.hpp"
}  // namespace floor_avx2
VELTRAX_END_TARGET

VELTRAX_BEGIN_AVX512
namespace floor_avx512 {
using vpow::avx512::Isa;
using vpow::avx512::pow_kernel;
#include "bench/cost_floor-inl.hpp"
}  // namespace floor_avx512
VELTRAX_END_TARGET

namespace {

template <class Sums>
double fastest_per_value(Sums sums) {
    // Moves over the start range, where every term's w stays above 0.
    std::vector<double> du(1024), out(du.size());
    for (std::size_t i = 0; i < du.size(); ++i) du[i] = -0.9 + 5.0 * static_cast<double>((i * 677) % 1024) / 1024.0;
    double fastest = 1e9;
    for (int round = 0; round < 40; ++round) {
        const auto begin = std::chrono::steady_clock::now();
        for (int pass = 0; pass < 16; ++pass) {
            sums(du.data(), du.size(), out.data());
            benchmark::DoNotOptimize(out.data());
            benchmark::ClobberMemory();
        }
        fastest = std::min(fastest, std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count());
    }
    return fastest / (16.0 * static_cast<double>(du.size() * FloorTerms::kTerms));
}

}  // namespace

double cost_floor_seconds_per_value(vpow::PowPath path, vpow::TableAccess access) {
    const FloorTerms terms;
    const bool loads = access == vpow::TableAccess::Loads;
    if (path == vpow::PowPath::Avx512)
        return fastest_per_value([&](const double* du, std::size_t n, double* out) {
            loads ? floor_avx512::cost_sums<vpow::TableAccess::Loads>(du, n, terms, out)
                  : floor_avx512::cost_sums<vpow::TableAccess::Gathers>(du, n, terms, out);
        });
    return fastest_per_value([&](const double* du, std::size_t n, double* out) {
        loads ? floor_avx2::cost_sums<vpow::TableAccess::Loads>(du, n, terms, out)
              : floor_avx2::cost_sums<vpow::TableAccess::Gathers>(du, n, terms, out);
    });
}

}  // namespace veltrax::bench
