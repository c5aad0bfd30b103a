// SPDX-License-Identifier: LGPL-2.1-or-later
// Checks of the power kernels against the installed C library itself, shared
// by the unit tests (tests/unit/vector_pow_test.cpp) and the verification of
// a new library version (tests/tools/verify_pow.cpp): the kernels' tables in
// the library file, and the transcription's intermediate values among the
// values the library's machine code leaves in its registers, single-stepped
// with ptrace. x86-64 Linux only (VELTRAX_LIBM_CHECKS).
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "numeric/vpow/tables.hpp"
#include "pow_trace.hpp"
#include "pow_transcription.hpp"

#if defined(__x86_64__) && defined(__linux__)
#include <csignal>
#include <sys/ptrace.h>
#include <sys/user.h>
#include <sys/wait.h>
#include <unistd.h>
#define VELTRAX_LIBM_CHECKS 1
#else
#define VELTRAX_LIBM_CHECKS 0
#endif

namespace veltrax::testing {

struct PowCase {
    double x, y;
};

// Whether the library computes pow(x, y) on its fast path (the one the
// kernels repeat): x positive normal, |y| in range, 2^-54 <= |y log x| < 512.
inline bool in_fast_path(double x, double y) {
    if (!(x >= 0x1p-1022 && x <= 0x1.fffffffffffffp1023)) return false;
    const std::uint32_t topy = static_cast<std::uint32_t>(pow_bits(y) >> 52) & 0x7ff;
    if (topy - 0x3be >= 0x80) return false;
    Steps s;
    transcribe(x, y, -1, &s);
    return std::fabs(s.v[vpow::kMulEhi]) >= 0x1p-54 && std::fabs(s.v[vpow::kMulEhi]) < 512.0;
}

// n fast-path inputs: the cost's range, wide exponents, x next to 1.
inline std::vector<PowCase> fast_path_cases(int n, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> w(0.0, 10.0), p(0.5, 8.0), logx(-700.0, 700.0), wide_y(-20.0, 20.0);
    std::vector<PowCase> cases;
    while (static_cast<int>(cases.size()) < n) {
        const int kind = static_cast<int>(cases.size() % 4);
        PowCase c = kind < 2    ? PowCase{w(rng), p(rng)}
                    : kind == 2 ? PowCase{std::exp(logx(rng) / 20.0), wide_y(rng)}
                                : PowCase{1.0 + std::ldexp(w(rng) - 5.0, -static_cast<int>(rng() % 40)), p(rng)};
        if (in_fast_path(c.x, c.y)) cases.push_back(c);
    }
    return cases;
}

// The file of the libm this process runs ("" when not found), and the
// address range of its code.
inline std::string mapped_libm(std::uint64_t* code_begin = nullptr, std::uint64_t* code_end = nullptr) {
    std::ifstream maps("/proc/self/maps");
    std::string line, path;
    while (std::getline(maps, line)) {
        const auto at = line.find('/');
        if (at == std::string::npos || line.find("/libm.so") == std::string::npos) continue;
        path = line.substr(at);
        unsigned long a, b;
        char perms[8];
        if (std::sscanf(line.c_str(), "%lx-%lx %7s", &a, &b, perms) == 3 && perms[2] == 'x') {
            if (code_begin) *code_begin = a;
            if (code_end) *code_end = b;
        }
    }
    return path;
}

// Where the kernels' tables are in the library file. __pow_log_data occurs
// whole; __exp_data's constants are followed by its table either at once
// (glibc 2.36) or after exp10's 8 constants (2.41); the values are the same.
struct TablesInLibm {
    bool log_data = false;
    bool exp_data = false;
    int exp_gap_doubles = -1;  // doubles between the constants and the table
};

inline TablesInLibm find_tables(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    const std::vector<char> data((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    auto find = [&data](const void* p, std::size_t n, std::size_t from = 0) {
        const char* b = static_cast<const char*>(p);
        return static_cast<std::size_t>(std::search(data.begin() + static_cast<long>(std::min(from, data.size())),
                                                    data.end(), b, b + n) - data.begin());
    };
    const auto& L = vpow::detail::kPowLogData;
    const auto& E = vpow::detail::kExpData;
    TablesInLibm t;
    t.log_data = find(&L, sizeof L) < data.size();
    const std::size_t constants = offsetof(vpow::detail::ExpData, tab);
    for (std::size_t at = find(&E, constants); at < data.size(); at = find(&E, constants, at + 1)) {
        for (int gap : {0, 8}) {
            const std::size_t table = at + constants + 8 * static_cast<std::size_t>(gap);
            if (table + sizeof E.tab <= data.size() && std::memcmp(&data[table], E.tab, sizeof E.tab) == 0) {
                t.exp_data = true;
                t.exp_gap_doubles = gap;
                return t;
            }
        }
    }
    return t;
}

#if VELTRAX_LIBM_CHECKS
// Runs std::pow on every case in a child process, single-stepping it, and
// returns for each case the set of values (low 64 bits of xmm0 .. xmm15) that
// the instructions of libm left in the registers. Empty when ptrace is not
// permitted.
inline std::vector<std::set<std::uint64_t>> library_register_values(const std::vector<PowCase>& cases) {
    std::uint64_t lo = 0, hi = 0;
    if (mapped_libm(&lo, &hi).empty() || lo == 0) return {};
    const pid_t pid = fork();
    if (pid == 0) {
        double (*volatile pow_function)(double, double) = &::pow;
        if (ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0) _exit(2);
        raise(SIGSTOP);
        for (const PowCase& c : cases) {
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

// The transcription against the library's machine code on the cases: every
// intermediate value must occur among the library's register values, and
// computing any one fused step unfused must be caught (its separately rounded
// product absent from the registers, apart from products that coincide with
// another step or are 0 for k = 0, or another value differing) on at least
// half of the cases.
struct MachineCodeComparison {
    bool stepped = false;          // false: single-stepping not possible here
    std::size_t missing = 0;       // intermediate values the library never computes
    std::string first_missing;
    int fused = 0;                 // fused steps tried
    int fused_caught = 0;          // of those, caught on at least half of the cases
    std::string per_step;          // one line per fused step
};

inline MachineCodeComparison compare_with_machine_code(const std::vector<PowCase>& cases) {
    MachineCodeComparison m;
#if VELTRAX_LIBM_CHECKS
    const auto library = library_register_values(cases);
    if (library.empty()) return m;
    m.stepped = true;
    for (std::size_t c = 0; c < cases.size(); ++c) {
        Steps s;
        transcribe(cases[c].x, cases[c].y, -1, &s);
        for (int step = 0; step < kPowSteps; ++step) {
            if (library[c].count(pow_bits(s.v[step]))) continue;
            if (m.missing++ == 0) {
                char text[200];
                std::snprintf(text, sizeof text, "%s of pow(%a, %a) = %a", kPowStepNames[step], cases[c].x,
                              cases[c].y, s.v[step]);
                m.first_missing = text;
            }
        }
    }
    for (int step = 0; step < kPowSteps; ++step) {
        if (!pow_step_is_fma(step)) continue;
        ++m.fused;
        std::size_t product_absent = 0, step_differs = 0, caught = 0;
        for (std::size_t c = 0; c < cases.size(); ++c) {
            Steps s;
            transcribe(cases[c].x, cases[c].y, step, &s);
            const bool absent = !library[c].count(pow_bits(s.product));
            bool differs = false;
            for (int t = 0; t < kPowSteps; ++t) differs = differs || !library[c].count(pow_bits(s.v[t]));
            product_absent += absent;
            step_differs += differs;
            caught += absent || differs;
        }
        m.fused_caught += caught >= cases.size() / 2;
        char line[160];
        std::snprintf(line, sizeof line,
                      "unfused %-13s caught in %2zu of %zu cases: product absent in %2zu, another value in %2zu\n",
                      kPowStepNames[step], caught, cases.size(), product_absent, step_differs);
        m.per_step += line;
    }
#else
    (void)cases;
#endif
    return m;
}

}  // namespace veltrax::testing
