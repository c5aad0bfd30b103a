// SPDX-License-Identifier: LGPL-2.1-or-later
// A long random comparison of the vector power function with std::pow, to
// run by hand (the unit tests compare a few million values):
//
//   compare_pow [COUNT [SEED [THREADS]]]     default 100000000 1 2
//
// COUNT values in blocks of 4096 with one exponent each: 60 % in the cost's
// range (w in (0, 10], p in [0.5, 8]), 20 % broad (x = e^t, |y log x| up to
// 750, y in [-100, 100]), 20 % arbitrary bit patterns (half of the exponents
// in the range the library computes directly). Every value is computed on
// each usable vector path and compared bit for bit with std::pow.
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "numeric/vpow/pow.hpp"

using namespace veltrax::vpow;

namespace {

constexpr std::size_t kBlock = 4096;

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

double from_bits(std::uint64_t b) {
    double v;
    std::memcpy(&v, &b, sizeof v);
    return v;
}

std::uint64_t bits(double v) {
    std::uint64_t b;
    std::memcpy(&b, &v, sizeof b);
    return b;
}

}  // namespace

int main(int argc, char** argv) {
    const long long count = argc > 1 ? std::atoll(argv[1]) : 100000000LL;
    const std::uint64_t seed = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1;
    const int threads = argc > 3 ? std::atoi(argv[3]) : 2;
    std::printf("%s", pow_selection_report().c_str());
    std::vector<PowPath> paths;
    for (PowPath p : {PowPath::Avx2, PowPath::Avx512})
        if (pow_path_usable(p)) paths.push_back(p);
    const long long blocks = (count + kBlock - 1) / kBlock;
    std::atomic<long long> next{0};
    std::atomic<long long> compared[3] = {0, 0, 0}, differ[3] = {0, 0, 0};
    std::atomic<long long> kind_count[3] = {0, 0, 0};
    auto work = [&]() {
        std::vector<double> x(kBlock), expected(kBlock), out(kBlock);
        for (;;) {
            const long long b = next.fetch_add(1);
            if (b >= blocks) return;
            Rng rng{seed * 0x100000001b3ULL + static_cast<std::uint64_t>(b)};
            const int kind = b % 5 < 3 ? 0 : b % 5 == 3 ? 1 : 2;
            double y;
            if (kind == 0) {
                y = rng.uniform(0.5, 8.0);
                for (double& v : x) v = rng.uniform(0.0, 10.0);
            } else if (kind == 1) {
                y = rng.uniform(-100.0, 100.0);
                for (double& v : x) v = std::exp(rng.uniform(-750.0, 750.0) / std::fabs(y));
            } else {
                std::uint64_t iy = rng.next();
                if (b % 2 == 0) iy = (iy & 0x800fffffffffffffULL) | ((0x3beULL + rng.next() % 0x80) << 52);
                y = from_bits(iy);
                for (double& v : x) v = from_bits(rng.next());
            }
            for (std::size_t i = 0; i < kBlock; ++i) expected[i] = std::pow(x[i], y);
            kind_count[kind] += kBlock;
            for (PowPath p : paths) {
                pow_n_on(p, x.data(), kBlock, y, out.data());
                long long d = 0;
                for (std::size_t i = 0; i < kBlock; ++i) {
                    if (bits(out[i]) != bits(expected[i])) {
                        if (++d <= 2)
                            std::printf("DIFF %s pow(%a, %a) = %a, std::pow %a\n", pow_path_name(p), x[i], y, out[i],
                                        expected[i]);
                    }
                }
                compared[static_cast<int>(p)] += kBlock;
                differ[static_cast<int>(p)] += d;
            }
        }
    };
    std::vector<std::thread> team;
    for (int t = 0; t < threads; ++t) team.emplace_back(work);
    for (auto& t : team) t.join();
    std::printf("inputs: %lld cost range, %lld broad, %lld bit patterns\n", kind_count[0].load(), kind_count[1].load(),
                kind_count[2].load());
    int status = 0;
    for (PowPath p : paths) {
        const int i = static_cast<int>(p);
        std::printf("%s: %lld values compared, %lld differ from std::pow\n", pow_path_name(p), compared[i].load(),
                    differ[i].load());
        status |= differ[i].load() != 0;
    }
    if (paths.empty()) std::printf("no vector path usable here\n");
    return status;
}
