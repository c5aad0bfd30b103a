// SPDX-License-Identifier: LGPL-2.1-or-later
// Selection and dispatch of the vector power function (numeric/vpow/pow.hpp).
#include "numeric/vpow/pow.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

#include "numeric/vpow/internal.hpp"

#if defined(__x86_64__) && defined(__GLIBC__) && __has_include(<sys/platform/x86.h>)
#include <dlfcn.h>
#include <gnu/libc-version.h>
#if defined(__clang__)
#define _Bool bool  // the header is C, and clang's C++ has no _Bool
#endif
#include <sys/platform/x86.h>  // glibc >= 2.33: the features as the library itself sees them
#if defined(__clang__)
#undef _Bool
#endif
#define VELTRAX_VPOW_X86 1
#else
#define VELTRAX_VPOW_X86 0
#endif

namespace veltrax::vpow {

namespace detail {

// The C library versions whose pow the kernels repeat exactly. Each was
// verified on Debian's build of it with scripts/verify-pow.sh, which finds
// the kernels' tables in the installed libm, runs the self-check on every
// path the CPU has, compares 10^8 values with std::pow on each path and on
// the library's core, and single-steps the library's machine code to find
// every intermediate value of the kernels among its registers. To admit
// another version: run scripts/verify-pow.sh on a system with it, and when it
// prints "verdict: verified", add the version here (and to the README's list
// of supported systems). Other builds of a listed version are still guarded
// by the self-check at selection.
constexpr const char* kVerifiedLibraries[] = {"2.36", "2.41"};

namespace {

double std_pow(double x, double y) { return std::pow(x, y); }

std::string verified_list() {
    std::string list;
    for (const char* v : kVerifiedLibraries) list += (list.empty() ? "" : ", ") + std::string(v);
    return list;
}

// VELTRAX_POW_PATH: the widest path allowed; unset, empty or "auto": all.
struct Request {
    PowPath widest = PowPath::Avx512;
    std::string note;  // for the summary: what was asked, when not auto
};

Request requested_paths() {
    Request r;
    const char* env = std::getenv("VELTRAX_POW_PATH");
    if (env == nullptr || *env == '\0' || std::strcmp(env, "auto") == 0) return r;
    const std::string value(env);
    if (value == "avx512" || value == "avx2" || value == "scalar") {
        r.widest = value == "avx512" ? PowPath::Avx512 : value == "avx2" ? PowPath::Avx2 : PowPath::Scalar;
        r.note = "VELTRAX_POW_PATH=" + value;
    } else {
        r.note = "VELTRAX_POW_PATH=" + value.substr(0, 20) + " is not auto, avx512, avx2 or scalar: auto used";
    }
    return r;
}

struct Selection {
    bool usable[3] = {true, false, false};
    PowPath best = PowPath::Scalar;
    PowFunction scalar = &std_pow;
    TableAccess access[3] = {TableAccess::Gathers, TableAccess::Gathers, TableAccess::Gathers};
    std::string summary;
    std::string report;
};

// The table access of each path, as chosen at selection or set later.
std::atomic<int> g_access[3];

// VELTRAX_POW_TABLES=gathers or =loads, else calibration.
bool forced_access(TableAccess& access) {
    const char* env = std::getenv("VELTRAX_POW_TABLES");
    if (env != nullptr && std::strcmp(env, "gathers") == 0) access = TableAccess::Gathers;
    else if (env != nullptr && std::strcmp(env, "loads") == 0) access = TableAccess::Loads;
    else return false;
    return true;
}

// The faster table access on this processor: both kernels on 1024 values of
// the cost's range, five rounds each in turn, the fastest round of each.
TableAccess calibrate(PowPath path) {
    TableAccess forced;
    if (forced_access(forced)) return forced;
    alignas(64) double x[1024], out[1024];
    for (int i = 0; i < 1024; ++i) x[i] = 0.01 + 9.99 * ((i * 677) % 1024) / 1024.0;
    double fastest[2] = {std::numeric_limits<double>::infinity(), std::numeric_limits<double>::infinity()};
    for (int round = 0; round < 6; ++round) {
        for (TableAccess access : {TableAccess::Gathers, TableAccess::Loads}) {
            const auto start = std::chrono::steady_clock::now();
            pow_n_on(path, access, x, 1024, 4.0, out);
            const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            if (round > 0) fastest[static_cast<int>(access)] = std::min(fastest[static_cast<int>(access)], seconds);
        }
    }
    return fastest[1] <= fastest[0] ? TableAccess::Loads : TableAccess::Gathers;
}

#if VELTRAX_VPOW_X86
bool library_verified(const std::string& version) {
    for (const char* v : kVerifiedLibraries)
        if (version == v) return true;
    return false;
}
#endif

#if VELTRAX_VPOW_X86
const char* missing_features(PowPath path) {
    if (!pow_path_supported_by_cpu(PowPath::Avx2)) return "the CPU has no AVX2 and FMA";
    if (path == PowPath::Avx512 && !pow_path_supported_by_cpu(path)) return "the CPU has no AVX-512F";
    return nullptr;
}
#endif

// Fills usable, best, scalar and the report; returns the reason the widest
// path the request allows is not used ("" when it is).
std::string choose(Selection& s, const Request& request, std::string& library) {
#if VELTRAX_VPOW_X86
    const std::string version = gnu_get_libc_version();
    const bool verified = library_verified(version);
    library = "glibc " + version + (verified ? " verified" : " not verified; verified: " + verified_list());
    std::string why_not;
    for (PowPath path : {PowPath::Avx2, PowPath::Avx512}) {
        std::string reason;
        if (static_cast<int>(path) > static_cast<int>(request.widest)) {
            reason = request.note;
        } else if (!verified) {
            reason = library;
        } else if (const char* missing = missing_features(path)) {
            reason = missing;
        } else if (!self_check(path)) {
            reason = "self-check against std::pow failed";
        } else {
            s.usable[static_cast<int>(path)] = true;
            s.best = path;
            s.access[static_cast<int>(path)] = calibrate(path);
        }
        s.report += std::string(pow_path_name(path)) + ": " +
                    (reason.empty() ? std::string("usable with table ") +
                                          table_access_name(s.access[static_cast<int>(path)]) + " (" + library +
                                          ", CPU features, self-check passed)"
                                    : "not used (" + reason + ")") +
                    "\n";
        if (path == request.widest) why_not = reason.empty() ? "" : std::string(pow_path_name(path)) + ": " + reason;
    }
    if (!verified) {
        s.report += "scalar_pow: std::pow (" + library + ")\n";
        return why_not;
    }
    auto core = reinterpret_cast<PowFunction>(dlvsym(RTLD_DEFAULT, "__pow_finite", "GLIBC_2.15"));
    if (core == nullptr) {
        s.report += "scalar_pow: std::pow (__pow_finite@GLIBC_2.15 not found)\n";
    } else if (!self_check(core)) {
        s.report += "scalar_pow: std::pow (self-check of __pow_finite failed)\n";
    } else {
        s.scalar = core;
        s.report += "scalar_pow: __pow_finite (the library core without the errno wrapper)\n";
    }
    return why_not;
#else
    (void)request;
    library = "not x86-64 with glibc";
    s.report = "avx2: not used (" + library + ")\navx512: not used (" + library + ")\nscalar_pow: std::pow\n";
    return "";
#endif
}

Selection select() {
    Selection s;
    const Request request = requested_paths();
    std::string library;
    const std::string why_not = choose(s, request, library);
    std::string reasons = request.note;
    TableAccess forced;
    if (s.best != PowPath::Scalar && forced_access(forced))
        reasons += (reasons.empty() ? "VELTRAX_POW_TABLES=" : "; VELTRAX_POW_TABLES=") +
                   std::string(table_access_name(forced));
    // Why the path is narrower than requested, unless the request itself says so.
    if (!why_not.empty() && static_cast<int>(request.widest) > static_cast<int>(PowPath::Scalar) &&
        why_not.find(library) == std::string::npos)
        reasons += (reasons.empty() ? "" : "; ") + why_not;
    reasons += (reasons.empty() ? "" : "; ") + library;
    if (s.best != PowPath::Scalar) reasons += ", self-check passed";
    const std::string path = s.best != PowPath::Scalar ? std::string(pow_path_name(s.best)) + " with table " +
                                                             table_access_name(s.access[static_cast<int>(s.best)])
                             : s.scalar != &std_pow   ? "scalar, the library's core without its errno wrapper"
                                                      : "scalar, std::pow";
    s.summary = "power: " + path + " (" + reasons + ")";
    return s;
}

const Selection& selection() {
    static const Selection s = [] {
        Selection sel = select();
        for (int p = 0; p < 3; ++p) g_access[p].store(static_cast<int>(sel.access[p]), std::memory_order_relaxed);
        g_scalar_pow.store(sel.scalar, std::memory_order_relaxed);
        return sel;
    }();
    return s;
}

double resolve_scalar_pow(double x, double y) { return selection().scalar(x, y); }

}  // namespace

std::atomic<PowFunction> g_scalar_pow{&resolve_scalar_pow};

bool pow_library_verified() {
#if VELTRAX_VPOW_X86
    return library_verified(gnu_get_libc_version());
#else
    return false;
#endif
}

}  // namespace detail

PowPath pow_path() { return detail::selection().best; }

bool pow_path_usable(PowPath path) { return detail::selection().usable[static_cast<int>(path)]; }

const char* pow_path_name(PowPath path) {
    switch (path) {
        case PowPath::Avx2: return "avx2";
        case PowPath::Avx512: return "avx512";
        default: return "scalar";
    }
}

std::string pow_summary() { return detail::selection().summary; }

std::string pow_selection_report() {
    const detail::Selection& s = detail::selection();
    return "path: " + std::string(pow_path_name(s.best)) + "\n" + s.report;
}

bool pow_path_supported_by_cpu(PowPath path) {
#if VELTRAX_VPOW_X86
    const bool avx2 = CPU_FEATURE_ACTIVE(FMA) && CPU_FEATURE_ACTIVE(AVX2) && __builtin_cpu_supports("fma") &&
                      __builtin_cpu_supports("avx2");
    switch (path) {
        case PowPath::Scalar: return true;
        case PowPath::Avx2: return avx2;
        case PowPath::Avx512: return avx2 && CPU_FEATURE_ACTIVE(AVX512F) && __builtin_cpu_supports("avx512f");
    }
    return false;
#else
    return path == PowPath::Scalar;
#endif
}

TableAccess table_access(PowPath path) {
    detail::selection();
    return static_cast<TableAccess>(detail::g_access[static_cast<int>(path)].load(std::memory_order_relaxed));
}

const char* table_access_name(TableAccess access) { return access == TableAccess::Loads ? "loads" : "gathers"; }

void set_table_access(PowPath path, TableAccess access) {
    detail::selection();
    detail::g_access[static_cast<int>(path)].store(static_cast<int>(access), std::memory_order_relaxed);
}

void pow_n_on(PowPath path, const double* x, std::size_t n, double y, double* out) {
    pow_n_on(path, path == PowPath::Scalar ? TableAccess::Gathers : table_access(path), x, n, y, out);
}

void pow_n_on(PowPath path, TableAccess access, const double* x, std::size_t n, double y, double* out) {
    switch (path) {
#if VELTRAX_VPOW_X86
        case PowPath::Avx2: detail::pow_n_avx2(access, x, n, y, out); return;
        case PowPath::Avx512: detail::pow_n_avx512(access, x, n, y, out); return;
#endif
        default:
            (void)access;
            for (std::size_t i = 0; i < n; ++i) out[i] = std::pow(x[i], y);
    }
}

void pow_n(const double* x, std::size_t n, double y, double* out) { pow_n_on(pow_path(), x, n, y, out); }

bool scalar_pow_is_direct() { return detail::selection().scalar != &detail::std_pow; }

}  // namespace veltrax::vpow
