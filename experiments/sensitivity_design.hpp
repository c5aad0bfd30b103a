// SPDX-License-Identifier: LGPL-2.1-or-later
// Sampling designs of a sensitivity study, in the unit cube: the Saltelli
// design on a scrambled Sobol sequence (first-order and total indices) and
// Morris trajectories on a grid (elementary effects). The values depend on
// the sizes and the seed alone, so every shard of a sweep, the report and
// Python see the same points.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace veltrax::experiments {

// The Sobol sequence's dimensions (the library's limit): a Saltelli design
// of d inputs takes 2d of them.
constexpr std::size_t kMaxSobolDimensions = 40;
constexpr std::size_t kMaxSobolInputs = kMaxSobolDimensions / 2;

// The first `n` points of the Sobol sequence in `dims` dimensions (GSL's
// generator, after the sequence's first point 0), each coordinate scrambled by nested uniform (Owen) scrambling
// of its first 32 binary digits, keyed by `seed` and the dimension; row
// major, n x dims. A coordinate is (m + 0.5) / 2^32 for a whole m, never 0
// or 1.
std::vector<double> scrambled_sobol(std::size_t n, std::size_t dims, std::uint64_t seed);

// N base points (A | B) of 2d dimensions; run r = j (d + 2) + m of group j
// is A_j for m = 0, A_j with input m from B_j for m = 1 .. d, and B_j for
// m = d + 1.
struct SaltelliDesign {
    std::size_t n = 0, d = 0;
    std::vector<double> base;  // n x 2d

    std::size_t runs() const { return n * (d + 2); }
    // Input i (from 0) of run r (from 0).
    double at(std::size_t r, std::size_t i) const;
};

SaltelliDesign saltelli_design(std::size_t n, std::size_t d, std::uint64_t seed);

// r trajectories of d + 1 points on the grid 0, 1/(p-1), ..., 1 of p
// levels (p even): a start, then one input at a time moved by p/2 levels,
// up or down. Run t (d + 1) + s is point s of trajectory t.
struct MorrisDesign {
    std::size_t r = 0, d = 0;
    int levels = 4;
    std::vector<int> level;      // r (d + 1) x d: the grid level of each input
    std::vector<std::size_t> order;  // r x d: the input moved at step s + 1
    std::vector<int> direction;  // r x d, by input: +1 up, -1 down

    std::size_t runs() const { return r * (d + 1); }
    // Input i of run k on the grid: level / (p - 1).
    double at(std::size_t k, std::size_t i) const;
    // The step in the unit cube, p / (2 (p - 1)).
    double delta() const;
};

// Trajectory t draws from Philox-4x64 keyed by (seed, t + 1): for each
// input its start level (0 .. p/2 - 1) and direction, then the order in
// which the inputs move (a uniform shuffle).
MorrisDesign morris_design(std::size_t r, std::size_t d, int levels, std::uint64_t seed);

}  // namespace veltrax::experiments
