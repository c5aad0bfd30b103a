// SPDX-License-Identifier: LGPL-2.1-or-later
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "controller/cost.hpp"
#include "controller/estimator.hpp"
#include "controller/prediction.hpp"

using namespace veltrax;

namespace {

// P = U D U^T from the packed factors.
std::vector<double> covariance(const double* diag, const double* upper, int n) {
    auto u = [&](int i, int j) { return i == j ? 1.0 : (i < j ? upper[j * (j - 1) / 2 + i] : 0.0); };
    std::vector<double> p(n * n, 0.0);
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j)
            for (int k = 0; k < n; ++k) p[i * n + j] += u(i, k) * diag[k] * u(j, k);
    return p;
}

}  // namespace

TEST(Estimator, UdUpdateEqualsCovarianceFormLeastSquares) {
    std::mt19937 rng(7);
    std::normal_distribution<double> noise(0.0, 1.0);
    const int n = 6;
    const double lambda = 0.97;
    double diag[10], upper[45] = {}, gain[10], theta[10] = {};
    for (int i = 0; i < n; ++i) diag[i] = 1000.0;
    std::vector<double> p(n * n, 0.0), th(n, 0.0);
    for (int i = 0; i < n; ++i) p[i * n + i] = 1000.0;
    const double truth[6] = {-1.2, 0.5, 0.1, 0.8, -0.3, 0.05};
    for (int t = 0; t < 200; ++t) {
        double phi[10];
        for (int i = 0; i < n; ++i) phi[i] = noise(rng);
        double y = 0.01 * noise(rng);
        for (int i = 0; i < n; ++i) y += truth[i] * phi[i];
        double e = y;
        for (int i = 0; i < n; ++i) e -= theta[i] * phi[i];
        ud_rls_update(e, phi, diag, gain, lambda, upper, n, theta);

        // Plain form: K = P phi / (1 + phi' P phi), P = (P - K phi' P) / lambda.
        std::vector<double> pphi(n, 0.0);
        for (int i = 0; i < n; ++i)
            for (int j = 0; j < n; ++j) pphi[i] += p[i * n + j] * phi[j];
        double alpha = 1.0;
        for (int i = 0; i < n; ++i) alpha += phi[i] * pphi[i];
        double e2 = y;
        for (int i = 0; i < n; ++i) e2 -= th[i] * phi[i];
        for (int i = 0; i < n; ++i) th[i] += pphi[i] * e2 / alpha;
        for (int i = 0; i < n; ++i)
            for (int j = 0; j < n; ++j) p[i * n + j] = (p[i * n + j] - pphi[i] * pphi[j] / alpha) / lambda;
    }
    const std::vector<double> pu = covariance(diag, upper, n);
    for (int i = 0; i < n; ++i) {
        EXPECT_NEAR(theta[i], th[i], 1e-9);
        EXPECT_NEAR(theta[i], truth[i], 1e-2);
        for (int j = 0; j < n; ++j) EXPECT_NEAR(pu[i * n + j], p[i * n + j], 1e-9 * (1.0 + std::fabs(p[i * n + j])));
    }
}

TEST(Estimator, ZeroRegressorOnlyInflatesTheDiagonal) {
    double diag[3] = {1000.0, 1000.0, 1000.0}, upper[3] = {0.5, -0.25, 2.0}, gain[3], theta[3] = {0.0, 0.0, 1.0};
    const double phi[3] = {0.0, 0.0, 0.0};
    ud_rls_update(0.7, phi, diag, gain, 0.97, upper, 3, theta);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(diag[i], 1000.0 / 0.97);
        EXPECT_EQ(gain[i], 0.0);
    }
    EXPECT_EQ(theta[2], 1.0);
    EXPECT_EQ(upper[0], 0.5);
}

TEST(Estimator, RegressorFollowsDeadTimeAndOrders) {
    SignalHistories h;
    double phi[kMaxParameters];
    for (int i = 0; i < kHistoryLength; ++i) {
        h.dz_est[i] = 100 + i;
        h.du_est[i] = 200 + i;
    }
    build_regressor(phi, h, 3, 3, 4);
    const double expected[6] = {-119, -118, -117, 215, 214, 213};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(phi[i], expected[i]);
    build_regressor(phi, h, 1, 2, 0);
    EXPECT_EQ(phi[1], 219);  // d = 0 uses the previous sample's move
}

TEST(Estimator, StaticGainSplitsAtBOrder) {
    const double theta[5] = {0.5, -0.2, 0.3, 0.4, 0.1};
    EXPECT_DOUBLE_EQ(static_gain(theta, 3, 2), (0.3 + 0.4 + 0.1) / (1.0 + (0.5 - 0.2)));
    EXPECT_DOUBLE_EQ(static_gain(theta, 2, 3), (0.4 + 0.1) / (1.0 + (0.5 - 0.2 + 0.3)));
}

TEST(Estimator, ShiftMovesHistoriesAndPreview) {
    SignalHistories h;
    double preview[kPreviewLength];
    for (int i = 0; i < kHistoryLength; ++i) h.z_over_t[i] = i;
    for (int i = 0; i < kPreviewLength; ++i) preview[i] = 10 * i;
    shift_histories(h);
    shift_preview(preview);
    EXPECT_EQ(h.z_over_t[0], 0.0);
    for (int i = 1; i < 20; ++i) EXPECT_EQ(h.z_over_t[i], i + 1);
    EXPECT_EQ(h.z_over_t[20], 20.0);
    for (int i = 0; i < 19; ++i) EXPECT_EQ(preview[i], 10 * (i + 1));
    EXPECT_EQ(preview[19], 190.0);
}

namespace {

// Prediction state for theta (a_1..a_na, b_0..b_nb-1) and filter T.
PredictionState predict(const std::vector<double>& theta, int na, int nb, int d, const double* t,
                        const double* zt, const double* dut) {
    PredictionState p;
    const double t4[4] = {t[0], t[1], t[2], 0.0};
    start_prediction(p, t4, na, nb, d);
    copy_model_polynomials(p, theta.data(), na, d);
    solve_output_recursion(p, t[0]);
    solve_input_recursion(p, t[0]);
    compute_free_response(p, zt, dut);
    return p;
}

// Change of z k+1 samples after a unit step in u, from A dz(t) = B du(t-1-d).
std::vector<double> step_response(const std::vector<double>& theta, int na, int nb, int d) {
    std::vector<double> du(40, 0.0), dz(40, 0.0), z(40, 0.0), g;
    const int t0 = 20;
    du[t0] = 1.0;
    for (int t = t0; t < 40; ++t) {
        double v = 0.0;
        for (int i = 1; i <= na; ++i) v -= theta[i - 1] * dz[t - i];
        for (int j = 0; j < nb; ++j) v += theta[na + j] * du[t - 1 - d - j];
        dz[t] = v;
        z[t] = z[t - 1] + v;
    }
    for (int k = 0; k < kHorizonEnd; ++k) g.push_back(z[t0 + k + 1]);
    return g;
}

const double kUnitT[3] = {1.0, 0.0, 0.0};
const double kDefaultT[3] = {1.0, -1.6, 0.64};

}  // namespace

TEST(Prediction, RunStartEstimatesWithUnitFilter) {
    double zt[kHistoryLength] = {}, dut[kHistoryLength];
    zt[20] = 0.37;
    for (int i = 0; i < kHistoryLength; ++i) dut[i] = std::sin(i);
    const PredictionState p = predict({0, 0, 0, 1, 0, 0}, 3, 3, 0, kUnitT, zt, dut);
    for (int k = 0; k < kHorizonEnd; ++k) {
        EXPECT_EQ(p.e_coef[k], 1.0);
        EXPECT_EQ(p.step_coef[k], 1.0);
        EXPECT_EQ(p.f_rows[k][0], 1.0);
        for (int j = 1; j < kRowLength; ++j) EXPECT_EQ(p.f_rows[k][j], 0.0);
        for (int j = 0; j < kRowLength; ++j) EXPECT_EQ(p.gamma_rows[k][j], 0.0);
        EXPECT_EQ(p.free_response[k], 0.37);
    }
}

TEST(Prediction, RunStartEstimatesWithDefaultFilter) {
    double zt[kHistoryLength] = {}, dut[kHistoryLength] = {};
    const PredictionState p = predict({0, 0, 0, 1, 0, 0}, 3, 3, 0, kDefaultT, zt, dut);
    EXPECT_EQ(p.e_coef[0], 1.0);
    EXPECT_NEAR(p.e_coef[1], -0.6, 1e-15);
    for (int k = 2; k < kHorizonEnd; ++k) EXPECT_NEAR(p.e_coef[k], 0.04, 1e-15);
    for (int k = 0; k < kHorizonEnd; ++k) EXPECT_NEAR(p.step_coef[k], 1.0, 1e-14);
}

TEST(Prediction, StepCoefficientsAreTheModelsStepResponse) {
    std::mt19937 rng(11);
    std::uniform_real_distribution<double> coef(-0.6, 0.6);
    struct Orders { int na, nb, d; };
    // Includes d + nb < 3, where the remainder rows need T's tail.
    const Orders orders[] = {{3, 3, 4}, {1, 1, 0}, {2, 1, 0}, {6, 3, 0}, {0, 2, 0}, {2, 2, 7}, {1, 1, 1}};
    for (const Orders& o : orders) {
        for (int trial = 0; trial < 5; ++trial) {
            std::vector<double> theta(o.na + o.nb);
            for (double& v : theta) v = coef(rng);
            for (const double* t : {kUnitT, kDefaultT}) {
                double zt[kHistoryLength] = {}, dut[kHistoryLength] = {};
                const PredictionState p = predict(theta, o.na, o.nb, o.d, t, zt, dut);
                const std::vector<double> g = step_response(theta, o.na, o.nb, o.d);
                for (int k = 0; k < kHorizonEnd; ++k)
                    EXPECT_NEAR(p.step_coef[k], g[k], 1e-9) << "na=" << o.na << " nb=" << o.nb << " d=" << o.d;
                for (int k = 0; k < o.d && k < kHorizonEnd; ++k) EXPECT_EQ(p.step_coef[k], 0.0);
                if (o.d < kHorizonEnd) {
                    EXPECT_DOUBLE_EQ(p.step_coef[o.d], theta[o.na]);
                }
            }
        }
    }
}

TEST(Prediction, FreeResponseIsTheModelOutputWithoutFurtherMoves) {
    // With T = 1, the free response continues z under A dz = B du with the
    // past moves only.
    const std::vector<double> theta = {-0.5, 0.1, 0.4, 0.2};
    const int na = 2, nb = 2, d = 1;
    std::vector<double> du(60, 0.0), dz(60, 0.0), z(60, 0.0);
    std::mt19937 rng(3);
    std::uniform_real_distribution<double> move(-1, 1);
    const int now = 40;
    for (int t = 5; t < 60; ++t) {
        if (t < now) du[t] = move(rng);
        double v = 0.0;
        for (int i = 1; i <= na; ++i) v -= theta[i - 1] * dz[t - i];
        for (int j = 0; j < nb; ++j) v += theta[na + j] * du[t - 1 - d - j];
        dz[t] = v;
        z[t] = z[t - 1] + v;
    }
    double zt[kHistoryLength], dut[kHistoryLength];
    for (int s = 0; s < kHistoryLength; ++s) {
        zt[s] = z[now - 20 + s];
        dut[s] = du[now - 20 + s];  // slot 20, the current move, is not read
    }
    const PredictionState p = predict(theta, na, nb, d, kUnitT, zt, dut);
    for (int k = 0; k < kHorizonEnd; ++k) EXPECT_NEAR(p.free_response[k], z[now + k + 1], 1e-9);
}

TEST(Prediction, SmallerOrdersAfterLargerOnesReadNoStaleCoefficients) {
    double zt[kHistoryLength] = {}, dut[kHistoryLength] = {};
    zt[20] = 0.4;
    zt[19] = 0.3;
    PredictionState p = predict({0.3, -0.2, 0.1, 0.05, 0.02, 0.01, 0.7, 0.2, 0.1}, 6, 3, 0, kDefaultT, zt, dut);
    const PredictionState fresh = predict({0.5, 0.9}, 1, 1, 0, kDefaultT, zt, dut);
    const double t4[4] = {1.0, -1.6, 0.64, 0.0};
    start_prediction(p, t4, 1, 1, 0);
    const double theta[2] = {0.5, 0.9};
    copy_model_polynomials(p, theta, 1, 0);
    solve_output_recursion(p, 1.0);
    solve_input_recursion(p, 1.0);
    compute_free_response(p, zt, dut);
    for (int k = 0; k < kHorizonEnd; ++k) {
        EXPECT_EQ(p.step_coef[k], fresh.step_coef[k]);
        EXPECT_EQ(p.free_response[k], fresh.free_response[k]);
    }
}

TEST(Cost, KeepsControlWithZeroMoveAndPenalisesOnlyTheMove) {
    PredictionState p;
    double setpoint = 0.8;
    const double preview[kPreviewLength] = {};
    // Every prediction at or below zero: J = 10 r^2 + weight du^2.
    EXPECT_DOUBLE_EQ(predictive_cost<false>(p, setpoint, preview, 0.5, 4.0, 0.505, 2.0), 10 * 0.64 + 0.5 * 4.0);
    // Predictions exactly at the midpoint give (r - 0.5)^2 per term.
    for (int k = 0; k < kHorizonEnd; ++k) p.free_response[k] = 0.505;
    EXPECT_DOUBLE_EQ(predictive_cost<false>(p, setpoint, preview, 0.0, 4.0, 0.505, 0.0), 10 * 0.09);
    EXPECT_EQ(setpoint, 0.8);
}

TEST(Cost, HillOutputInvertsTheLinearisation) {
    for (double y : {0.01, 0.3, 0.5, 0.77, 0.99}) {
        const double z = 0.505 * std::pow(y / (1.0 - y), 1.0 / 4.0);
        EXPECT_NEAR(hill_output(z, 4.0, 0.505), y, 1e-14);
    }
    EXPECT_EQ(hill_output(0.0, 4.0, 0.505), 0.0);
    EXPECT_EQ(hill_output(-1.0, 4.0, 0.505), 0.0);
}

TEST(Cost, PreviewFormStoresTheFarEndSetpoint) {
    PredictionState p;
    double preview[kPreviewLength];
    for (int k = 0; k < kPreviewLength; ++k) preview[k] = 0.8 + 0.01 * k;
    for (int k = 0; k < kHorizonEnd; ++k) {
        p.step_coef[k] = 0.1 * k;
        p.free_response[k] = 0.4;
    }
    double setpoint = 0.0;
    const double j = predictive_cost<true>(p, setpoint, preview, 0.1, 4.0, 0.505, 0.3);
    EXPECT_EQ(setpoint, preview[kHorizonEnd - 1]);
    double expected = 0.0;
    for (int k = 0; k < kHorizonEnd; ++k) {
        const double e = preview[k] - hill_output(0.1 * k * 0.3 + 0.4, 4.0, 0.505);
        expected = e * e + expected;
    }
    EXPECT_DOUBLE_EQ(j, 0.1 * 0.09 + expected);
}

TEST(Cost, TableGivesTheCostBitForBit) {
    std::mt19937 rng(5);
    std::uniform_real_distribution<double> val(-1.0, 1.0);
    for (int trial = 0; trial < 200; ++trial) {
        PredictionState p;
        const int zeros = trial % 6;  // leading zero step coefficients (dead time)
        for (int k = 0; k < kHorizonEnd; ++k) {
            p.step_coef[k] = k < zeros ? (trial % 2 ? -0.0 : 0.0) : val(rng);
            p.free_response[k] = trial % 7 == 0 ? 0.0 : 0.6 + 0.5 * val(rng);
        }
        double preview[kPreviewLength];
        for (double& r : preview) r = 0.9 + 0.05 * val(rng);
        const double weight = trial % 3 ? 0.1 : 0.0;
        const double p_exp = trial % 4 ? 4.0 : 2.5;
        const CostTable table = make_cost_table(p, preview, weight, p_exp, 0.505);
        for (double du : {0.0, -0.0, 1e-9, -3.7, 12.25, 0.5 + val(rng), 1e300, -1e300,
                          std::numeric_limits<double>::infinity(), std::nan("")}) {
            double setpoint = 0.0;
            const double literal = predictive_cost<true>(p, setpoint, preview, weight, p_exp, 0.505, du);
            const double fast = evaluate_cost(table, du);
            if (std::isnan(literal)) {
                EXPECT_TRUE(std::isnan(fast));
            } else {
                EXPECT_EQ(literal, fast) << "trial " << trial << " du " << du;
            }
        }
    }
}
