// SPDX-License-Identifier: LGPL-2.1-or-later
// Verifies that the power kernels repeat this machine's C library exactly,
// before its version is added to the verified list (numeric/vpow/select.cpp);
// scripts/verify-pow.sh builds and runs it:
//
//   verify_pow [COUNT [SEED [THREADS]]]     default 100000000 1 2
//
// 1. the kernels' tables occur in the installed libm;
// 2. the self-check passes on every vector path the CPU has (with table
//    gathers and with table loads), and on the library's core without its
//    errno wrapper (__pow_finite);
// 3. COUNT values in blocks of 4096 with one exponent each - 60 % in the
//    cost's range (w in (0, 10], p in [0.5, 8]), 20 % broad (x = e^t,
//    |y log x| up to 750, y in [-100, 100]), 20 % arbitrary bit patterns -
//    give the bits of std::pow on each of them (both table accesses);
// 4. single-stepping the library's pow finds every intermediate value of the
//    transcription among its registers, and each of its 20 fused
//    multiply-adds computed unfused is caught.
// Prints each result and a verdict; exits 0 only when every check passed.
// The checks do not depend on the verified list: they run on any version.
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "libm_checks.hpp"
#include "numeric/vpow/internal.hpp"
#include "numeric/vpow/pow.hpp"

#if defined(__GLIBC__)
#include <dlfcn.h>
#include <gnu/libc-version.h>
#endif

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

using veltrax::testing::pow_bits;
using veltrax::testing::pow_from_bits;

// The library's core without its errno wrapper, or null.
detail::PowFunction library_core() {
#if defined(__GLIBC__) && defined(__x86_64__)
    return reinterpret_cast<detail::PowFunction>(dlvsym(RTLD_DEFAULT, "__pow_finite", "GLIBC_2.15"));
#else
    return nullptr;
#endif
}

// One block of inputs, of the kind that block number b draws.
double draw_block(long long b, std::uint64_t seed, std::vector<double>& x) {
    Rng rng{seed * 0x100000001b3ULL + static_cast<std::uint64_t>(b)};
    const int kind = b % 5 < 3 ? 0 : b % 5 == 3 ? 1 : 2;
    if (kind == 0) {
        const double y = rng.uniform(0.5, 8.0);
        for (double& v : x) v = rng.uniform(0.0, 10.0);
        return y;
    }
    if (kind == 1) {
        const double y = rng.uniform(-100.0, 100.0);
        for (double& v : x) v = std::exp(rng.uniform(-750.0, 750.0) / std::fabs(y));
        return y;
    }
    std::uint64_t iy = rng.next();
    if (b % 2 == 0) iy = (iy & 0x800fffffffffffffULL) | ((0x3beULL + rng.next() % 0x80) << 52);
    for (double& v : x) v = pow_from_bits(rng.next());
    return pow_from_bits(iy);
}

// Step 3: values that differ from std::pow on each path; index 0 is the core.
std::vector<long long> compare_values(const std::vector<PowPath>& paths, detail::PowFunction core, long long count,
                                      std::uint64_t seed, int threads) {
    const long long blocks = (count + static_cast<long long>(kBlock) - 1) / static_cast<long long>(kBlock);
    std::atomic<long long> next{0};
    std::atomic<long long> differ[3] = {0, 0, 0};
    auto work = [&]() {
        std::vector<double> x(kBlock), expected(kBlock), out(kBlock);
        for (long long b = next++; b < blocks; b = next++) {
            const double y = draw_block(b, seed, x);
            for (std::size_t i = 0; i < kBlock; ++i) expected[i] = std::pow(x[i], y);
            for (PowPath p : paths) {
                for (TableAccess access : {TableAccess::Gathers, TableAccess::Loads}) {
                    pow_n_on(p, access, x.data(), kBlock, y, out.data());
                    for (std::size_t i = 0; i < kBlock; ++i)
                        if (pow_bits(out[i]) != pow_bits(expected[i]) && differ[static_cast<int>(p)]++ < 2)
                            std::printf("  DIFF %s with table %s: pow(%a, %a) = %a, std::pow %a\n", pow_path_name(p),
                                        table_access_name(access), x[i], y, out[i], expected[i]);
                }
            }
            if (core)
                for (std::size_t i = 0; i < kBlock; ++i)
                    if (pow_bits(core(x[i], y)) != pow_bits(expected[i]) && differ[0]++ < 2)
                        std::printf("  DIFF __pow_finite(%a, %a), std::pow %a\n", x[i], y, expected[i]);
        }
    };
    std::vector<std::thread> team;
    for (int t = 0; t < threads; ++t) team.emplace_back(work);
    for (auto& t : team) t.join();
    return {differ[0].load(), differ[1].load(), differ[2].load()};
}

}  // namespace

int main(int argc, char** argv) {
    const long long count = argc > 1 ? std::atoll(argv[1]) : 100000000LL;
    const std::uint64_t seed = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1;
    const int threads = argc > 3 ? std::atoi(argv[3]) : 2;
#if defined(__GLIBC__)
    const std::string version = gnu_get_libc_version();
#else
    const std::string version = "(not glibc)";
#endif
    const std::string libm = veltrax::testing::mapped_libm();
    std::printf("C library: glibc %s, %s (%s)\n", version.c_str(), libm.c_str(),
                detail::pow_library_verified() ? "already verified" : "not yet verified");
    bool ok = true;
    auto verdict = [&ok](bool passed, const std::string& what) {
        std::printf("%s %s\n", passed ? "  ok  " : "  FAIL", what.c_str());
        ok = ok && passed;
    };

    std::printf("1. tables\n");
    const auto tables = veltrax::testing::find_tables(libm);
    verdict(tables.log_data, "__pow_log_data occurs in the library");
    verdict(tables.exp_data, "__exp_data occurs in the library (" + std::to_string(tables.exp_gap_doubles) +
                                 " doubles between its constants and its table)");

    std::printf("2. self-check\n");
    std::vector<PowPath> paths;
    for (PowPath p : {PowPath::Avx2, PowPath::Avx512}) {
        if (!pow_path_supported_by_cpu(p)) {
            std::printf("  --   %s: not checked, the CPU does not have it\n", pow_path_name(p));
            continue;
        }
        paths.push_back(p);
        verdict(detail::self_check(p), std::string(pow_path_name(p)) + " kernel");
    }
    verdict(!paths.empty(), "at least the AVX2 kernel checked (the library's FMA variant runs only with AVX2)");
    const detail::PowFunction core = library_core();
    verdict(core != nullptr && detail::self_check(core), "__pow_finite@GLIBC_2.15, the core without errno");

    std::printf("3. %lld values compared with std::pow (seed %llu)\n", count, static_cast<unsigned long long>(seed));
    const std::vector<long long> differ = compare_values(paths, core, count, seed, threads);
    for (PowPath p : paths) verdict(differ[static_cast<int>(p)] == 0, std::string(pow_path_name(p)) + ": " +
                                                                          std::to_string(differ[static_cast<int>(p)]) +
                                                                          " differ");
    verdict(core != nullptr && differ[0] == 0, "__pow_finite: " + std::to_string(differ[0]) + " differ");

    std::printf("4. the library's machine code, single-stepped\n");
    const auto m = veltrax::testing::compare_with_machine_code(veltrax::testing::fast_path_cases(96, 11));
    verdict(m.stepped, "single-stepping possible (ptrace permitted)");
    if (m.stepped) {
        verdict(m.missing == 0, "every intermediate value among the library's registers" +
                                    (m.missing ? " (not: " + m.first_missing + ")" : std::string()));
        std::printf("%s", m.per_step.c_str());
        verdict(m.fused == 20 && m.fused_caught == 20,
                std::to_string(m.fused_caught) + " of 20 fused steps caught when computed unfused");
    }

    if (ok && detail::pow_library_verified())
        std::printf("verdict: verified - glibc %s, already listed in numeric/vpow/select.cpp\n", version.c_str());
    else if (ok)
        std::printf("verdict: verified - glibc %s may be added to kVerifiedLibraries in numeric/vpow/select.cpp\n",
                    version.c_str());
    else
        std::printf("verdict: NOT verified - glibc %s must stay on the scalar path\n", version.c_str());
    return ok ? 0 : 1;
}
