// SPDX-License-Identifier: LGPL-2.1-or-later
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "api/veltrax.hpp"
#include "golden_cases.hpp"

using namespace veltrax;
using veltrax::testing::curve_default;

namespace {

// One time unit per sample period, exactly.
Matrix params(double n, double weight = 0.1, double d = 4, double u_max = 2, double na = 3, double nb = 3,
              double noise = 0.0) {
    return Matrix::row({n, weight, d, u_max, na, nb, noise, 1, 1.0});
}

std::vector<Matrix> linear_call(const Matrix& p) { return {p, Matrix::row({1}), Matrix::row({1, 3, 3, 1}), curve_default()}; }

bool same_bits(const std::vector<Matrix>& a, const std::vector<Matrix>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i].rows != b[i].rows || a[i].cols != b[i].cols) return false;
        if (std::memcmp(a[i].data.data(), b[i].data.data(), a[i].data.size() * sizeof(double)) != 0) return false;
    }
    return true;
}

std::vector<Matrix> run(Build b, Simulation& s, const std::vector<Matrix>& in) {
    EXPECT_EQ(s.build(), b);
    return s.call(in);
}

}  // namespace

TEST(Driver, SetpointScheduleBoundaries) {
    Simulation s;
    const auto out = run(Build::Base, s, linear_call(params(260)));
    const Matrix& tr = out[1];
    auto sp_at = [&](int t) { return tr(static_cast<std::size_t>(t), 0); };
    EXPECT_EQ(out[0](100, 0), 100.0);
    EXPECT_EQ(sp_at(99), 0.8);
    EXPECT_EQ(sp_at(100), 0.95);
    EXPECT_EQ(sp_at(200), 0.95);
    EXPECT_EQ(sp_at(201), 0.9);
    EXPECT_EQ(sp_at(250), 0.9);
    EXPECT_EQ(sp_at(251), 0.95);
}

TEST(Driver, SumsFollowTheRecordedRows) {
    // Large uniform noise: clamping at both ends happens often.
    Simulation s;
    const auto out = run(Build::Base, s, linear_call(params(120, 0.1, 2, 1.5, 2, 2, 1.0)));
    const Matrix &t = out[0], &tr = out[1], &se = out[3];
    double sq = 0.0, tae = 0.0, integral = 0.0, previous_setpoint = 0.8;
    bool low = false, high = false;
    for (std::size_t i = 0; i < t.rows; ++i) {
        const double v = tr(i, 4), y = tr(i, 2);
        const double vg = std::pow(v, 2.98);
        const double raw = vg / (std::pow(0.404, 2.98) + vg) + se(i, 4);
        ASSERT_GE(y, 0.0);
        ASSERT_LE(y, 1.0);
        low |= raw <= 0.0;
        high |= raw >= 1.0;
        EXPECT_EQ(y, raw <= 0.0 ? 0.0 : (raw >= 1.0 ? 1.0 : raw));
        EXPECT_LE(std::fabs(se(i, 4)), 1.0);
        const double e = previous_setpoint - raw;
        sq = sq + e * e;
        const double u_delayed = i >= 2 ? tr(i - 2, 1) : 0.0;
        integral = integral + (1 * u_delayed) * 1.0;
        tae = tae + std::fabs(tr(i, 0) - y) * (t(i, 0) + 1.0);
        previous_setpoint = tr(i, 0);
    }
    EXPECT_TRUE(low && high);
    EXPECT_EQ(out[4](0, 0), sq);
    EXPECT_EQ(out[4](1, 0), tae);
    EXPECT_EQ(out[4](2, 0), 60.0 * integral);
}

TEST(Driver, NegativeProcessOutputReadsZeroForAFractionalExponent) {
    // A zero in the right half-plane: the output first moves the wrong way.
    Simulation s;
    const auto out = run(Build::Base, s, {params(60, 0.1, 0, 2, 2, 2), Matrix::row({-1, 1}), Matrix::row({1, 2, 1}), curve_default()});
    bool negative = false;
    for (std::size_t i = 0; i < 60; ++i) {
        if (out[1](i, 4) < 0.0) {
            negative = true;
            EXPECT_EQ(out[1](i, 2), 0.0);
        }
    }
    EXPECT_TRUE(negative);
    for (double sum : out[4].data) EXPECT_TRUE(std::isfinite(sum));
    // With an integer exponent the power is real and the curve is used as it is.
    Simulation t;
    const auto cubic = run(Build::Base, t, {params(60, 0.1, 0, 2, 2, 2), Matrix::row({-1, 1}), Matrix::row({1, 2, 1}),
                                          Matrix::row({0.404, 0.505, 3.0, 4.0})});
    for (std::size_t i = 0; i < 60; ++i) {
        const double v = cubic[1](i, 4);
        if (v < 0.0) {
            const double raw = std::pow(v, 3.0) / (std::pow(0.404, 3.0) + std::pow(v, 3.0));
            EXPECT_EQ(cubic[1](i, 2), raw <= 0.0 ? 0.0 : (raw >= 1.0 ? 1.0 : raw));
        }
    }
}

TEST(Driver, ControlLimits) {
    for (double u_max : {0.5, 0.0, -1.0}) {
        Simulation s;
        const auto out = run(Build::Base, s, linear_call(params(150, 0.01, 1, u_max)));
        const Matrix &tr = out[1], &se = out[3];
        double previous = 0.0;
        bool hit_upper = false;
        for (std::size_t i = 0; i < tr.rows; ++i) {
            double u = previous + se(i, 0);
            if (u_max > 0.0 && u >= u_max) {
                u = u_max;
                hit_upper = true;
            }
            if (u <= 0.0) u = 0.0;
            ASSERT_EQ(tr(i, 1), u);
            ASSERT_EQ(se(i, 2), u - previous);
            previous = u;
        }
        EXPECT_EQ(hit_upper, u_max > 0.0);
    }
}

TEST(Driver, GaussianNoiseOnlyForARowOfTenColumns) {
    const double amplitude = 0.01;
    auto first_noise = [&](const Matrix& p) {
        Simulation s;
        return run(Build::Base, s, linear_call(p))[3](0, 4);
    };
    const double u0 = 0.28538090;  // first uniform deviate after load
    Matrix row10 = Matrix::row({5, 0.1, 4, 2, 3, 3, amplitude, 1, 1.0, 0});
    Matrix col10(10, 1, row10.data);
    Matrix row11 = Matrix::row({5, 0.1, 4, 2, 3, 3, amplitude, 1, 1.0, 0, 0});
    EXPECT_NEAR(first_noise(row10), amplitude * -0.98337746, 1e-9);
    EXPECT_NEAR(first_noise(col10), amplitude * (1 - 2 * u0), 1e-9);
    EXPECT_NEAR(first_noise(row11), amplitude * (1 - 2 * u0), 1e-9);
    Simulation quiet;
    const auto out = run(Build::Base, quiet, linear_call(params(20)));
    for (std::size_t i = 0; i < 20; ++i) EXPECT_EQ(out[3](i, 4), 0.0);
}

TEST(Driver, TruncationAndInitialEstimates) {
    Simulation a, b;
    Matrix fractional = params(30, 0.1, 3.9, 2, 3.7, 3.2);
    EXPECT_TRUE(same_bits(run(Build::Base, a, linear_call(fractional)), run(Build::Base, b, linear_call(params(30, 0.1, 3, 2, 3, 3)))));
    Simulation c, d;
    EXPECT_TRUE(same_bits(run(Build::Base, c, linear_call(params(10, 0.1, -0.5))), run(Build::Base, d, linear_call(params(10, 0.1, 0)))));
    // The 1.0 goes to theta[b_order]; the first sample after load leaves theta as it is.
    Simulation e;
    const auto out = run(Build::Base, e, linear_call(params(1, 0.1, 1, 2, 2, 3)));
    ASSERT_EQ(out[2].cols, 5u);
    for (std::size_t k = 0; k < 5; ++k) EXPECT_EQ(out[2](0, k), k == 3 ? 1.0 : 0.0);
}

TEST(Driver, ConsecutiveCallsContinueAndReloadRestarts) {
    Simulation s;
    const auto in = linear_call(Matrix::row({50, 0.1, 2, 2, 3, 3, 0.02, 10, 0.1}));
    const auto first = run(Build::Base, s, in);
    const auto second = run(Build::Base, s, in);
    EXPECT_DOUBLE_EQ(second[0](0, 0), first[0](49, 0) + 1.0);
    EXPECT_GT(second[4](0, 0), first[4](0, 0));
    EXPECT_NE(second[3](0, 4), first[3](0, 4));  // noise continues
    Simulation fresh;
    EXPECT_TRUE(same_bits(run(Build::Base, fresh, in), first));
}

TEST(Driver, FiveInputsOnlySelectTheFilter) {
    auto in4 = linear_call(params(40));
    auto in5 = in4;
    in5.push_back(Matrix::row({1, -1.6, 0.64}));
    auto in6 = in4;
    in6.push_back(Matrix::row({1, -0.5, 0.0}));
    in6.push_back(Matrix::row({0}));
    Simulation a, b, c;
    const auto o4 = run(Build::Base, a, in4);
    EXPECT_TRUE(same_bits(o4, run(Build::Base, b, in5)));
    EXPECT_TRUE(same_bits(o4, run(Build::Base, c, in6)));
}

TEST(Driver, ZeroSamplesReturnsEmptyOutputsAndKeepsSums) {
    Simulation s;
    const auto first = run(Build::Base, s, linear_call(params(20)));
    const auto empty = run(Build::Base, s, linear_call(params(0)));
    EXPECT_EQ(empty[0].rows, 0u);
    EXPECT_EQ(empty[2].cols, 6u);
    for (int k = 0; k < 3; ++k) EXPECT_EQ(empty[4].data[k], first[4].data[k]);
}

TEST(Driver, FewerOutputsRunTheWholeSimulation) {
    const auto in = linear_call(Matrix::row({40, 0.1, 2, 2, 3, 3, 0.02, 10, 0.1}));
    for (int nlhs = 0; nlhs <= 4; ++nlhs) {
        Simulation a, b;
        const auto partial = a.call(in, nlhs);
        EXPECT_EQ(partial.size(), static_cast<std::size_t>(std::max(1, nlhs)));
        b.call(in);
        EXPECT_TRUE(same_bits(run(Build::Base, a, in), run(Build::Base, b, in)));
    }
}

TEST(Driver, ModelAdvancesSixtySecondsWhateverTheStepSettings) {
    const Matrix body = Matrix::row({70, 6.48}), empty(1, 0), curve = Matrix::row({50, 0.505, 2.98, 4.0});
    Simulation a, b;
    const auto x = run(Build::Base, a, {Matrix::row({40, 0.1, 2, 0, 3, 3, 0, 10, 0.1}), body, empty, curve});
    const auto y = run(Build::Base, b, {Matrix::row({40, 0.1, 2, 0, 3, 3, 0, 1, 1.0}), body, empty, curve});
    EXPECT_TRUE(same_bits({x[1], x[2], x[3]}, {y[1], y[2], y[3]}));
    EXPECT_EQ(x[1](0, 4), 0.0);  // no infusion before the first sample period
    EXPECT_GT(x[1](39, 4), 10.0);
    for (std::size_t i = 0; i < 40; ++i) EXPECT_EQ(x[3](i, 3), 0.0);  // the dose column
}

TEST(Driver, PreviewTimelineWithEstimationHold) {
    Simulation v3(Build::PreviewHold), v1(Build::Preview);
    const auto in = linear_call(params(115));
    const auto o3 = run(Build::PreviewHold, v3, in);
    const auto o1 = run(Build::Preview, v1, in);
    for (std::size_t t = 0; t < 115; ++t) {
        const double expected_setpoint = t <= 98 ? 0.8 : 0.95;
        EXPECT_EQ(o3[1](t, 0), expected_setpoint) << t;
        EXPECT_EQ(o1[1](t, 0), expected_setpoint) << t;
        double hold = 0;
        if (t >= 91 && t <= 98) hold = 1;
        if (t >= 99 && t <= 107) hold = static_cast<double>(t - 97);
        EXPECT_EQ(o3[3](t, 4), hold) << t;
        EXPECT_EQ(o1[3](t, 4), 0.0);
    }
    auto theta_row = [&](std::size_t t) {
        std::vector<double> r;
        for (std::size_t k = 0; k < o3[2].cols; ++k) r.push_back(o3[2](t, k));
        return r;
    };
    EXPECT_NE(theta_row(90), theta_row(89));
    EXPECT_NE(theta_row(91), theta_row(90));
    for (std::size_t t = 92; t <= 108; ++t) EXPECT_EQ(theta_row(t), theta_row(91)) << t;
    EXPECT_NE(theta_row(109), theta_row(108));
    // veltrax1 records the cost of the applied move where the others record the dose.
    EXPECT_NE(o1[3](50, 3), 0.0);
    EXPECT_EQ(o3[3](50, 3), 0.0);
}

TEST(Driver, PreviewErrorSumUsesTheFarEndSetpoint) {
    for (Build b : {Build::Preview, Build::PreviewHold}) {
        Simulation s(b);
        const auto out = run(b, s, linear_call(params(99)));
        double tae = 0.0;
        for (std::size_t i = 0; i < 99; ++i) {
            const double far = i >= 90 ? 0.95 : 0.8;
            EXPECT_EQ(out[1](i, 0), 0.8);
            tae = tae + std::fabs(far - out[1](i, 2)) * (out[0](i, 0) + 1.0);
        }
        EXPECT_EQ(out[4](1, 0), tae);
    }
}

TEST(Driver, BatchEqualsRunningOneAfterAnother) {
    std::vector<BatchJob> jobs;
    for (int j = 0; j < 6; ++j) {
        BatchJob job;
        job.build = static_cast<Build>(1 + j % 3);
        const auto in = linear_call(Matrix::row({40.0 + j, 0.1, double(j % 4), 2, 3, 3, 0.01 * j, 10, 0.1}));
        job.calls = {in, in};
        jobs.push_back(job);
    }
    jobs[4].calls[1][0] = Matrix::row({10, 0.1, 2, 2, 9, 3, 0, 10, 0.1});  // rejected second call
    const auto results = run_batch(jobs, 2);
    ASSERT_EQ(results.size(), jobs.size());
    for (std::size_t j = 0; j < jobs.size(); ++j) {
        Simulation s(jobs[j].build);
        for (std::size_t c = 0; c < results[j].outputs.size(); ++c) {
            RunOptions one;
            one.threads = 1;
            EXPECT_TRUE(same_bits(results[j].outputs[c], s.call(jobs[j].calls[c], 5, one)));
        }
    }
    EXPECT_FALSE(results[4].ok);
    EXPECT_EQ(results[4].error_id, "veltrax:badOrder");
    EXPECT_EQ(results[4].outputs.size(), 1u);
    EXPECT_TRUE(results[0].ok);
}
