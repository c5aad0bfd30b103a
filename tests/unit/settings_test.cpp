// SPDX-License-Identifier: LGPL-2.1-or-later
// Named settings against the positional inputs they come from.
#include <cstring>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "api/veltrax.hpp"
#include "golden_cases.hpp"

namespace veltrax {
namespace {

bool same_bits(const Matrix& a, const Matrix& b) {
    return a.rows == b.rows && a.cols == b.cols &&
           std::memcmp(a.data.data(), b.data.data(), a.data.size() * sizeof(double)) == 0;
}

// Every golden case run from its settings, from the positional inputs of
// those settings and as a batch job of settings gives the bits of the
// positional call.
TEST(Settings, BothFormsGiveTheSameBits) {
    std::vector<BatchJob> jobs;
    std::vector<std::vector<std::vector<Matrix>>> want;
    for (const testing::GoldenCase& c : testing::golden_cases()) {
        Simulation positional(c.build), named(c.build), round_trip(c.build);
        BatchJob job;
        job.build = c.build;
        want.emplace_back();
        for (const std::vector<Matrix>& call : c.calls) {
            const Settings s = settings_from_inputs(call);
            job.settings.push_back(s);
            const std::vector<Matrix> a = positional.call(call);
            const std::vector<Matrix> b = named.call(s);
            const std::vector<Matrix> r = round_trip.call(inputs_of(s));
            for (std::size_t k = 0; k < a.size(); ++k) {
                EXPECT_TRUE(same_bits(a[k], b[k])) << c.name << " output " << k;
                EXPECT_TRUE(same_bits(a[k], r[k])) << c.name << " output " << k;
            }
            want.back().push_back(a);
        }
        jobs.push_back(std::move(job));
    }
    const std::vector<BatchResult> batch = run_batch(jobs, 2);
    for (std::size_t j = 0; j < jobs.size(); ++j) {
        ASSERT_TRUE(batch[j].ok) << batch[j].error_message;
        ASSERT_EQ(batch[j].outputs.size(), want[j].size());
        for (std::size_t c = 0; c < want[j].size(); ++c)
            for (std::size_t k = 0; k < 5; ++k)
                EXPECT_TRUE(same_bits(batch[j].outputs[c][k], want[j][c][k])) << "job " << j << " call " << c;
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

std::string rejected(const std::function<void()>& call) {
    try {
        call();
    } catch (const Error& e) {
        return e.id() + " " + e.what();
    }
    return "accepted";
}

// Named settings name the field; the same fault in positional inputs keeps
// the plug-ins' words.
TEST(Settings, ErrorsNameTheField) {
    Settings s;
    s.dead_time = 7;
    EXPECT_EQ(rejected([&] { check_settings(s); }),
              "veltrax:badDeadTime settings.dead_time + settings.b_order must be at most 9, got 7 + 3");
    s = Settings{};
    s.process = TransferFunction{{1}, {0, 1, 1}};
    Simulation sim;
    EXPECT_EQ(rejected([&] { sim.call(s); }), "veltrax:badDenominator process.denominator[0] must not be 0");
    EXPECT_EQ(rejected([&] { sim.call(inputs_of(s)); }),
              "veltrax:badDenominator leading denominator coefficient must not be 0");
    EXPECT_EQ(rejected([] { noise_kind_named("pink"); }),
              "veltrax:badNoise settings.noise.kind must be \"uniform\" or \"gaussian\", got \"pink\"");
}

}  // namespace
}  // namespace veltrax
