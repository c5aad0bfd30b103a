// SPDX-License-Identifier: LGPL-2.1-or-later
// The plant on its own and the controllers that close the loop around it.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <stdexcept>

#include "api/internal.hpp"
#include "controller/pid.hpp"
#include "driver/snapshot.hpp"

using namespace veltrax;

namespace {

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

bool same_matrix(const Matrix& a, const Matrix& b) {
    return a.rows == b.rows && a.cols == b.cols && a.data.size() == b.data.size() &&
           (a.data.empty() || std::memcmp(a.data.data(), b.data.data(), a.data.size() * sizeof(double)) == 0);
}

// Both processes with both noise kinds, short runs through a set-point change.
std::vector<Settings> plants() {
    std::vector<Settings> out;
    for (NoiseKind kind : {NoiseKind::Uniform, NoiseKind::Gaussian}) {
        Settings linear;
        linear.samples = 120;
        linear.noise = {kind, 0.02};
        out.push_back(linear);
        Settings model = linear;
        model.samples = 60;
        model.dead_time = 2;
        model.process = BodyModel{63.0, 5.9};
        model.curve = {50, 0.505, 2.98, 4.0};
        out.push_back(model);
    }
    return out;
}

SetpointSchedule ramp() { return {{{0, 0.5}, {20, 0.5, false, true}, {30, 0.8}, {45, 0.6, true}}}; }

}  // namespace

// The controls a closed-loop call recorded, applied to a plant of the same
// settings, seed and schedule, give the call's measurements bit for bit.
TEST(Plant, ReplaysTheMeasurementsOfAClosedLoop) {
    for (Build build : {Build::Preview, Build::Base, Build::PreviewHold}) {
        for (const Settings& settings : plants()) {
            const SetpointSchedule schedule = ramp();
            RunOptions options;
            options.schedule = &schedule;
            Simulation sim(build);
            sim.seed_noise(11);
            const std::vector<Matrix> out = sim.call(settings, options);
            const Matrix& traj = out[1];
            const long n = settings.samples;
            Plant plant(settings, 11, &schedule);
            for (long i = 0; i < n; ++i) {
                if (i > 0) plant.step(traj(i - 1, 1));
                ASSERT_TRUE(same_bits(plant.measured(), traj(i, 2))) << "build " << int(build) << " row " << i;
                ASSERT_TRUE(same_bits(plant.process_output(), traj(i, 4)));
                ASSERT_TRUE(same_bits(plant.time(), out[0](i, 0)));
                if (build == Build::Base) {
                    ASSERT_TRUE(same_bits(plant.setpoint(), traj(i, 0)));
                }
            }
        }
    }
}

TEST(Plant, RefusesBadControlsAndSnapshotsChangingNothing) {
    Settings settings = plants()[1];
    Plant plant(settings, 3);
    plant.step(0.4);
    const Plant twin = plant;
    for (double bad : {std::nan(""), HUGE_VAL}) {
        try {
            plant.step(bad);
            ADD_FAILURE() << "accepted " << bad;
        } catch (const Error& e) {
            EXPECT_EQ(e.id(), "veltrax:badControl");
        }
    }
    const std::vector<std::uint8_t> snapshot = plant.save_state();
    EXPECT_THROW(plant.load_state(Simulation().save_state()), Error);  // a simulation's, not a plant's
    Plant loaded(plants()[0]);
    loaded.load_state(snapshot);
    Plant copy = twin;
    for (double u : {0.0, 0.7, 2.5}) {
        const double y = copy.step(u);
        EXPECT_TRUE(same_bits(plant.step(u), y));
        EXPECT_TRUE(same_bits(loaded.step(u), y));
    }
    EXPECT_EQ(plant.control(), 2.0);  // limited to u_max
    EXPECT_TRUE(same_bits(plant.reset(), Plant(settings, 3).measured()));
}

// The adaptive controller as a Controller closes the loop on the plant with
// the bits of the simulation of its build, over two calls.
TEST(Controllers, AdaptiveThroughTheInterfaceGivesTheBuildsBits) {
    for (Build build : {Build::Preview, Build::Base, Build::PreviewHold}) {
        const Settings settings = plants()[build == Build::Base ? 1 : 2];
        Simulation direct(build), through{AdaptiveController(build)};
        for (int call = 0; call < 2; ++call) {
            const std::vector<Matrix> a = direct.call(settings), b = through.call(settings);
            EXPECT_TRUE(same_matrix(a[0], b[0]));
            for (std::size_t i = 0; i < a[1].rows; ++i)
                for (int c : {1, 2, 4}) ASSERT_TRUE(same_bits(a[1](i, c), b[1](i, c))) << int(build) << " " << i;
            EXPECT_EQ(b[2].cols, 0u);
            EXPECT_TRUE(std::isnan(b[1](0, 3)));
            if (build == Build::Base) {
                EXPECT_TRUE(same_matrix(a[4], b[4]));
            }
        }
    }
}

// Derivative filter and the two kinds of anti-windup, worked by hand.
TEST(Controllers, PidFiltersTheDerivativeAndStopsWindup) {
    PidGains d{0.0, 0.0, 1.0, 1.0, false, 0.0};
    PidState s;
    EXPECT_EQ(pid_control(s, d, 0.0, 0.0, 1.0, 0.0), 0.0);
    pid_control(s, d, 0.0, 1.0, 1.0, 0.0);  // y steps to 1: D = -1 / 2
    EXPECT_EQ(s.derivative, -0.5);
    pid_control(s, d, 0.0, 1.0, 1.0, 0.0);  // y holds: D = 0.5 * D
    EXPECT_EQ(s.derivative, -0.25);

    for (bool clamping : {false, true}) {
        const PidGains g{2.0, 1.0, 0.0, 1.0, clamping, 0.0};
        PidState p;
        for (int k = 0; k < 50; ++k) EXPECT_EQ(pid_control(p, g, 1.0, 0.0, 1.0, 1.0), 1.0);
        // Back-calculation (tracking time kp / ki = 2) holds I at 1, clamping at 0.
        EXPECT_NEAR(p.integral, clamping ? 0.0 : 1.0, 1e-12);
        EXPECT_EQ(pid_control(p, g, 1.0, 1.5, 1.0, 1.0), 0.0);  // leaves the upper limit at once
    }
}

// What the loop hands a controller: the set-point in force and its
// preview, the measurement and the previous control, as the rows record them.
TEST(Controllers, ObservationsHoldWhatTheLoopKnows) {
    struct Recording : Controller {
        std::vector<Observation> seen;
        double control(const Observation& o) override {
            seen.push_back(o);
            return 0.02 * static_cast<double>(o.sample % 50);
        }
        std::unique_ptr<Controller> clone() const override { return std::make_unique<Recording>(*this); }
    };
    const SetpointSchedule schedule = ramp();
    RunOptions options;
    options.schedule = &schedule;
    Recording recording;
    Simulation sim(recording);
    const Matrix traj = sim.call(plants()[0], options)[1];
    const auto& seen = static_cast<const Recording*>(sim.controller())->seen;
    ASSERT_EQ(seen.size(), traj.rows);
    for (std::size_t i = 0; i < traj.rows; ++i) {
        EXPECT_EQ(seen[i].setpoint, traj(i, 0));
        EXPECT_EQ(seen[i].measured, traj(i, 2));
        EXPECT_EQ(seen[i].previous_control, i ? traj(i - 1, 1) : 0.0);
        EXPECT_EQ(seen[i].schedule, &schedule);
        for (std::size_t k = 0; k < kPreviewSamples && i + k + 1 < traj.rows; ++k)
            EXPECT_EQ(seen[i].preview[k], traj(i + k + 1, 0)) << i << " " << k;
    }
}

// A controller's exception or a control that is not finite ends the call
// and leaves the plant and the PID as they were.
TEST(Controllers, FailingControllerLeavesTheStateAsBefore) {
    struct FailsOnce : Controller {
        PidController pid{Pid{0.8, 0.3, 0.2}};
        bool nan, failed = false;
        explicit FailsOnce(bool n) : nan(n) {}
        void begin_call(const Settings& s) override { pid.begin_call(s); }
        void end_call(bool completed) override { pid.end_call(completed); }
        double control(const Observation& o) override {
            const double u = pid.control(o);
            if (o.time < 150 || failed) return u;
            failed = true;
            if (nan) return std::nan("");
            throw std::runtime_error("controller failed");
        }
        std::unique_ptr<Controller> clone() const override { return std::make_unique<FailsOnce>(*this); }
    };
    const Settings settings = plants()[0];
    for (bool nan : {false, true}) {
        Simulation reference(PidController({0.8, 0.3, 0.2})), sim{FailsOnce(nan)};
        reference.call(settings);
        sim.call(settings);
        if (nan) {
            try {
                sim.call(settings);
                ADD_FAILURE() << "a NaN control passed";
            } catch (const Error& e) {
                EXPECT_EQ(e.id(), "veltrax:badControl");
            }
        } else {
            EXPECT_THROW(sim.call(settings), std::runtime_error);
        }
        const std::vector<Matrix> want = reference.call(settings), got = sim.call(settings);
        for (int k = 0; k < 5; ++k) EXPECT_TRUE(same_matrix(want[k], got[k])) << "output " << k;
    }
    EXPECT_THROW(Simulation(PidController()).save_state(), Error);
}

// A simulation whose plant's input delay the controller's history of u does
// not imply is written in format version 2 and comes back whole.
TEST(Snapshot, FormatVersion2HoldsThePlantsInputDelay) {
    Simulation sim(Build::Base);
    sim.call(plants()[0]);
    EXPECT_EQ(check_snapshot(sim.save_state()).format_version, 1u);
    state_of(sim).plant.applied[4] = 0.25;
    const std::vector<std::uint8_t> snapshot = sim.save_state();
    EXPECT_EQ(check_snapshot(snapshot).format_version, 2u);
    Simulation loaded(Build::Base);
    loaded.load_state(snapshot);
    EXPECT_EQ(std::memcmp(&state_of(loaded), &state_of(sim), sizeof(SimulationState)), 0);
}
