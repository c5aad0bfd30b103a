// SPDX-License-Identifier: LGPL-2.1-or-later
// Searches inputs on which computing one of the library pow's 20 fused
// multiply-adds unfused changes the final result (tests/support/
// pow_transcription.hpp), for the fixed input set of the vector power
// function's self-check (numeric/vpow/select.cpp):
//
//   find_pow_witnesses [COUNT [SEED [THREADS]]]     default 1000000000 1 2
//
// Most such changes move the result by far less than half a unit in the last
// place, so only inputs whose result lies close to a rounding boundary can
// show them: the search keeps the inputs within 2^-14 ulp of a midpoint and
// tries every unfused variant on them. Prints, per step, how many inputs it
// changed and the first two as hexadecimal floats.
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

#include "pow_transcription.hpp"

using namespace veltrax::testing;
namespace d = veltrax::vpow;

namespace {

struct Rng {
    std::uint64_t s;
    std::uint64_t next() {
        std::uint64_t z = (s += 0x9e3779b97f4a7c15ULL);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        return z ^ (z >> 31);
    }
    double uniform(double lo, double hi) { return lo + (hi - lo) * (static_cast<double>(next() >> 11) * 0x1p-53); }
};

}  // namespace

int main(int argc, char** argv) {
    const long long count = argc > 1 ? std::atoll(argv[1]) : 1000000000LL;
    const std::uint64_t seed = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1;
    const int threads = argc > 3 ? std::atoi(argv[3]) : 2;
    constexpr long long kChunk = 1 << 18;
    std::atomic<long long> next{0}, candidates{0};
    std::mutex lock;
    long long changed[kPowSteps] = {};
    std::vector<std::pair<double, double>> found[kPowSteps];
    auto work = [&]() {
        for (;;) {
            const long long c = next.fetch_add(1);
            if (c * kChunk >= count) return;
            Rng rng{seed * 0x100000001b3ULL + static_cast<std::uint64_t>(c)};
            long long mine = 0;
            for (long long i = 0; i < kChunk; ++i) {
                // Half in the cost's range, half broad.
                double x, y;
                if (i % 2 == 0) {
                    x = rng.uniform(0.0, 10.0);
                    y = rng.uniform(0.5, 8.0);
                } else {
                    y = rng.uniform(-40.0, 40.0);
                    x = std::exp(rng.uniform(-500.0, 500.0) / std::fabs(y));
                }
                if (!(x >= 0x1p-1022)) continue;
                Steps s;
                transcribe(x, y, -1, &s);
                const double ehi = std::fabs(s.v[d::kMulEhi]);
                if (!(ehi >= 0x1p-54 && ehi < 512.0)) continue;
                const double res = s.v[d::kResult], scale = s.v[d::kExpScale];
                const double err = std::fma(s.v[d::kExpTmp], scale, scale - res);  // exact value - result
                const double ulp = std::nextafter(res, INFINITY) - res;
                if (!(std::fabs(0.5 * ulp - std::fabs(err)) < 0x1p-14 * ulp)) continue;
                ++mine;
                for (int step = 0; step < kPowSteps; ++step) {
                    if (!pow_step_is_fma(step)) continue;
                    Steps m;
                    transcribe(x, y, step, &m);
                    if (pow_bits(m.v[d::kResult]) == pow_bits(res)) continue;
                    std::lock_guard<std::mutex> g(lock);
                    ++changed[step];
                    if (found[step].size() < 2) found[step].push_back({x, y});
                }
            }
            candidates += mine;
        }
    };
    std::vector<std::thread> team;
    for (int t = 0; t < threads; ++t) team.emplace_back(work);
    for (auto& t : team) t.join();
    std::printf("%lld inputs, %lld within 2^-14 ulp of a midpoint\n", count, candidates.load());
    for (int step = 0; step < kPowSteps; ++step) {
        if (!pow_step_is_fma(step)) continue;
        std::printf("%-14s changed %6lld", kPowStepNames[step], changed[step]);
        for (const auto& [x, y] : found[step]) std::printf("  {%a, %a}", x, y);
        std::printf("\n");
    }
    return 0;
}
