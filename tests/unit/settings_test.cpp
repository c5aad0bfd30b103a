// SPDX-License-Identifier: LGPL-2.1-or-later
// Named settings against the positional inputs they come from.
#include <cstring>

#include <gtest/gtest.h>

#include "api/veltrax.hpp"
#include "golden_cases.hpp"

namespace veltrax {
namespace {

bool same_bits(const Matrix& a, const Matrix& b) {
    return a.rows == b.rows && a.cols == b.cols &&
           std::memcmp(a.data.data(), b.data.data(), a.data.size() * sizeof(double)) == 0;
}

// Every golden case run from its settings, and from the positional inputs
// of those settings, gives the bits of the positional call.
TEST(Settings, BothFormsGiveTheSameBits) {
    for (const testing::GoldenCase& c : testing::golden_cases()) {
        Simulation positional(c.build), named(c.build), round_trip(c.build);
        for (const std::vector<Matrix>& call : c.calls) {
            const Settings s = settings_from_inputs(call);
            const std::vector<Matrix> a = positional.call(call);
            const std::vector<Matrix> b = named.call(s);
            const std::vector<Matrix> r = round_trip.call(inputs_of(s));
            for (std::size_t k = 0; k < a.size(); ++k) {
                EXPECT_TRUE(same_bits(a[k], b[k])) << c.name << " output " << k;
                EXPECT_TRUE(same_bits(a[k], r[k])) << c.name << " output " << k;
            }
        }
    }
}

TEST(Settings, PositionalQuirksBecomeNamedValues) {
    const Matrix curve = Matrix::row({0.404, 0.505, 2.98, 4.0});
    Settings s = settings_from_inputs({Matrix::row({300.9, 0.1, 4.7, 2, 3, 3, 0.01, 10, 0.1, 99}), Matrix::row({70, 6.48, 5}),
                                       Matrix(3, 0), curve});
    EXPECT_EQ(s.samples, 300);
    EXPECT_EQ(s.dead_time, 4);
    EXPECT_EQ(s.noise.kind, NoiseKind::Gaussian);
    ASSERT_TRUE(s.builtin_model());
    EXPECT_EQ(std::get<BodyModel>(s.process).cardiac_output, 6.48);
    // Ten elements as a column are uniform noise.
    s = settings_from_inputs({Matrix::column({300, 0.1, 4, 2, 3, 3, 0.01, 10, 0.1, 0}), Matrix::row({1}),
                              Matrix::row({1, 1}), curve});
    EXPECT_EQ(s.noise.kind, NoiseKind::Uniform);
}

TEST(Settings, ErrorsNameTheField) {
    Settings s;
    s.dead_time = 7;
    try {
        check_settings(s);
        FAIL() << "accepted";
    } catch (const Error& e) {
        EXPECT_EQ(e.id(), "veltrax:badDeadTime");
        EXPECT_STREQ(e.what(), "settings.dead_time + settings.b_order must be at most 9, got 7 + 3");
    }
    s = Settings{};
    s.process = TransferFunction{{1, 2, 3}, {1, 1}};
    Simulation sim;
    try {
        sim.call(s);
        FAIL() << "accepted";
    } catch (const Error& e) {
        EXPECT_EQ(e.id(), "veltrax:badNumerator");
        EXPECT_NE(std::string(e.what()).find("process.numerator"), std::string::npos) << e.what();
    }
}

}  // namespace
}  // namespace veltrax
