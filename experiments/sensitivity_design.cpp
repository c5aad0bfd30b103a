// SPDX-License-Identifier: LGPL-2.1-or-later
#include "experiments/sensitivity_design.hpp"

#include <gsl/gsl_qrng.h>

#include <memory>
#include <new>
#include <utility>

#include "experiments/word_stream.hpp"

namespace veltrax::experiments {

namespace {

// A 64-bit finaliser: every input bit changes each output bit with
// probability about 1/2.
std::uint64_t mix(std::uint64_t z) {
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

// Nested uniform scrambling of the 32 binary digits of x: digit i (from the
// top) is flipped by a random bit of the node that the i digits above it
// name, so points that share their leading digits stay together, and the
// scrambled set keeps the stratification of the sequence.
std::uint32_t owen_scrambled(std::uint32_t x, std::uint64_t key) {
    std::uint32_t flips = 0;
    for (int i = 0; i < 32; ++i) {
        const std::uint64_t prefix = i == 0 ? 0 : x >> (32 - i);
        const std::uint64_t node = (std::uint64_t{1} << i) | prefix;  // a leading 1 marks the depth
        flips |= static_cast<std::uint32_t>(mix(key ^ mix(node)) >> 63) << (31 - i);
    }
    return x ^ flips;
}

struct QrngFree {
    void operator()(gsl_qrng* q) const { gsl_qrng_free(q); }
};

}  // namespace

std::vector<double> scrambled_sobol(std::size_t n, std::size_t dims, std::uint64_t seed) {
    std::vector<double> out(n * dims);
    if (n == 0 || dims == 0) return out;
    std::unique_ptr<gsl_qrng, QrngFree> q(gsl_qrng_alloc(gsl_qrng_sobol, static_cast<unsigned>(dims)));
    if (!q) throw std::bad_alloc();
    std::vector<std::uint64_t> keys(dims);
    for (std::size_t k = 0; k < dims; ++k) keys[k] = mix(mix(seed) + k + 1);
    // The sequence's first point is 0, which the generator skips: without
    // it the first 2^m points would not fill every interval of 2^-m.
    std::vector<double> point(dims, 0.0);
    for (std::size_t j = 0; j < n; ++j) {
        if (j > 0) gsl_qrng_get(q.get(), point.data());
        for (std::size_t k = 0; k < dims; ++k) {
            // The sequence's coordinates are multiples of 2^-30: exact as 32-bit fractions.
            const auto digits = static_cast<std::uint32_t>(point[k] * 4294967296.0);
            out[j * dims + k] = (static_cast<double>(owen_scrambled(digits, keys[k])) + 0.5) * 0x1p-32;
        }
    }
    return out;
}

double SaltelliDesign::at(std::size_t r, std::size_t i) const {
    const std::size_t j = r / (d + 2), m = r % (d + 2);
    const bool from_b = m == d + 1 || m == i + 1;
    return base[j * 2 * d + (from_b ? d + i : i)];
}

SaltelliDesign saltelli_design(std::size_t n, std::size_t d, std::uint64_t seed) {
    SaltelliDesign s;
    s.n = n;
    s.d = d;
    s.base = scrambled_sobol(n, 2 * d, seed);
    return s;
}

double MorrisDesign::at(std::size_t k, std::size_t i) const {
    return static_cast<double>(level[k * d + i]) / static_cast<double>(levels - 1);
}

double MorrisDesign::delta() const {
    return static_cast<double>(levels) / (2.0 * static_cast<double>(levels - 1));
}

MorrisDesign morris_design(std::size_t r, std::size_t d, int levels, std::uint64_t seed) {
    MorrisDesign m;
    m.r = r;
    m.d = d;
    m.levels = levels;
    m.level.resize(m.runs() * d);
    m.order.resize(r * d);
    m.direction.resize(r * d);
    const int jump = levels / 2;
    for (std::size_t t = 0; t < r; ++t) {
        WordStream words(seed, t + 1);
        int* start = &m.level[t * (d + 1) * d];
        for (std::size_t i = 0; i < d; ++i) {
            const int base = static_cast<int>(words.below(static_cast<std::size_t>(jump)));
            const int dir = words.below(2) == 0 ? 1 : -1;
            m.direction[t * d + i] = dir;
            start[i] = dir > 0 ? base : base + jump;  // a step down starts at the top
        }
        std::size_t* order = &m.order[t * d];
        for (std::size_t i = 0; i < d; ++i) order[i] = i;
        for (std::size_t i = d; i > 1; --i) std::swap(order[i - 1], order[words.below(i)]);
        for (std::size_t s = 1; s <= d; ++s) {
            int* point = start + s * d;
            for (std::size_t i = 0; i < d; ++i) point[i] = point[i - d];
            const std::size_t moved = order[s - 1];
            point[moved] += m.direction[t * d + moved] * jump;
        }
    }
    return m;
}

}  // namespace veltrax::experiments
