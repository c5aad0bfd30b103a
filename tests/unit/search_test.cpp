// SPDX-License-Identifier: LGPL-2.1-or-later
// The lock-step search against the scalar search, start by start, on random
// cost tables with awkward values: NaN and infinite free responses, all-zero
// step coefficients, huge and negative weights, constant costs (ties
// everywhere), exponents the power function treats specially. The golden
// regression covers real runs on every path.
#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "driver/search.hpp"

using namespace veltrax;

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

CostTable random_table(std::mt19937_64& rng, int trial) {
    std::uniform_real_distribution<double> unit(0.0, 1.0), signed_unit(-1.0, 1.0);
    PredictionState p;
    const int zeros = trial % 11 == 0 ? kHorizonEnd : trial % 5;  // leading zero step coefficients
    for (int k = 0; k < kHorizonEnd; ++k) {
        p.step_coef[k] = k < zeros ? 0.0 : (trial % 3 == 0 ? 0.4 : 1.0) * signed_unit(rng);
        p.free_response[k] = 0.3 + unit(rng);
    }
    switch (trial % 13) {
        case 1: p.free_response[kHorizonEnd - 1] = kNaN; break;
        case 2: p.free_response[zeros % kHorizonEnd] = kInf; break;
        case 3: p.free_response[kHorizonEnd - 2] = -kInf; break;
        case 4: p.step_coef[kHorizonEnd - 1] = 1e300; break;  // w overflows for large moves
        case 5:
            for (int k = 0; k < kHorizonEnd; ++k) p.free_response[k] = -unit(rng);  // no positive w near 0
            break;
    }
    double reference[kHorizonEnd];
    for (double& r : reference) r = trial % 7 == 0 ? 0.9 : unit(rng);
    const double weights[] = {0.1, 0.0, 1e300, 1e-300, -0.05, 3.0, 0.1};
    const double exponents[] = {4.0, 2.98, 1.0, 0.5, 0.0, 40.0, 4.0};
    const double weight = weights[trial % 7], exponent = exponents[(trial / 7) % 7];
    return make_cost_table(p, reference, weight, exponent, 0.2 + unit(rng));
}

std::uint64_t bits(double v) {
    std::uint64_t b;
    std::memcpy(&b, &v, sizeof b);
    return b;
}

}  // namespace

TEST(LockstepSearch, EveryStartEndsWithTheScalarSearchsBits) {
    std::vector<vpow::PowPath> paths;
    for (vpow::PowPath path : {vpow::PowPath::Avx2, vpow::PowPath::Avx512})
        if (lockstep_lanes(path) > 0) paths.push_back(path);
    if (paths.empty()) GTEST_SKIP() << "no vector path here:\n" << vpow::pow_selection_report();

    FastSearch<false> scalar(1, vpow::PowPath::Scalar);
    ASSERT_EQ(scalar.lanes(), 0);
    std::vector<std::unique_ptr<FastSearch<false>>> lockstep;
    for (vpow::PowPath path : paths)
        for (unsigned threads : {1u, 3u}) lockstep.push_back(std::make_unique<FastSearch<false>>(threads, path));

    std::mt19937_64 rng(20260917);
    for (int trial = 0; trial < 300; ++trial) {
        const CostTable table = random_table(rng, trial);
        const StartOutcome* found = scalar.outcomes_on(table);
        const std::vector<StartOutcome> want(found, found + kSearchStarts);
        for (const auto& search : lockstep) {
            const StartOutcome* got = search->outcomes_on(table);
            for (int index = 0; index < kSearchStarts; ++index) {
                if (bits(got[index].cost) != bits(want[index].cost) || bits(got[index].move) != bits(want[index].move)) {
                    ADD_FAILURE() << "trial " << trial << ", " << search->lanes() << " lanes, start " << index << ": ("
                                  << got[index].move << ", " << got[index].cost << ") instead of ("
                                  << want[index].move << ", " << want[index].cost << ")";
                    return;
                }
            }
        }
    }
}
