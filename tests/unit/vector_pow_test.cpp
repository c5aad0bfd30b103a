// SPDX-License-Identifier: LGPL-2.1-or-later
// The vector power function (numeric/vpow/pow.hpp): bit identity with
// std::pow on random inputs, random bit patterns and edge inputs on each
// usable path; the kernels' intermediate values against the values the C
// library's own machine code computes (single-stepped with ptrace), with a
// check that leaving any one of its 20 fused multiply-adds unfused is caught;
// the tables against the installed libm; scalar_pow; the VELTRAX_POW_PATH
// switch.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "libm_checks.hpp"
#include "numeric/vpow/internal.hpp"
#include "numeric/vpow/pow.hpp"
#include "numeric/vpow/process_memo.hpp"
#include "pow_trace.hpp"
#include "pow_transcription.hpp"

#if defined(__x86_64__)
#include "numeric/vpow/avx2.hpp"
#include "numeric/vpow/avx512.hpp"
#endif

#if defined(__linux__)
#include <linux/keyctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#define VPOW_TEST_CHILD_RUNS 1
#else
#define VPOW_TEST_CHILD_RUNS 0
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

// A vector path and its way of reading the tables.
struct Kernel {
    PowPath path;
    TableAccess access;
};

// Compares pow_n_on(path, access) with std::pow for one exponent; returns
// the number of differing values and reports the first few.
long count_differences(Kernel kernel, const std::vector<double>& x, double y) {
    const PowPath path = kernel.path;
    std::vector<double> out(x.size());
    pow_n_on(path, kernel.access, x.data(), x.size(), y, out.data());
    long differ = 0;
    for (std::size_t i = 0; i < x.size(); ++i) {
        const double expected = std::pow(x[i], y);
        if (bits(out[i]) != bits(expected)) {
            if (++differ <= 3)
                ADD_FAILURE() << pow_path_name(path) << " " << table_access_name(kernel.access) << ": pow("
                              << std::hexfloat << x[i] << ", " << y << ") = " << out[i]
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

class VectorPowPath : public ::testing::TestWithParam<Kernel> {
protected:
    void SetUp() override {
        if (!pow_path_usable(GetParam().path))
            GTEST_SKIP() << pow_path_name(GetParam().path) << " not usable here:\n" << pow_selection_report();
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
        pow_n_on(GetParam().path, GetParam().access, out.data(), n, 2.98, out.data());
        for (std::size_t i = 0; i < n; ++i) EXPECT_EQ(bits(out[i]), bits(std::pow(x[i], 2.98))) << n << " " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Paths, VectorPowPath,
                         ::testing::Values(Kernel{PowPath::Avx2, TableAccess::Gathers},
                                           Kernel{PowPath::Avx2, TableAccess::Loads},
                                           Kernel{PowPath::Avx512, TableAccess::Gathers},
                                           Kernel{PowPath::Avx512, TableAccess::Loads}),
                         [](const ::testing::TestParamInfo<Kernel>& info) {
                             return std::string(pow_path_name(info.param.path)) + "_" +
                                    table_access_name(info.param.access);
                         });

// The widest path VELTRAX_POW_PATH allows: 2 (avx512, auto, unset or not
// understood), 1 (avx2) or 0 (scalar).
int widest_allowed() {
    const char* env = std::getenv("VELTRAX_POW_PATH");
    const std::string value = env ? env : "";
    return value == "scalar" ? 0 : value == "avx2" ? 1 : 2;
}

TEST(VectorPow, SelectionIsConsistent) {
    const PowPath best = pow_path();
    EXPECT_TRUE(pow_path_usable(PowPath::Scalar));
    EXPECT_TRUE(pow_path_usable(best));
    if (best == PowPath::Avx2) {
        EXPECT_FALSE(pow_path_usable(PowPath::Avx512));
    }
    std::printf("%s\n%s", pow_summary().c_str(), pow_selection_report().c_str());
    EXPECT_EQ(pow_summary().rfind(std::string("power: ") + pow_path_name(best), 0), 0u) << pow_summary();
    EXPECT_LE(static_cast<int>(best), widest_allowed());
    // On a verified library, a CPU that has the features must get the path
    // the switch allows: a failing self-check is a bug here.
    if (detail::pow_library_verified()) {
        for (PowPath path : {PowPath::Avx2, PowPath::Avx512}) {
            if (pow_path_supported_by_cpu(path) && static_cast<int>(path) <= widest_allowed()) {
                EXPECT_TRUE(pow_path_usable(path)) << pow_path_name(path);
            }
        }
        EXPECT_TRUE(scalar_pow_is_direct());
        EXPECT_NE(pow_summary().find(" verified"), std::string::npos) << pow_summary();
    } else {
        EXPECT_EQ(best, PowPath::Scalar);
        EXPECT_FALSE(scalar_pow_is_direct());
        EXPECT_NE(pow_summary().find("not verified"), std::string::npos) << pow_summary();
    }
    double x[8] = {0.5, 1.5, 2.5, 3.5, 4.5, 5.5, 6.5, 0.0}, out[8];
    pow_n(x, 8, 4.0, out);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(bits(out[i]), bits(std::pow(x[i], 4.0)));
}

// VELTRAX_POW_PATH caps the path and the summary says so; a value it does
// not understand means auto. Checked in child runs of this test.
TEST(VectorPow, SwitchCapsThePath) {
    if (const char* env = std::getenv("VELTRAX_POW_PATH")) {
        const std::string value = env;
        EXPECT_LE(static_cast<int>(pow_path()), widest_allowed());
        if (value == "scalar") {
            EXPECT_FALSE(pow_path_usable(PowPath::Avx2));
            EXPECT_FALSE(pow_path_usable(PowPath::Avx512));
        }
        const std::string expected =
            value == "sideways" ? "VELTRAX_POW_PATH=sideways is not auto" : "VELTRAX_POW_PATH=" + value;
        EXPECT_NE(pow_summary().find(expected), std::string::npos) << pow_summary();
        return;
    }
#if VPOW_TEST_CHILD_RUNS
    char self[4096];
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    ASSERT_GT(length, 0);
    self[length] = '\0';
    for (const char* value : {"scalar", "avx2", "sideways"}) {
        const std::string command = std::string("VELTRAX_POW_PATH=") + value + " '" + self +
                                    "' --gtest_filter=VectorPow.SwitchCapsThePath 2>&1";
        FILE* child = popen(command.c_str(), "r");
        ASSERT_NE(child, nullptr);
        std::string output;
        char buffer[256];
        while (std::fgets(buffer, sizeof buffer, child) != nullptr) output += buffer;
        EXPECT_EQ(pclose(child), 0) << output;
        EXPECT_NE(output.find("[  PASSED  ] 1 test"), std::string::npos) << output;
    }
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

using veltrax::testing::fast_path_cases;
using veltrax::testing::in_fast_path;
using veltrax::testing::PowCase;
using veltrax::testing::Steps;
using veltrax::testing::transcribe;

#if defined(__x86_64__)
template <TableAccess Access>
VELTRAX_AVX2 void trace_avx2(const double* x, double y, double* out, PowTrace<4>* trace) {
    avx2::Isa::storeu(out, avx2::pow_kernel<Access>(avx2::Isa::loadu(x), y, *trace));
}

template <TableAccess Access>
VELTRAX_AVX512 void trace_avx512(const double* x, double y, double* out, PowTrace<8>* trace) {
    avx512::Isa::storeu(out, avx512::pow_kernel<Access>(avx512::Isa::loadu(x), y, *trace));
}
#endif

// The vector kernels record the same intermediate values as the scalar
// transcription, in every lane.
TEST(VectorPowIntermediates, KernelsMatchScalarTranscription) {
#if defined(__x86_64__)
    const bool avx2 = pow_path_supported_by_cpu(PowPath::Avx2), avx512 = pow_path_supported_by_cpu(PowPath::Avx512);
    if (!avx2) GTEST_SKIP() << "no AVX2 and FMA";
    const std::vector<PowCase> cases = fast_path_cases(40000, 5);
    long differ = 0;
    for (std::size_t c = 0; c + 8 <= cases.size(); c += 8) {
        const double y = cases[c].y;
        double x[8], out[8];
        for (int l = 0; l < 8; ++l) x[l] = cases[c + l].x;
        PowTrace<4> t4[2];
        PowTrace<8> t8;
        if ((c / 8) % 2 == 0) {  // table gathers and table loads in turn
            trace_avx2<TableAccess::Gathers>(x, y, out, &t4[0]);
            trace_avx2<TableAccess::Gathers>(x + 4, y, out + 4, &t4[1]);
            if (avx512) trace_avx512<TableAccess::Gathers>(x, y, out, &t8);
        } else {
            trace_avx2<TableAccess::Loads>(x, y, out, &t4[0]);
            trace_avx2<TableAccess::Loads>(x + 4, y, out + 4, &t4[1]);
            if (avx512) trace_avx512<TableAccess::Loads>(x, y, out, &t8);
        }
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

// (d) Every intermediate value of the transcription (and so of the kernels,
// above) occurs among the values the library's own machine code computes for
// the same input; and leaving any one of the 20 fused multiply-adds unfused
// computes values the library never computes: its separately rounded product
// (so the library fuses that step), and for most steps also a different
// result of the step on some inputs.
TEST(VectorPowIntermediates, MatchTheLibrarysMachineCode) {
    if (!detail::pow_library_verified()) GTEST_SKIP() << "not a verified C library (scripts/verify-pow.sh checks one)";
    if (!pow_path_supported_by_cpu(PowPath::Avx2)) GTEST_SKIP() << "the library runs its non-FMA variant here";
    const auto m = veltrax::testing::compare_with_machine_code(fast_path_cases(96, 11));
    if (!m.stepped) GTEST_SKIP() << "cannot single-step the library here (ptrace not permitted, or valgrind)";
    EXPECT_EQ(m.missing, 0u) << m.first_missing << " is not a value the library computes";
    EXPECT_EQ(m.fused, 20);
    EXPECT_EQ(m.fused_caught, 20) << m.per_step;
    std::printf("%s", m.per_step.c_str());
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
    const std::string path = veltrax::testing::mapped_libm();
    if (path.empty()) GTEST_SKIP() << "libm not mapped (or not Linux)";
    const auto found = veltrax::testing::find_tables(path);
    EXPECT_TRUE(found.log_data) << path;
    EXPECT_TRUE(found.exp_data) << path;
}

// What selection learns is kept for the process across plug-in loads, and
// never reaches another process: a child made by fork() finds nothing.
TEST(VectorPow, ProcessMemoStaysInTheProcess) {
#if VPOW_TEST_CHILD_RUNS
    const std::string name = "veltrax-test-" + std::to_string(getpid());
    const std::uint64_t stored[2] = {0x1234, 0x5678};
    detail::store_process_memo(name.c_str(), stored, sizeof stored);
    std::uint64_t found[2] = {};
    if (!detail::load_process_memo(name.c_str(), found, sizeof found))
        GTEST_SKIP() << "no process keyring here (kernel or seccomp): every load selects afresh";
    EXPECT_EQ(found[0], stored[0]);
    EXPECT_EQ(found[1], stored[1]);
    EXPECT_FALSE(detail::load_process_memo(name.c_str(), found, sizeof found - 1)) << "a value of another size";
    const pid_t child = fork();
    if (child == 0) _exit(detail::load_process_memo(name.c_str(), found, sizeof found) ? 1 : 0);
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child found the parent's value";
    // Selection keeps everything in one key.
    pow_summary();
    std::int32_t keys[64];
    const long listed = syscall(SYS_keyctl, KEYCTL_READ, KEY_SPEC_PROCESS_KEYRING, keys, sizeof keys);
    ASSERT_GT(listed, 0);
    int selection_keys = 0;
    for (long i = 0; i < listed / 4 && i < 64; ++i) {
        char description[256] = {};
        if (syscall(SYS_keyctl, KEYCTL_DESCRIBE, keys[i], description, sizeof description - 1) > 0)
            selection_keys += std::strstr(description, ";veltrax-vpow") != nullptr;
    }
    EXPECT_LE(selection_keys, 1);
#else
    GTEST_SKIP() << "Linux only";
#endif
}

// A new key of the memo only while the user's keys stay under a quarter of
// both limits of the quota; anything unreadable or unexpected: none.
TEST(VectorPow, ProcessMemoLeavesTheKeyQuotaAlone) {
    std::string users, maxkeys = "200", root_maxkeys = "1000000";
    const auto fake = [&](const char* path, std::string& text) {
        const std::string p = path;
        if (p == "/proc/key-users") text = users;
        else if (p == "/proc/sys/kernel/keys/maxkeys") text = maxkeys;
        else if (p == "/proc/sys/kernel/keys/root_maxkeys") text = root_maxkeys;
        else if (p == "/proc/sys/kernel/keys/maxbytes") text = "20000";
        else if (p == "/proc/sys/kernel/keys/root_maxbytes") text = "25000000";
        else return false;
        return p != "/proc/key-users" || !users.empty();
    };
    users = "    0:     9 8/8 3/1000000 56/25000000\n 1000:     5 5/5 3/200 56/20000\n 1001:    60 48/48 48/200 900/20000\n"
            " 1002:     4 4/4 4/200 4900/20000\n";
    EXPECT_TRUE(detail::memo_quota_has_room(1000, 2, 300, fake));
    EXPECT_FALSE(detail::memo_quota_has_room(1001, 2, 300, fake)) << "keys: 49 of 200 after is fine, 50 is not";
    EXPECT_TRUE(detail::memo_quota_has_room(1001, 1, 300, fake));
    EXPECT_FALSE(detail::memo_quota_has_room(1002, 2, 300, fake)) << "bytes";
    EXPECT_TRUE(detail::memo_quota_has_room(0, 2, 300, fake)) << "root's own limits";
    // A user with no keys yet: the limits from the kernel's settings.
    EXPECT_TRUE(detail::memo_quota_has_room(1003, 2, 300, fake));
    maxkeys = "8";
    EXPECT_FALSE(detail::memo_quota_has_room(1003, 2, 300, fake));
    maxkeys = "";
    EXPECT_FALSE(detail::memo_quota_has_room(1003, 2, 300, fake));
    users = "    0:     9 8/8 3/1000000 56/25000000\n";
    root_maxkeys = "8";
    EXPECT_TRUE(detail::memo_quota_has_room(0, 2, 300, fake)) << "root's line, not the settings";
    users = "";
    EXPECT_FALSE(detail::memo_quota_has_room(1000, 2, 300, fake)) << "unreadable";
    users = " 1000: 5 5/5 3/200\n";
    EXPECT_FALSE(detail::memo_quota_has_room(1003, 2, 300, fake)) << "another format";
}

}  // namespace
