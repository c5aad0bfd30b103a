// SPDX-License-Identifier: LGPL-2.1-or-later
// Metrics on small trajectories worked out by hand.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "experiments/metrics.hpp"
#include "experiments/sweep_table.hpp"

using namespace veltrax;
using namespace veltrax::experiments;

namespace {

struct Call {
    Matrix time, trajectory;
};

// Rows t = 0, T, 2T, ...; columns setpoint, u, y, static_gain (0), v (0).
Call call(double period, const std::vector<double>& r, const std::vector<double>& u, const std::vector<double>& y) {
    Call c{Matrix(r.size(), 1), Matrix(r.size(), 5)};
    for (std::size_t i = 0; i < r.size(); ++i) {
        c.time(i, 0) = period * static_cast<double>(i);
        c.trajectory(i, 0) = r[i];
        c.trajectory(i, 1) = u[i];
        c.trajectory(i, 2) = y[i];
    }
    return c;
}

}  // namespace

// T = 2. Errors r - y: 0, 0.1, 0.22, -0.1, 0.01, 0, -0.12, -0.05.
// Step 1 at row 3 (t = 4), 0.8 -> 1.0, band 0.004: y peaks at 1.1 (50 %),
// dips to 0.78 below the old 0.8 (10 %), is last outside the band at row 5
// and inside at row 6: settled after t = 10 - 4 = 6, one row (2) in band.
// Step 2 at row 7 (t = 12), 1.0 -> 0.9, band 0.002: y = 1.02 goes 0.02
// against the step beyond 1.0 (20 %), never below 0.9 (0 %), ends outside.
// The bands are relative alone here (no absolute floor).
TEST(Metrics, ErrorIntegralsStepResponseAndControl) {
    const Call c = call(2.0, {0.8, 0.8, 1.0, 1.0, 1.0, 1.0, 0.9, 0.9}, {1, 2, 3, 4, 0, 0, 1, 1},
                        {0.8, 0.7, 0.78, 1.1, 0.99, 1.0, 1.02, 0.95});
    MetricOptions relative;
    relative.absolute_band = 0.0;
    const Metrics m = compute_metrics(c.time, c.trajectory, 2.0, false, relative);
    EXPECT_EQ(m.samples, 8u);
    EXPECT_NEAR(m.iae, 2.0 * 0.6, 1e-12);
    EXPECT_NEAR(m.ise, 2.0 * 0.0854, 1e-12);
    EXPECT_EQ(m.total_control, 24.0);
    EXPECT_EQ(m.peak_control, 4.0);

    ASSERT_EQ(m.steps.size(), 2u);
    const StepMetrics& up = m.steps[0];
    EXPECT_EQ(up.row, 2u);
    EXPECT_EQ(up.time, 4.0);
    EXPECT_NEAR(up.overshoot, 50.0, 1e-9);
    EXPECT_NEAR(up.undershoot, 10.0, 1e-9);
    EXPECT_TRUE(up.settled);
    EXPECT_EQ(up.settling_time, 6.0);
    EXPECT_EQ(up.time_in_band, 2.0);

    const StepMetrics& down = m.steps[1];
    EXPECT_EQ(down.from, 1.0);
    EXPECT_EQ(down.to, 0.9);
    EXPECT_EQ(down.overshoot, 0.0);
    EXPECT_NEAR(down.undershoot, 20.0, 1e-9);
    EXPECT_FALSE(down.settled);
    EXPECT_TRUE(std::isinf(down.settling_time));  // never settled
    EXPECT_EQ(down.time_in_band, 0.0);

    EXPECT_NEAR(m.max_overshoot(), 50.0, 1e-9);
    EXPECT_NEAR(m.max_undershoot(), 20.0, 1e-9);
    EXPECT_TRUE(std::isinf(m.max_settling_time()));  // one step never settled
    EXPECT_EQ(m.time_in_band(), 2.0);
    EXPECT_TRUE(std::isnan(m.mdpe));  // linear process: no drug-delivery measures

    // A wider band (+-60 % of 0.1) takes the second step's last row in.
    MetricOptions wide = relative;
    wide.band = 0.6;
    const Metrics w = compute_metrics(c.time, c.trajectory, 2.0, false, wide);
    EXPECT_TRUE(w.steps[1].settled);
    EXPECT_EQ(w.steps[1].settling_time, 2.0);
}

// T = 1. A ramp 0.5 -> 0.8 over rows 2..4 is one change at t = 2, step 0.3,
// band 0.006; its rows belong to the segment: y dips to 0.47 on the ramp
// (10 %), peaks at 0.85 after it (16.7 %), is last outside at row 5: settled
// after t = 6 - 2 = 4; in band at rows 4 (on the ramp), 6 and 7: 3.
TEST(Metrics, RampIsOneChangeMeasuredFromItsStart) {
    const Call c = call(1.0, {0.5, 0.5, 0.6, 0.7, 0.8, 0.8, 0.8, 0.8}, std::vector<double>(8, 0.0),
                        {0.5, 0.5, 0.47, 0.65, 0.797, 0.85, 0.803, 0.8});
    const Metrics m = compute_metrics(c.time, c.trajectory, 1.0, false);
    ASSERT_EQ(m.steps.size(), 1u);
    const StepMetrics& s = m.steps[0];
    EXPECT_EQ(s.row, 2u);
    EXPECT_EQ(s.time, 2.0);
    EXPECT_EQ(s.from, 0.5);
    EXPECT_EQ(s.to, 0.8);
    EXPECT_NEAR(s.undershoot, 10.0, 1e-9);
    EXPECT_NEAR(s.overshoot, 50.0 / 3.0, 1e-9);
    EXPECT_TRUE(s.settled);
    EXPECT_EQ(s.settling_time, 4.0);
    EXPECT_EQ(s.time_in_band, 3.0);
}

// PE = 100 (y - r) / r = 0, 10, -10, 20, -20, 5: MDPE (0 + 5) / 2 = 2.5;
// |PE| sorted 0, 5, 10, 10, 20, 20: MDAPE 10; |PE - 2.5| sorted 2.5, 2.5,
// 7.5, 12.5, 17.5, 22.5: wobble 10. |PE| over rows 0..5: slope 32.5 / 17.5
// per row, 60 rows an hour: 111.43 %/h.
TEST(Metrics, DrugDeliveryMeasuresOfTheBuiltInModel) {
    const Call c = call(1.0, std::vector<double>(6, 0.5), std::vector<double>(6, 0.0),
                        {0.5, 0.55, 0.45, 0.6, 0.4, 0.525});
    const Metrics m = compute_metrics(c.time, c.trajectory, 1.0, true);
    EXPECT_NEAR(m.mdpe, 2.5, 1e-9);
    EXPECT_NEAR(m.mdape, 10.0, 1e-9);
    EXPECT_NEAR(m.wobble, 10.0, 1e-9);
    EXPECT_NEAR(m.divergence, 32.5 / 17.5 * 60.0, 1e-9);
    EXPECT_TRUE(m.steps.empty());
    EXPECT_TRUE(std::isnan(m.max_overshoot()));
}

TEST(Metrics, SamplePeriodFromTheCallsSettings) {
    const std::vector<Matrix> model = {Matrix::row({120, 0.1, 2, 0, 3, 3, 0.005, 10.9, 0.1}), Matrix::row({70, 6.48}),
                                       Matrix(1, 0), Matrix::row({50, 0.505, 2.98, 4.0})};
    EXPECT_EQ(sample_period_of(model), 10.0 * 0.1);  // steps truncated as the simulation does
}

// 20 rows: the last two (a tenth) decide. y pinned at the top above a lower
// set-point is a run-away; one row back in range, or a set-point at the top
// itself, is not; nor is a call too short to judge.
TEST(Metrics, RunawayIsTheOutputPinnedAtTheTopThroughTheLastTenth) {
    auto runaway = [](const std::vector<double>& r, const std::vector<double>& y) {
        const Call c = call(1.0, r, std::vector<double>(r.size(), 1.0), y);
        return compute_metrics(c.time, c.trajectory, 1.0, true).runaway;
    };
    std::vector<double> r(20, 0.9), y(20, 0.9);
    y[18] = 0.995;
    y[19] = 1.0;
    EXPECT_TRUE(runaway(r, y));
    y[18] = 0.98;
    EXPECT_FALSE(runaway(r, y));
    y[18] = 1.0;
    r[19] = 0.995;
    EXPECT_FALSE(runaway(r, y));
    EXPECT_FALSE(runaway({0.9, 0.9}, {1.0, 1.0}));
}

// T = 1, r = 0.6 throughout, band 0.02. Window [2, 6): y - r = 0.1, 0.05,
// 0.01, -0.03 -> peak 0.1, last row outside the band: never returned. Window
// [2, 5): back in the band from t = 4, return time 2; IAE 0.16, control 6.
TEST(Metrics, ResponseAfterADisturbance) {
    const Call c = call(1.0, {0.6, 0.6, 0.6, 0.6, 0.6, 0.6, 0.6}, {1, 1, 1, 2, 3, 4, 4},
                        {0.6, 0.6, 0.7, 0.65, 0.61, 0.57, 0.6});
    MetricOptions o;
    o.disturbances = {{"disturbance 1", 2.0, 6.0}, {"change 1", 2.0, 5.0}};
    const Metrics m = compute_metrics(c.time, c.trajectory, 1.0, false, o);
    ASSERT_EQ(m.disturbances.size(), 2u);
    const DisturbanceMetrics& never = m.disturbances[0];
    EXPECT_EQ(never.rows, 4u);
    EXPECT_NEAR(never.peak_deviation, 0.1, 1e-12);
    EXPECT_FALSE(never.returned);
    EXPECT_EQ(m.disturbance_return_time(), HUGE_VAL);
    const DisturbanceMetrics& back = m.disturbances[1];
    EXPECT_TRUE(back.returned);
    EXPECT_EQ(back.return_time, 2.0);
    EXPECT_NEAR(back.iae, 0.16, 1e-12);
    EXPECT_EQ(back.control, 6.0);
    EXPECT_EQ(metrics_json(m)["disturbances"][0]["return_time"], "never");
    PlantModels models;
    models.disturbances.push_back(stimulation(150.0, 0.08));
    models.changes.push_back({220.0});
    const std::vector<MetricWindow> w = disturbance_windows(models);
    ASSERT_EQ(w.size(), 2u);
    EXPECT_EQ(w[0].end, 150.0 + 31.0 + kRecoveryTime);
    EXPECT_EQ(w[1].name, "change 1");
}

// A preview build records the next row's set-point: with the schedule
// [[0, 0.5], [3, 0.8]] the set-point in force changes at row 3, not at row 2
// as recorded, and y that follows it has no error.
TEST(Metrics, SetpointInForceReplacesThePreviewedColumn) {
    const Call c = call(1.0, {0.5, 0.5, 0.8, 0.8, 0.8, 0.8}, {0, 0, 0, 0, 0, 0}, {0.5, 0.5, 0.5, 0.8, 0.8, 0.8});
    EXPECT_NEAR(compute_metrics(c.time, c.trajectory, 1.0, false).iae, 0.3, 1e-12);
    MetricOptions o;
    o.setpoint_in_force = true;
    o.schedule = SetpointSchedule{{{0.0, 0.5}, {3.0, 0.8}}};
    const Metrics m = compute_metrics(c.time, c.trajectory, 1.0, false, o);
    EXPECT_EQ(m.iae, 0.0);
    ASSERT_EQ(m.steps.size(), 1u);
    EXPECT_EQ(m.steps[0].row, 3u);
}

// Induction from y = 0 to r = 0.5 (T = 1): y 0, 0.3, 0.55, 0.49, 0.5, 0.52.
// Default band max(0.02 x 0.5, 0.02) = 0.02: first at target at row 3
// (t = 3), overshoot 0.05 / 0.5 = 10 %. The Varvel measures take rows 3..5
// (PE -2, 0, 4) by default and rows 0..5 as *_whole; a given start moves them.
TEST(Metrics, InductionAndMaintenanceWindows) {
    const Call c = call(1.0, std::vector<double>(6, 0.5), std::vector<double>(6, 0.0), {0.0, 0.3, 0.55, 0.49, 0.5, 0.52});
    const Metrics m = compute_metrics(c.time, c.trajectory, 1.0, true);
    EXPECT_EQ(m.time_to_target, 3.0);
    EXPECT_NEAR(m.induction_overshoot, 10.0, 1e-9);
    EXPECT_EQ(m.maintenance_start, 3.0);
    EXPECT_NEAR(m.mdpe, 0.0, 1e-9);
    EXPECT_NEAR(m.mdape, 2.0, 1e-9);
    EXPECT_NEAR(m.mdpe_whole, (-2.0 + 0.0) / 2.0, 1e-9);  // PE -100, -40, 10, -2, 0, 4
    EXPECT_NEAR(m.divergence, 60.0, 1e-9);  // |PE| 2, 0, 4 over rows 3..5: 1 per row
    MetricOptions late;
    late.maintenance_start = 5.0;
    EXPECT_NEAR(compute_metrics(c.time, c.trajectory, 1.0, true, late).mdpe, 4.0, 1e-9);

    // Never at target: Inf, "never", and no maintenance rows.
    const Call low = call(1.0, std::vector<double>(4, 0.5), std::vector<double>(4, 0.0), {0.0, 0.1, 0.2, 0.3});
    const Metrics n = compute_metrics(low.time, low.trajectory, 1.0, true);
    EXPECT_TRUE(std::isinf(n.time_to_target));
    EXPECT_TRUE(std::isnan(n.mdpe));
    EXPECT_FALSE(std::isnan(n.mdpe_whole));
    EXPECT_EQ(metrics_json(n)["time_to_target"], "never");
}

// A step of 0.05 with noise of +-0.008: the relative band (+-0.001) alone
// never holds y; the default absolute floor 0.02 does. A step that ends
// outside shows as "never" in summary.json, Inf in the table.
TEST(Metrics, SettlingBandHasAnAbsoluteFloor) {
    const Call c = call(1.0, {0.5, 0.55, 0.55, 0.55, 0.55}, std::vector<double>(5, 0.0), {0.5, 0.52, 0.558, 0.543, 0.556});
    const Metrics m = compute_metrics(c.time, c.trajectory, 1.0, false);
    ASSERT_EQ(m.steps.size(), 1u);
    EXPECT_TRUE(m.steps[0].settled);
    EXPECT_EQ(m.steps[0].settling_time, 1.0);
    MetricOptions relative;
    relative.absolute_band = 0.0;
    const Metrics r = compute_metrics(c.time, c.trajectory, 1.0, false, relative);
    EXPECT_FALSE(r.steps[0].settled);
    EXPECT_EQ(metrics_json(r)["steps"][0]["settling_time"], "never");
    EXPECT_EQ(r.max_settling_time(), HUGE_VAL);
    EXPECT_EQ(metrics_json(r)["units"]["settling_time"], "recorded time; \"never\" when not settled");

    // Every metric column of the table has its unit.
    const std::vector<std::string>& columns = sweep_columns();
    for (std::size_t i = sweep_column("samples") + 1; i < columns.size(); ++i)
        EXPECT_FALSE(sweep_column_unit(columns[i]).empty()) << columns[i];
}
