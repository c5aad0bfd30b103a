// SPDX-License-Identifier: LGPL-2.1-or-later
// Bit-for-bit regression against the recorded golden outputs, which were
// searched the literal way; any thread count must reproduce them.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>

#include "golden_cases.hpp"
#include "golden_io.hpp"
#include "literal_call.hpp"

using namespace veltrax;
using namespace veltrax::testing;

namespace {

void expect_identical(const std::vector<Matrix>& got, const std::vector<Matrix>& want, const std::string& what) {
    ASSERT_EQ(got.size(), want.size()) << what;
    for (std::size_t k = 0; k < got.size(); ++k) {
        ASSERT_EQ(got[k].rows, want[k].rows) << what << " output " << k;
        ASSERT_EQ(got[k].cols, want[k].cols) << what << " output " << k;
        for (std::size_t e = 0; e < got[k].data.size(); ++e) {
            if (std::memcmp(&got[k].data[e], &want[k].data[e], sizeof(double)) != 0) {
                ADD_FAILURE() << what << " output " << k << " element " << e << ": " << hex_double(got[k].data[e])
                              << " != " << hex_double(want[k].data[e]);
                return;
            }
        }
    }
}

class Golden : public ::testing::TestWithParam<unsigned> {};

}  // namespace

TEST_P(Golden, OutputsMatchBitForBit) {
    RunOptions options;
    options.threads = GetParam();
    for (const GoldenCase& gc : golden_cases()) {
        std::ifstream is(std::string(VELTRAX_GOLDEN_DIR) + "/" + gc.name + ".txt");
        ASSERT_TRUE(is) << "missing golden file for " << gc.name;
        Simulation sim(gc.build);
        for (std::size_t c = 0; c < gc.calls.size(); ++c) {
            const auto want = read_outputs(is, 5);
            expect_identical(sim.call(gc.calls[c], 5, options), want,
                             gc.name + " call " + std::to_string(c + 1));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Threads, Golden, ::testing::Values(1u, 2u, 7u));

TEST(LiteralSearch, FastSearchAgreesOnVariedRuns) {
    // Runs outside the golden set: dead time 0 (no constant terms), large
    // weights, a filter with a far-from-one leading coefficient, no limit.
    const Matrix curve = curve_default();
    const std::vector<std::pair<Build, std::vector<Matrix>>> runs = {
        {Build::Base, {Matrix::row({60, 0.0, 0, 0, 2, 2, 0.05, 10, 0.1}), Matrix::row({1}), Matrix::row({1, 1}), curve}},
        {Build::Base, {Matrix::row({60, 5.0, 3, 3, 1, 2, 0.0, 4, 0.5}), Matrix::row({1, 2}), Matrix::row({1, 4, 5, 2}), curve,
                     Matrix::row({2.5, -1.0, 0.1})}},
        {Build::Preview, {Matrix::row({60, 0.3, 1, 0, 4, 3, 0.01, 10, 0.1, 0}), Matrix::row({3}), Matrix::row({1, 3, 3, 1}), curve}},
        {Build::PreviewHold, {Matrix::row({60, 0.1, 0, 1, 2, 1, 0.0, 20, 0.05}), Matrix::row({70, 6.48}), Matrix(1, 0),
                     Matrix::row({30, 0.6, 2.5, 3.0})}},
    };
    for (std::size_t r = 0; r < runs.size(); ++r) {
        Simulation a(runs[r].first), b(runs[r].first);
        for (int call = 0; call < 2; ++call)
            expect_identical(a.call(runs[r].second), literal_call(b, runs[r].second), "run " + std::to_string(r));
    }
}
