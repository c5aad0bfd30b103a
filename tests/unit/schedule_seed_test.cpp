// SPDX-License-Identifier: LGPL-2.1-or-later
// Set-point schedules and noise seeds of the API.
#include <gtest/gtest.h>

#include <cstring>

#include "api/veltrax.hpp"
#include "golden_cases.hpp"

using namespace veltrax;

namespace {

std::vector<Matrix> linear(double n, double substeps, double h, double noise = 0.0, bool gaussian = false) {
    Matrix p = Matrix::row({n, 0.1, 2, 2, 3, 3, noise, substeps, h});
    if (gaussian) p = Matrix(1, 10, {n, 0.1, 2, 2, 3, 3, noise, substeps, h, 0});
    return {p, Matrix::row({1}), Matrix::row({1, 3, 3, 1}), veltrax::testing::curve_default()};
}

bool same_bits(const std::vector<Matrix>& a, const std::vector<Matrix>& b) {
    for (std::size_t i = 0; i < a.size(); ++i)
        if (a[i].data.size() != b[i].data.size() ||
            std::memcmp(a[i].data.data(), b[i].data.data(), a[i].data.size() * sizeof(double)) != 0)
            return false;
    return true;
}

}  // namespace

TEST(Schedule, BuiltinStepsGiveTheBuiltinRunBitForBit) {
    // Times of 0.3 units do not fall on the step times; 1.0 units do.
    const SetpointSchedule builtin = builtin_setpoint_schedule();
    RunOptions with;
    with.schedule = &builtin;
    for (Build b : {Build::Preview, Build::Base, Build::PreviewHold}) {
        for (const auto& in : {linear(280, 3, 0.1, 0.01), linear(270, 10, 0.1, 0.02, true)}) {
            Simulation x(b), y(b);
            EXPECT_TRUE(same_bits(x.call(in), y.call(in, 5, with))) << static_cast<int>(b);
            EXPECT_TRUE(same_bits(x.call(in), y.call(in, 5, with))) << static_cast<int>(b) << " second call";
        }
    }
}

TEST(Schedule, RampAndStepsReachEveryBuildAndTheHold) {
    SetpointSchedule s;
    s.steps = {{0, 0.7}, {40, 0.7, false, true}, {60, 0.9}, {100, 0.85}};
    RunOptions o;
    o.schedule = &s;
    const auto in = linear(130, 10, 0.1);  // one time unit per sample period
    Simulation base(Build::Base), preview(Build::Preview), hold(Build::PreviewHold);
    const auto ob = base.call(in, 5, o), op = preview.call(in, 5, o), oh = hold.call(in, 5, o);
    EXPECT_EQ(ob[1](39, 0), 0.7);
    EXPECT_DOUBLE_EQ(ob[1](50, 0), 0.8);
    EXPECT_EQ(ob[1](60, 0), 0.9);
    EXPECT_EQ(ob[1](100, 0), 0.85);
    // The preview records the set-point of the next sample period.
    for (std::size_t t = 10; t < 129; ++t) {
        EXPECT_EQ(op[1](t, 0), ob[1](t + 1, 0)) << t;
        EXPECT_EQ(oh[1](t, 0), ob[1](t + 1, 0)) << t;
    }
    // The hold build pauses its estimator while the step at 100 travels
    // through the preview, as it does for the built-in changes.
    for (std::size_t t = 92; t <= 108; ++t) EXPECT_EQ(oh[2](t, 0), oh[2](91, 0)) << t;
    EXPECT_NE(oh[2](109, 0), oh[2](108, 0));
}

TEST(Schedule, RampEndsOnTheNextValueExactly) {
    // At t = 40 the "after" step is not yet reached and the ramp is at its
    // end: 0.3 + (0.9 - 0.3) * 1 would be 0.9000000000000001.
    SetpointSchedule s;
    s.steps = {{0, 0.3}, {20, 0.3, false, true}, {40, 0.9, true}};
    RunOptions o;
    o.schedule = &s;
    Simulation base(Build::Base);
    const auto out = base.call(linear(50, 10, 0.1), 5, o);
    EXPECT_EQ(out[1](40, 0), 0.9);
}

TEST(Schedule, BadStepsAreRejectedBeforeAnythingRuns) {
    SetpointSchedule s;
    s.steps = {{10, 0.8}, {10, 0.9}};
    RunOptions o;
    o.schedule = &s;
    Simulation sim, fresh;
    try {
        sim.call(linear(20, 10, 0.1), 5, o);
        FAIL();
    } catch (const Error& e) {
        EXPECT_EQ(e.id(), "veltrax:badSchedule");
    }
    EXPECT_EQ(sim.save_state(), fresh.save_state());
}

TEST(Seed, SeedOneIsTheLoadedSequenceAndOthersDiffer) {
    const auto in = linear(60, 10, 0.1, 0.02);
    Simulation loaded, one, two, two_again;
    one.seed_noise(1);
    two.seed_noise(2);
    two_again.seed_noise(2);
    const auto o2 = two.call(in);
    EXPECT_TRUE(same_bits(loaded.call(in), one.call(in)));
    EXPECT_TRUE(same_bits(o2, two_again.call(in)));
    EXPECT_FALSE(same_bits(o2, one.call(in)));
    EXPECT_THROW(one.seed_noise(0), Error);
    EXPECT_THROW(one.seed_noise(2147483563), Error);
}
