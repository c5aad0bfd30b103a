// SPDX-License-Identifier: LGPL-2.1-or-later
// Sensitivity indices from the outputs of a design's runs: Sobol first-order
// and total indices (Jansen's estimators) and Morris elementary effects, each
// with bootstrap confidence intervals. Runs whose output is not finite (a
// failed run, a change that never settled) are left out as described at
// each function.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "experiments/sensitivity_design.hpp"

namespace veltrax::experiments {

struct BootstrapOptions {
    std::size_t resamples = 1000;  // 0: no intervals (NaN)
    double confidence = 0.95;      // of the intervals
    std::uint64_t seed = 1;        // of the resampling
};

// Indices per input, in the design's order. An interval is the estimate
// plus or minus its `_conf`: z times the standard deviation of the
// estimate over the bootstrap resamples, with z the normal quantile of
// (1 + confidence) / 2.
struct SobolIndices {
    std::vector<double> S1, S1_conf, ST, ST_conf;
    std::size_t groups_used = 0;     // base samples with every output finite
    std::size_t groups_dropped = 0;  // base samples left out
    double variance = 0.0;           // of the output over A and B
};

// `y` holds one output per run of a Saltelli design of n groups and d
// inputs (run j (d + 2) + m, as SaltelliDesign orders them). With V the
// variance of f(A) and f(B) together:
//   S1_i = (V - sum_j (f(B_j) - f(AB_j^i))^2 / 2N) / V
//   ST_i = sum_j (f(A_j) - f(AB_j^i))^2 / 2N / V
// over the N groups whose d + 2 outputs are all finite; the others are
// dropped whole. The bootstrap resamples those groups. With fewer than two
// groups, or V = 0, the indices are NaN.
SobolIndices sobol_indices(std::size_t n, std::size_t d, const std::vector<double>& y,
                           const BootstrapOptions& bootstrap = {});

struct MorrisIndices {
    std::vector<double> mu, mu_star, sigma, mu_star_conf;
    std::vector<std::size_t> effects;  // elementary effects per input with finite outputs
};

// Elementary effect of the input moved at step s of a trajectory: the
// change of the output divided by the signed step in the unit cube. Per
// input: mu the mean effect, mu_star the mean absolute effect, sigma the
// standard deviation (n - 1); an effect with an output that is not finite
// is left out. The bootstrap resamples whole trajectories.
MorrisIndices morris_indices(const MorrisDesign& design, const std::vector<double>& y,
                             const BootstrapOptions& bootstrap = {});

}  // namespace veltrax::experiments
