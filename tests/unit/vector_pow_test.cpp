// SPDX-License-Identifier: LGPL-2.1-or-later
// The vector power function (numeric/vpow/pow.hpp): bit identity with
// std::pow on random inputs, random bit patterns and edge inputs on each
// usable path; the kernels' intermediate values against the values the C
// library's own machine code computes (single-stepped with ptrace), with a
// check that leaving any one of its 20 fused multiply-adds unfused is caught;
// the tables against the installed libm; scalar_pow; the VELTRAX_SCALAR_POW
// switch.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "numeric/vpow/internal.hpp"
#include "numeric/vpow/pow.hpp"
#include "numeric/vpow/tables.hpp"
#include "pow_trace.hpp"
#include "pow_transcription.hpp"

#if defined(__x86_64__)
#include "numeric/vpow/avx2.hpp"
#include "numeric/vpow/avx512.hpp"
#endif

#if defined(__x86_64__) && defined(__linux__)
#include <gnu/libc-version.h>
#include <sys/ptrace.h>
#include <sys/user.h>
#include <sys/wait.h>
#include <unistd.h>
#define VPOW_TEST_PTRACE 1
#else
#define VPOW_TEST_PTRACE 0
#endif

using namespace veltrax::vpow;
using veltrax::testing::kPowStepNames;
using veltrax::testing::pow_step_is_fma;
using veltrax::testing::PowTrace;

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

std::uint64_t bits(double v) {
    std::uint64_t b;
    std::memcpy(&b, &v, sizeof b);
    return b;
}

double from_bits(std::uint64_t b) {
    double v;
    std::memcpy(&v, &b, sizeof v);
    return v;
}

// Compares pow_n_on(path) with std::pow for one exponent; returns the number
// of differing values and reports the first few.
long count_differences(PowPath path, const std::vector<double>& x, double y) {
    std::vector<double> out(x.size());
    pow_n_on(path, x.data(), x.size(), y, out.data());
    long differ = 0;
    for (std::size_t i = 0; i < x.size(); ++i) {
        const double expected = std::pow(x[i], y);
        if (bits(out[i]) != bits(expected)) {
            if (++differ <= 3)
                ADD_FAILURE() << pow_path_name(path) << ": pow(" << std::hexfloat << x[i] << ", " << y << ") = " << out[i]
                              << ", std::pow " << expected;
        }
    }
    return differ;
}

const std::vector<double>& edge_values() {
    static const std::vector<double> v = {
        0.0, -0.0, 1.0, -1.0, 2.0, -2.0, 0.5, -0.5, 3.0, -3.0, 10.0, 0.1, kInf, -kInf, kNaN, -kNaN,
        from_bits(0x7ff4000000000000ULL), 0x1p-1074, -0x1p-1074, 0x0.fffffffffffffp-1022, 0x1p-1022,
        0x1.0000000000001p-1022, 0x1.fffffffffffffp1023, -0x1.fffffffffffffp1023, std::nextafter(1.0, 0.0),
        std::nextafter(1.0, 2.0), 1.0 - 0x1p-30, 1.0 + 0x1p-30, 0x1.69555p-1, 0x1.69555p0, 0.505, 2.98, 4.0, 8.0,
        1e-300, 1e300, 0x1p-65, 0x1p-66, -0x1p-65, 0x1p63, -0x1p63, 0x1.749p62, 1023.0, 1024.0, 1074.0, 1075.0,
        -1022.0, -1074.0, -1075.0, 0.25, 7.0, 0x1p52, 0x1p53 + 2.0, 0x1.fffffffffffffp52};
    return v;
}

class VectorPowPath : public ::testing::TestWithParam<PowPath> {
protected:
    void SetUp() override {
        if (!pow_path_usable(GetParam()))
            GTEST_SKIP() << pow_path_name(GetParam()) << " not usable here:\n" << pow_selection_report();
    }
};

// (a) The cost's range and a broader one: 10^6 values.
TEST_P(VectorPowPath, RandomInputsMatchStdPow) {
    std::mt19937_64 rng(12345);
    std::uniform_real_distribution<double> w(0.0, 10.0), p(0.5, 8.0), wide_y(-60.0, 60.0), logx(-700.0, 700.0);
    std::vector<double> x(1000);
    long differ = 0;
    for (int block = 0; block < 800; ++block) {
        for (double& v : x) v = w(rng);
        differ += count_differences(GetParam(), x, p(rng));
    }
    for (int block = 0; block < 200; ++block) {
        for (double& v : x) v = std::exp(logx(rng) / 8.0);
        differ += count_differences(GetParam(), x, wide_y(rng));
    }
    EXPECT_EQ(differ, 0);
}

// (b) Arbitrary bit patterns: 5 * 10^5 values, half of the exponents in the
// range the library computes directly.
TEST_P(VectorPowPath, RandomBitPatternsMatchStdPow) {
    std::mt19937_64 rng(777);
    std::vector<double> x(1000);
    long differ = 0;
    for (int block = 0; block < 500; ++block) {
        for (double& v : x) v = from_bits(rng());
        std::uint64_t iy = rng();
        if (block % 2 == 0) iy = (iy & 0x800fffffffffffffULL) | ((0x3beULL + rng() % 0x80) << 52);
        differ += count_differences(GetParam(), x, from_bits(iy));
    }
    EXPECT_EQ(differ, 0);
}

// (c) Edge inputs: every edge x with every edge y, and x around the borders
// of the special paths.
TEST_P(VectorPowPath, EdgeInputsMatchStdPow) {
    long differ = 0;
    for (double y : edge_values()) differ += count_differences(GetParam(), edge_values(), y);
    // |y log x| around 2^-54, 512, the overflow limit 709.78 and the
    // underflow limits 708.4 (subnormal) and 745.13 (zero), in ulp steps.
    std::vector<double> x;
    for (double y : {1.0, 2.98, 8.0, -3.0, 0.5}) {
        x.clear();
        for (double t : {0x1p-54, 512.0, 709.782712893384, -708.3964185322641, -744.4400719213812, -745.1332191019411}) {
            for (double sign : {1.0, -1.0}) {
                double v = std::exp(sign * t / y);
                for (int k = 0; k < 8; ++k) v = std::nextafter(v, 0.0);
                for (int k = 0; k < 16; ++k, v = std::nextafter(v, kInf)) x.push_back(v);
            }
        }
        differ += count_differences(GetParam(), x, y);
    }
    // Integer exponents of negative and positive x; x next to 1.
    x.clear();
    for (int k = -40; k <= 40; ++k) x.push_back(1.0 + k * 0x1p-52);
    for (double v : {-2.0, -0.5, -10.0, -1e-300, -0x1p-1074}) x.push_back(v);
    for (double y : {2.0, 3.0, -1.0, -2.0, 4.0, 0x1p53, 1e10, 1e15})
        differ += count_differences(GetParam(), x, y);
    EXPECT_EQ(differ, 0);
}

// Any n, the tail block, and the output in place of the input.
TEST_P(VectorPowPath, AnyLengthAndInPlace) {
    std::vector<double> x, expected, out;
    for (std::size_t n = 0; n <= 19; ++n) {
        x.assign(n, 0.0);
        for (std::size_t i = 0; i < n; ++i) x[i] = 0.3 + 0.7 * static_cast<double>(i);
        out = x;
        pow_n_on(GetParam(), out.data(), n, 2.98, out.data());
        for (std::size_t i = 0; i < n; ++i) EXPECT_EQ(bits(out[i]), bits(std::pow(x[i], 2.98))) << n << " " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Paths, VectorPowPath, ::testing::Values(PowPath::Avx2, PowPath::Avx512),
                         [](const ::testing::TestParamInfo<PowPath>& info) {
                             return std::string(pow_path_name(info.param));
                         });

TEST(VectorPow, SelectionIsConsistent) {
    const PowPath best = pow_path();
    EXPECT_TRUE(pow_path_usable(PowPath::Scalar));
    EXPECT_TRUE(pow_path_usable(best));
    if (best == PowPath::Avx2) {
        EXPECT_FALSE(pow_path_usable(PowPath::Avx512));
    }
    std::printf("%s", pow_selection_report().c_str());
    const char* env = std::getenv("VELTRAX_SCALAR_POW");
    const bool forced = env != nullptr && std::strcmp(env, "1") == 0;
    // VELTRAX_POW_PATH=avx2 or =scalar caps the vector paths.
    const char* cap = std::getenv("VELTRAX_POW_PATH");
    const int widest = cap && std::strcmp(cap, "avx2") == 0 ? 1 : cap && std::strcmp(cap, "scalar") == 0 ? 0 : 2;
    EXPECT_LE(static_cast<int>(best), widest);
#if VPOW_TEST_PTRACE
    // On the library build the kernels transcribe, a CPU that has the
    // features must get the path: a failing self-check is a bug here.
    if (!forced && std::strcmp(gnu_get_libc_version(), "2.36") == 0) {
        for (PowPath path : {PowPath::Avx2, PowPath::Avx512}) {
            if (pow_path_supported_by_cpu(path) && static_cast<int>(path) <= widest) {
                EXPECT_TRUE(pow_path_usable(path)) << pow_path_name(path);
            }
        }
        EXPECT_TRUE(scalar_pow_is_direct());
    }
#endif
    double x[8] = {0.5, 1.5, 2.5, 3.5, 4.5, 5.5, 6.5, 0.0}, out[8];
    pow_n(x, 8, 4.0, out);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(bits(out[i]), bits(std::pow(x[i], 4.0)));
}

// VELTRAX_SCALAR_POW=1 forces std::pow: checked in a child run of this test.
TEST(VectorPow, EnvironmentForcesScalar) {
    const char* env = std::getenv("VELTRAX_SCALAR_POW");
    if (env != nullptr && std::strcmp(env, "1") == 0) {
        EXPECT_EQ(pow_path(), PowPath::Scalar);
        EXPECT_FALSE(pow_path_usable(PowPath::Avx2));
        EXPECT_FALSE(pow_path_usable(PowPath::Avx512));
        EXPECT_FALSE(scalar_pow_is_direct());
        return;
    }
#if VPOW_TEST_PTRACE
    char self[4096];
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    ASSERT_GT(length, 0);
    self[length] = '\0';
    const std::string command =
        "VELTRAX_SCALAR_POW=1 '" + std::string(self) + "' --gtest_filter=VectorPow.EnvironmentForcesScalar 2>&1";
    FILE* child = popen(command.c_str(), "r");
    ASSERT_NE(child, nullptr);
    std::string output;
    char buffer[256];
    while (std::fgets(buffer, sizeof buffer, child) != nullptr) output += buffer;
    EXPECT_EQ(pclose(child), 0) << output;
    EXPECT_NE(output.find("[  PASSED  ] 1 test"), std::string::npos) << output;
#else
    GTEST_SKIP() << "Linux only";
#endif
}

TEST(VectorPow, ScalarPowMatchesStdPow) {
    std::mt19937_64 rng(99);
    std::uniform_real_distribution<double> w(0.0, 10.0), p(0.5, 8.0);
    long differ = 0;
    for (int i = 0; i < 200000; ++i) {
        const double x = i % 2 ? w(rng) : from_bits(rng()), y = i % 4 < 2 ? p(rng) : from_bits(rng() >> (i % 3));
        differ += bits(scalar_pow(x, y)) != bits(std::pow(x, y));
    }
    for (double x : edge_values())
        for (double y : edge_values()) differ += bits(scalar_pow(x, y)) != bits(std::pow(x, y));
    EXPECT_EQ(differ, 0);
}

// ---------------------------------------------------------------------------
// Intermediate values (transcription: tests/support/pow_transcription.hpp).

using veltrax::testing::Steps;
using veltrax::testing::transcribe;

bool in_fast_path(double x, double y) {
    if (!(x >= 0x1p-1022 && x <= 0x1.fffffffffffffp1023)) return false;
    const std::uint32_t topy = static_cast<std::uint32_t>(bits(y) >> 52) & 0x7ff;
    if (topy - 0x3be >= 0x80) return false;
    Steps s;
    transcribe(x, y, -1, &s);
    return std::fabs(s.v[kMulEhi]) >= 0x1p-54 && std::fabs(s.v[kMulEhi]) < 512.0;
}

struct Case {
    double x, y;
};

std::vector<Case> fast_path_cases(int n, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> w(0.0, 10.0), p(0.5, 8.0), logx(-700.0, 700.0), wide_y(-20.0, 20.0);
    std::vector<Case> cases;
    while (static_cast<int>(cases.size()) < n) {
        const int kind = static_cast<int>(cases.size() % 4);
        Case c = kind < 2 ? Case{w(rng), p(rng)}
               : kind == 2 ? Case{std::exp(logx(rng) / 20.0), wide_y(rng)}
                           : Case{1.0 + std::ldexp(w(rng) - 5.0, -static_cast<int>(rng() % 40)), p(rng)};
        if (in_fast_path(c.x, c.y)) cases.push_back(c);
    }
    return cases;
}

#if defined(__x86_64__)
VELTRAX_AVX2 void trace_avx2(const double* x, double y, double* out, PowTrace<4>* trace) {
    avx2::Isa::storeu(out, avx2::pow_kernel(avx2::Isa::loadu(x), y, *trace));
}

VELTRAX_AVX512 void trace_avx512(const double* x, double y, double* out, PowTrace<8>* trace) {
    avx512::Isa::storeu(out, avx512::pow_kernel(avx512::Isa::loadu(x), y, *trace));
}
#endif

// The vector kernels record the same intermediate values as the scalar
// transcription, in every lane.
TEST(VectorPowIntermediates, KernelsMatchScalarTranscription) {
#if defined(__x86_64__)
    const bool avx2 = pow_path_supported_by_cpu(PowPath::Avx2), avx512 = pow_path_supported_by_cpu(PowPath::Avx512);
    if (!avx2) GTEST_SKIP() << "no AVX2 and FMA";
    const std::vector<Case> cases = fast_path_cases(40000, 5);
    long differ = 0;
    for (std::size_t c = 0; c + 8 <= cases.size(); c += 8) {
        const double y = cases[c].y;
        double x[8], out[8];
        for (int l = 0; l < 8; ++l) x[l] = cases[c + l].x;
        PowTrace<4> t4[2];
        PowTrace<8> t8;
        trace_avx2(x, y, out, &t4[0]);
        trace_avx2(x + 4, y, out + 4, &t4[1]);
        if (avx512) trace_avx512(x, y, out, &t8);
        for (int l = 0; l < 8; ++l) {
            if (!in_fast_path(x[l], y)) continue;
            Steps s;
            transcribe(x[l], y, -1, &s);
            for (int step = 0; step < kPowSteps; ++step) {
                const double v4 = t4[l / 4].v[step][l % 4];
                if (bits(v4) != bits(s.v[step]) && ++differ <= 5)
                    ADD_FAILURE() << "avx2 " << kPowStepNames[step] << " x=" << std::hexfloat << x[l]
                                  << " y=" << y << ": " << v4 << " vs " << s.v[step];
                if (avx512 && bits(t8.v[step][l]) != bits(s.v[step]) && ++differ <= 5)
                    ADD_FAILURE() << "avx512 " << kPowStepNames[step] << " x=" << std::hexfloat << x[l];
            }
            differ += bits(s.v[kResult]) != bits(std::pow(x[l], y));
        }
    }
    EXPECT_EQ(differ, 0);
#else
    GTEST_SKIP() << "x86-64 only";
#endif
}

#if VPOW_TEST_PTRACE
// Runs std::pow on every case in a child process, single-stepping it, and
// returns for each case the set of values (low 64 bits of xmm0 .. xmm15) that
// the instructions of libm left in the registers. Empty when ptrace is not
// permitted.
std::vector<std::set<std::uint64_t>> library_register_values(const std::vector<Case>& cases) {
    std::uint64_t lo = 0, hi = 0;
    {
        std::ifstream maps("/proc/self/maps");
        std::string line;
        while (std::getline(maps, line)) {
            if (line.find("/libm.so") == std::string::npos) continue;
            unsigned long a, b;
            char perms[8];
            if (std::sscanf(line.c_str(), "%lx-%lx %7s", &a, &b, perms) == 3 && perms[2] == 'x') {
                lo = a;
                hi = b;
            }
        }
    }
    if (lo == 0) return {};
    const pid_t pid = fork();
    if (pid == 0) {
        double (*volatile pow_function)(double, double) = &::pow;
        if (ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0) _exit(2);
        raise(SIGSTOP);
        for (const Case& c : cases) {
            volatile double r = pow_function(c.x, c.y);
            (void)r;
            raise(SIGSTOP);
        }
        _exit(0);
    }
    std::vector<std::set<std::uint64_t>> values(cases.size());
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFSTOPPED(status)) return {};
    ptrace(PTRACE_SETOPTIONS, pid, nullptr, reinterpret_cast<void*>(PTRACE_O_EXITKILL));
    std::size_t index = 0;
    bool previous_in_libm = false;
    // A native run takes a few hundred steps per case; under valgrind the
    // child never reaches libm's own code, and stepping it would take hours.
    long steps_in_case = 0;
    for (;;) {
        if (++steps_in_case > 20000 || ptrace(PTRACE_SINGLESTEP, pid, nullptr, nullptr) != 0) break;
        if (waitpid(pid, &status, 0) != pid || WIFEXITED(status) || WIFSIGNALED(status)) break;
        if (WSTOPSIG(status) == SIGSTOP) {
            ++index;
            steps_in_case = 0;
            continue;
        }
        user_regs_struct regs;
        ptrace(PTRACE_GETREGS, pid, nullptr, &regs);
        const bool in_libm = regs.rip >= lo && regs.rip < hi;
        if ((in_libm || previous_in_libm) && index < cases.size()) {
            user_fpregs_struct fp;
            ptrace(PTRACE_GETFPREGS, pid, nullptr, &fp);
            for (int r = 0; r < 16; ++r)
                values[index].insert(static_cast<std::uint64_t>(fp.xmm_space[4 * r]) |
                                     static_cast<std::uint64_t>(fp.xmm_space[4 * r + 1]) << 32);
        }
        previous_in_libm = in_libm;
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    if (index < cases.size()) return {};
    return values;
}
#endif

// (d) Every intermediate value of the transcription (and so of the kernels,
// above) occurs among the values the library's own machine code computes for
// the same input; and leaving any one of the 20 fused multiply-adds unfused
// computes values the library never computes: its separately rounded product
// (so the library fuses that step), and for most steps also a different
// result of the step on some inputs.
TEST(VectorPowIntermediates, MatchTheLibrarysMachineCode) {
#if VPOW_TEST_PTRACE
    if (std::strcmp(gnu_get_libc_version(), "2.36") != 0) GTEST_SKIP() << "transcribed from glibc 2.36";
    if (!pow_path_supported_by_cpu(PowPath::Avx2)) GTEST_SKIP() << "the library runs its non-FMA variant here";
    const std::vector<Case> cases = fast_path_cases(96, 11);
    const auto library = library_register_values(cases);
    if (library.empty()) GTEST_SKIP() << "cannot single-step the library here (ptrace not permitted, or valgrind)";
    for (std::size_t c = 0; c < cases.size(); ++c) {
        Steps s;
        transcribe(cases[c].x, cases[c].y, -1, &s);
        for (int step = 0; step < kPowSteps; ++step)
            EXPECT_TRUE(library[c].count(bits(s.v[step])))
                << kPowStepNames[step] << " of pow(" << std::hexfloat << cases[c].x << ", " << cases[c].y
                << ") = " << s.v[step] << " is not a value the library computes";
    }
    int fused = 0;
    for (int step = 0; step < kPowSteps; ++step) {
        if (!pow_step_is_fma(step)) continue;
        ++fused;
        // Caught on an input when the mutant's separate product is not in the
        // library's registers (apart from the products that coincide with
        // another step, as ar * r with ar2, or are 0 for k = 0), or when a
        // step gives a value the library does not compute.
        std::size_t product_absent = 0, step_differs = 0, caught = 0;
        for (std::size_t c = 0; c < cases.size(); ++c) {
            Steps s;
            transcribe(cases[c].x, cases[c].y, step, &s);
            const bool absent = !library[c].count(bits(s.product));
            bool differs = false;
            for (int t = 0; t < kPowSteps; ++t) differs = differs || !library[c].count(bits(s.v[t]));
            product_absent += absent;
            step_differs += differs;
            caught += absent || differs;
        }
        EXPECT_GE(caught, cases.size() / 2) << "unfusing " << kPowStepNames[step] << " goes unnoticed";
        std::printf("unfused %-13s caught in %2zu of %zu cases: product absent in %2zu, another value in %2zu\n",
                    kPowStepNames[step], caught, cases.size(), product_absent, step_differs);
    }
    EXPECT_EQ(fused, 20);
#else
    GTEST_SKIP() << "x86-64 Linux only";
#endif
}

// The self-check's fixed inputs tell the library's pow from one that
// computes any of the fused steps unfused whose effect on results a search
// could find (tests/tools/find_pow_witnesses: 6 of the 20 steps).
TEST(VectorPowIntermediates, SelfCheckInputsCatchUnfusedSteps) {
    std::set<int> caught;
    for (const detail::PowCheckGroup& g : detail::self_check_groups()) {
        for (double x : g.x) {
            if (!in_fast_path(x, g.y)) continue;
            for (int step = 0; step < kPowSteps; ++step) {
                if (!pow_step_is_fma(step)) continue;
                Steps s;
                transcribe(x, g.y, step, &s);
                if (bits(s.v[kResult]) != bits(std::pow(x, g.y))) caught.insert(step);
            }
        }
    }
    for (int step : {kLogR, kLogLo3, kLogLo, kMulErr, kExpP, kResult})
        EXPECT_TRUE(caught.count(step)) << kPowStepNames[step];
}

// The tables are the installed library's: each structure occurs byte for
// byte in libm.
TEST(VectorPowTables, OccurInTheInstalledLibm) {
#if VPOW_TEST_PTRACE
    std::ifstream maps("/proc/self/maps");
    std::string line, path;
    while (std::getline(maps, line)) {
        const auto at = line.find('/');
        if (at != std::string::npos && line.find("/libm.so") != std::string::npos) path = line.substr(at);
    }
    if (path.empty()) GTEST_SKIP() << "libm not mapped";
    std::ifstream file(path, std::ios::binary);
    const std::vector<char> data((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    auto occurs = [&data](const void* p, std::size_t n) {
        const char* b = static_cast<const char*>(p);
        return std::search(data.begin(), data.end(), b, b + n) != data.end();
    };
    EXPECT_TRUE(occurs(&detail::kPowLogData, sizeof detail::kPowLogData)) << path;
    EXPECT_TRUE(occurs(&detail::kExpData, sizeof detail::kExpData)) << path;
#else
    GTEST_SKIP() << "Linux only";
#endif
}

}  // namespace
