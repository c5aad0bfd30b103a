// SPDX-License-Identifier: LGPL-2.1-or-later
// The self-check of the power paths: fixed inputs that reach every fused step,
// the special paths and the overflow and underflow borders, compared bit for
// bit with std::pow (numeric/vpow/internal.hpp).
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "numeric/vpow/internal.hpp"

namespace veltrax::vpow::detail {

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
        for (TableAccess access : {TableAccess::Gathers, TableAccess::Loads}) {
            pow_n_on(path, access, g.x.data(), g.x.size(), g.y, out.data());
            for (std::size_t i = 0; i < g.x.size(); ++i)
                if (bits(out[i]) != bits(std::pow(g.x[i], g.y))) return false;
        }
    }
    return true;
}

namespace {

std::uint64_t mix(std::uint64_t h, std::uint64_t v) {
    h ^= v + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2);
    h = (h ^ (h >> 30)) * 0xbf58476d1ce4e5b9ULL;
    h = (h ^ (h >> 27)) * 0x94d049bb133111ebULL;
    return h ^ (h >> 31);
}

}  // namespace

std::uint64_t self_check_inputs_hash(const std::vector<PowCheckGroup>& groups) {
    std::uint64_t h = 20260901;
    for (const PowCheckGroup& g : groups) {
        h = mix(h, bits(g.y));
        for (double x : g.x) h = mix(h, bits(x));
    }
    return h;
}

std::uint64_t self_check_outputs_hash(const std::vector<PowCheckGroup>& groups, PowPath path, TableAccess access) {
    std::uint64_t h = 1;
    std::vector<double> out;
    for (const PowCheckGroup& g : groups) {
        out.assign(g.x.size(), 0.0);
        pow_n_on(path, access, g.x.data(), g.x.size(), g.y, out.data());
        for (double v : out) h = mix(h, bits(v));
    }
    return h;
}

std::uint64_t self_check_outputs_hash(const std::vector<PowCheckGroup>& groups, PowFunction f) {
    std::uint64_t h = 1;
    for (const PowCheckGroup& g : groups)
        for (double x : g.x) h = mix(h, bits(f(x, g.y)));
    return h;
}

bool self_check(PowFunction f) {
    for (const PowCheckGroup& g : self_check_groups())
        for (double x : g.x)
            if (bits(f(x, g.y)) != bits(std::pow(x, g.y))) return false;
    return true;
}

}  // namespace veltrax::vpow::detail
