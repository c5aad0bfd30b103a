// SPDX-License-Identifier: LGPL-2.1-or-later
// Selection and dispatch of the vector power function (numeric/vpow/pow.hpp).
#include "numeric/vpow/pow.hpp"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>

#include "numeric/vpow/internal.hpp"
#include "numeric/vpow/steps.hpp"

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

// The C library build whose pow the kernels transcribe.
constexpr const char* kTranscribedLibc = "2.36";

__attribute__((noinline, cold)) void pow_fallback_lanes(const double* x, double y, double* out, unsigned mask) {
    for (int lane = 0; mask != 0; ++lane, mask >>= 1)
        if (mask & 1u) out[lane] = std::pow(x[lane], y);
}

namespace {

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

std::uint64_t splitmix(std::uint64_t& state) {
    std::uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

double uniform(std::uint64_t& state, double lo, double hi) {
    return lo + (hi - lo) * (static_cast<double>(splitmix(state) >> 11) * 0x1p-53);
}

}  // namespace

std::vector<PowCheckGroup> self_check_groups() {
    constexpr double inf = std::numeric_limits<double>::infinity();
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    const std::vector<double> edges = {
        0.0, -0.0, -1.0, -2.0, -0.5, -3.0, -inf, inf, nan, -nan, 1.0, std::nextafter(1.0, 0.0),
        std::nextafter(1.0, 2.0), 1.0 + 0x1p-40, 1.0 - 0x1p-40, 0.5, 2.0, 10.0, 0.505, 0.404, 1e-5, 0x1p-1074,
        0x0.fffffffffffffp-1022, 0x1p-1022, 0x1.0000000000001p-1022, 0x1.fffffffffffffp1023, 1e-300, 1e300, 0.999999,
        1.000001, 0x1.69555p-1, 0x1.69555p0, from_bits(0x7ff4000000000000ULL) /* signalling NaN */};
    std::vector<PowCheckGroup> groups;
    std::uint64_t state = 20260901;
    // Ordinary exponents: the edges, the cost's range, arbitrary positive
    // normal numbers, and numbers next to 1.
    for (double y : {0.5, 1.0, 2.0, 2.98, 3.0, 4.0, 4.0000001, 7.3, 8.0, -1.0, -2.5, 0.1, 1e-10, 123.456, -300.7,
                     0x1p-60, 1e18}) {
        PowCheckGroup g{y, edges};
        for (int i = 0; i < 192; ++i) g.x.push_back(uniform(state, 0.0, 10.0));
        for (int i = 0; i < 64; ++i)
            g.x.push_back(from_bits((splitmix(state) % (0x7fe0000000000000ULL - 0x0010000000000000ULL)) +
                                    0x0010000000000000ULL));
        for (int i = 1; i <= 16; ++i) {
            g.x.push_back(1.0 + i * 0x1p-52);
            g.x.push_back(1.0 - i * 0x1p-53);
        }
        groups.push_back(g);
    }
    // Exponents the library treats specially for every x.
    for (double y : {0.0, -0.0, 1e-20, -0x1p-66, 0x1p63, -1e19, inf, -inf, nan, from_bits(0x7ff4000000000000ULL)})
        groups.push_back({y, edges});
    // |y log x| around 2^-54 (the 1 + y log x exit), 512 (exp's special case),
    // the overflow and underflow limits and the subnormal results.
    for (double y : {1.0, 3.0, 8.0, 0.25, -0.25}) {
        PowCheckGroup g{y, {}};
        for (double t : {511.99, 512.0, 512.01, -511.99, -512.0, -512.01, 709.7, 709.78, 709.79, 709.8, -708.3,
                         -708.39, -708.4, -708.5, -720.0, -744.4, -745.1, -745.13, -745.2, 0x1p-54, -0x1p-54,
                         0x1.1p-54, -0x1.1p-54, 0x1.fp-55, -0x1.fp-55})
            for (double f : {1.0, 1.0 + 1e-9, 1.0 - 1e-9}) g.x.push_back(std::exp(t * f / y));
        groups.push_back(g);
    }
    // Inputs whose result changes when one of the library's fused
    // multiply-adds is computed unfused (log r, log lo3, log lo, mul err,
    // exp p, result; found by tests/tools/find_pow_witnesses). The other 14
    // fused steps change no result within reach of a search: two multiply
    // exactly, the others move results by 2^-30 ulp or less.
    const double witnesses[][2] = {
        {0x1.2e5dc7702fec9p+3, 0x1.d7ee0d23d9d93p+2}, {0x1.a6d38f8670556p+2, 0x1.1338b76661474p-1},
        {0x1.4126f3d30b64bp+14, -0x1.22926e24b5c72p+5}, {0x1.51412012b86cp+18, 0x1.19ec898df1cc8p+4},
        {0x1.a7c0fa2beec24p-9, -0x1.057aa26c4ea17p+5}, {0x1.a105d6dfe0cd7p-12, 0x1.121b471177de6p+5},
        {0x1.7da2c1b483085p+24, 0x1.73d3a7faf4878p+4}, {0x1.63ab21b0d2bb2p-1, 0x1.db53b0b11e8f4p+4},
        {0x1.21c60036f5d5ap+2, 0x1.9a4f3f84b3954p+2}, {0x1.06508aedd13c9p+2, 0x1.5e8b91b99e7bep+1},
        {0x1.467a2071b35d4p+2, 0x1.9d1ff68fc5eep+2}, {0x1.5ceab215ec9f9p+0, 0x1.6f487796578c1p+1},
        {0x1.54db8d430d53dp+2, 0x1.bb6947a7b33d2p-1}, {0x1.3e593d9285085p+0, 0x1.db5b1476c831ep+2},
        {0x1.22d512c5220bbp+14, 0x1.2180294684b7p+5}, {0x1.f41f8809b1837p+2, 0x1.66943574e0032p+2}};
    for (const auto& w : witnesses) groups.push_back({w[1], {w[0]}});
    return groups;
}

bool self_check(PowPath path) {
    std::vector<double> out;
    for (const PowCheckGroup& g : self_check_groups()) {
        out.assign(g.x.size(), 0.0);
        pow_n_on(path, g.x.data(), g.x.size(), g.y, out.data());
        for (std::size_t i = 0; i < g.x.size(); ++i)
            if (bits(out[i]) != bits(std::pow(g.x[i], g.y))) return false;
    }
    return true;
}

namespace {

double std_pow(double x, double y) { return std::pow(x, y); }

bool scalar_self_check(PowFunction f) {
    for (const PowCheckGroup& g : self_check_groups())
        for (double x : g.x)
            if (bits(f(x, g.y)) != bits(std::pow(x, g.y))) return false;
    return true;
}

struct Selection {
    bool usable[3] = {true, false, false};
    PowPath best = PowPath::Scalar;
    PowFunction scalar = &std_pow;
    std::string report;
};

bool forced_scalar() {
    const char* env = std::getenv("VELTRAX_SCALAR_POW");
    return env != nullptr && std::strcmp(env, "1") == 0;
}

#if VELTRAX_VPOW_X86
// VELTRAX_POW_PATH=avx2 or =scalar: the widest vector path allowed (a testing
// aid); other values allow every path.
PowPath widest_allowed() {
    const char* env = std::getenv("VELTRAX_POW_PATH");
    if (env != nullptr && std::strcmp(env, "avx2") == 0) return PowPath::Avx2;
    if (env != nullptr && std::strcmp(env, "scalar") == 0) return PowPath::Scalar;
    return PowPath::Avx512;
}
#endif

Selection select() {
    Selection s;
    if (forced_scalar()) {
        s.report = "avx2: not used (VELTRAX_SCALAR_POW=1)\navx512: not used (VELTRAX_SCALAR_POW=1)\n"
                   "scalar_pow: std::pow (VELTRAX_SCALAR_POW=1)\n";
        return s;
    }
#if VELTRAX_VPOW_X86
    const std::string version = gnu_get_libc_version();
    if (version != kTranscribedLibc) {
        const std::string why = " (C library " + version + ", transcribed " + kTranscribedLibc + ")\n";
        s.report = "avx2: not used" + why + "avx512: not used" + why + "scalar_pow: std::pow" + why;
        return s;
    }
    const char* names[3] = {"scalar", "avx2", "avx512"};
    for (PowPath path : {PowPath::Avx2, PowPath::Avx512}) {
        const int p = static_cast<int>(path);
        std::string line = std::string(names[p]) + ": ";
        if (static_cast<int>(path) > static_cast<int>(widest_allowed())) {
            line += std::string("not used (VELTRAX_POW_PATH=") + std::getenv("VELTRAX_POW_PATH") + ")";
        } else if (!pow_path_supported_by_cpu(path)) {
            line += path == PowPath::Avx2 ? "not used (the C library does not report FMA and AVX2 usable)"
                                          : "not used (no usable AVX-512F, or no FMA and AVX2)";
        } else if (!self_check(path)) {
            line += "not used (self-check against std::pow failed)";
        } else {
            s.usable[p] = true;
            s.best = path;
            line += "usable (C library 2.36, CPU features, self-check passed)";
        }
        s.report += line + "\n";
    }
    auto core = reinterpret_cast<PowFunction>(dlvsym(RTLD_DEFAULT, "__pow_finite", "GLIBC_2.15"));
    if (core == nullptr) {
        s.report += "scalar_pow: std::pow (__pow_finite@GLIBC_2.15 not found)\n";
    } else if (!scalar_self_check(core)) {
        s.report += "scalar_pow: std::pow (self-check of __pow_finite failed)\n";
    } else {
        s.scalar = core;
        s.report += "scalar_pow: __pow_finite (the library core without the errno wrapper)\n";
    }
#else
    s.report = "avx2: not used (not x86-64 with glibc)\navx512: not used (not x86-64 with glibc)\n"
               "scalar_pow: std::pow\n";
#endif
    return s;
}

const Selection& selection() {
    static const Selection s = [] {
        Selection sel = select();
        g_scalar_pow.store(sel.scalar, std::memory_order_relaxed);
        return sel;
    }();
    return s;
}

double resolve_scalar_pow(double x, double y) { return selection().scalar(x, y); }

}  // namespace

std::atomic<PowFunction> g_scalar_pow{&resolve_scalar_pow};

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

std::string pow_summary() { return std::string("power: ") + pow_path_name(pow_path()); }

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

void pow_n_on(PowPath path, const double* x, std::size_t n, double y, double* out) {
    switch (path) {
#if VELTRAX_VPOW_X86
        case PowPath::Avx2: detail::pow_n_avx2(x, n, y, out); return;
        case PowPath::Avx512: detail::pow_n_avx512(x, n, y, out); return;
#endif
        default:
            for (std::size_t i = 0; i < n; ++i) out[i] = std::pow(x[i], y);
    }
}

void pow_n(const double* x, std::size_t n, double y, double* out) { pow_n_on(pow_path(), x, n, y, out); }

bool scalar_pow_is_direct() { return detail::selection().scalar != &detail::std_pow; }

}  // namespace veltrax::vpow
