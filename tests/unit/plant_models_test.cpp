// SPDX-License-Identifier: LGPL-2.1-or-later
// Disturbances, sensor, actuator and changes of the process, each against a
// case worked by hand.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "api/internal.hpp"
#include "driver/plant_models.hpp"

using namespace veltrax;

namespace {

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

Settings quiet() {
    Settings s;
    s.dead_time = 0;
    return s;
}

// Measurements of `n` steps under a constant control, the first included.
std::vector<double> readings(Plant& p, int n, double u = 0.6) {
    std::vector<double> y{p.measured()};
    for (int k = 1; k < n; ++k) y.push_back(p.step(u));
    return y;
}

}  // namespace

// A model that adds nothing (a step of amplitude 0) runs the whole models
// path and still gives today's bits, in every build, process and noise kind.
TEST(PlantModels, NeutralModelsGiveTheBitsOfNone) {
    PlantModels neutral;
    neutral.disturbances.push_back({});
    for (Build build : {Build::Preview, Build::Base, Build::PreviewHold}) {
        for (NoiseKind kind : {NoiseKind::Uniform, NoiseKind::Gaussian}) {
            for (bool builtin : {false, true}) {
                Settings s;
                s.samples = 40;
                s.noise = {kind, 0.02};
                if (builtin) {
                    s.process = BodyModel{63.0, 5.9};
                    s.curve = {50, 0.505, 2.98, 4.0};
                }
                Simulation a(build), b(build);
                a.seed_noise(5);
                b.seed_noise(5);
                RunOptions with;
                with.plant_models = &neutral;
                const std::vector<Matrix> x = a.call(s), y = b.call(s, with);
                for (int k = 0; k < 5; ++k)
                    ASSERT_EQ(0, std::memcmp(x[k].data.data(), y[k].data.data(), x[k].data.size() * sizeof(double)))
                        << "output " << k;
            }
        }
    }
}

TEST(PlantModels, ProfilesAreTrapezoids) {
    const Disturbance s = stimulation(10.0, 0.2);  // rise 1, plateau 20, fall 10
    core::Disturbance d{core::DisturbanceKind::Stimulation, s.start, s.amplitude, s.rise, s.duration, s.fall};
    EXPECT_EQ(0.0, core::profile_value(d, 9.9));
    EXPECT_DOUBLE_EQ(0.1, core::profile_value(d, 10.5));
    EXPECT_EQ(0.2, core::profile_value(d, 11.0));
    EXPECT_EQ(0.2, core::profile_value(d, 30.9));
    EXPECT_DOUBLE_EQ(0.1, core::profile_value(d, 36.0));
    EXPECT_EQ(0.0, core::profile_value(d, 41.0));
    core::Disturbance step{core::DisturbanceKind::Step, 5.0, -0.1};
    EXPECT_EQ(0.0, core::profile_value(step, 4.0));
    EXPECT_EQ(-0.1, core::profile_value(step, 5.0));
    EXPECT_EQ(-0.1, core::profile_value(step, 1e9));
}

// The disturbance adds to the curve's value from the sample period whose
// start reaches its start.
TEST(PlantModels, StepDisturbanceAddsToTheEffect) {
    PlantModels m;
    Disturbance d;
    d.start = 3.0;
    d.amplitude = 0.1;
    m.disturbances.push_back(d);
    Plant plain(quiet()), disturbed(quiet(), 0, nullptr, &m);
    const std::vector<double> a = readings(plain, 6), b = readings(disturbed, 6);
    for (int k = 0; k < 6; ++k) EXPECT_EQ(k < 3 ? a[k] : a[k] + 0.1, b[k]) << k;
}

// c(0) = w(0), c(t) = a c(t-1) + sqrt(1 - a^2) w(t), over the same white noise.
TEST(PlantModels, ColouredNoiseIsTheAr1OfTheWhite) {
    Settings s;
    s.samples = 4;
    s.noise = {NoiseKind::Gaussian, 0.01};
    PlantModels m;
    m.sensor.time_constant = 2.0;
    Simulation white(Build::Base), coloured(Build::Base);
    RunOptions o;
    o.plant_models = &m;
    const Matrix w = white.call(s)[3], c = coloured.call(s, o)[3];
    const double a = std::exp(-1.0 / 2.0);  // sample period 1
    const double g = std::sqrt(1.0 - a * a);
    double expected = w.data[4 * 4 + 0];
    EXPECT_TRUE(same_bits(expected, c.data[4 * 4 + 0]));
    for (int i = 1; i < 4; ++i) {
        expected = a * expected + g * w.data[4 * 4 + i];
        EXPECT_TRUE(same_bits(expected, c.data[4 * 4 + i])) << i;
    }
}

// A dropout repeats the reading before it; with probability 1 every later
// period starts a dropout, so the first reading stays.
TEST(PlantModels, DropoutHoldsTheLastReading) {
    PlantModels m;
    m.sensor.dropout_probability = 1.0;
    m.sensor.dropout_min = 2;
    m.sensor.dropout_max = 2;
    Plant plain(quiet()), sensed(quiet(), 0, nullptr, &m);
    const std::vector<double> a = readings(plain, 8), b = readings(sensed, 8);
    EXPECT_NE(a[0], a[7]);
    for (double y : b) EXPECT_EQ(a[0], y);
}

// A delay of 2 reads the value of two periods before; the first reading
// fills the line.
TEST(PlantModels, DelayShiftsTheReadings) {
    PlantModels m;
    m.sensor.delay = 2;
    Plant plain(quiet()), sensed(quiet(), 0, nullptr, &m);
    const std::vector<double> a = readings(plain, 7), b = readings(sensed, 7);
    EXPECT_EQ(a[0], b[0]);
    EXPECT_EQ(a[0], b[1]);
    for (int k = 2; k < 7; ++k) EXPECT_EQ(a[k - 2], b[k]) << k;
}

TEST(PlantModels, QuantisedReadingAndControl) {
    PlantModels sensor, pump;
    sensor.sensor.quantum = 0.05;
    pump.actuator.quantum = 0.1;
    Plant plain(quiet()), p(quiet(), 0, nullptr, &sensor), q(quiet(), 0, nullptr, &pump);
    for (int k = 0; k < 5; ++k) {
        EXPECT_EQ(std::round(plain.measured() / 0.05) * 0.05, p.measured());
        plain.step(0.37);
        p.step(0.37);
    }
    q.step(0.37);
    EXPECT_EQ(4 * 0.1, q.control());
    q.step(1.98);  // 2.0 is u_max
    EXPECT_EQ(20 * 0.1, q.control());
}

// Rate limit 0.25 per time unit, sample period 1: the control ramps to u_max.
TEST(PlantModels, RateLimitRamps) {
    PlantModels m;
    m.actuator.rate_limit = 0.25;
    Plant p(quiet(), 0, nullptr, &m);
    const double expected[] = {0.25, 0.5, 0.75, 1.0, 1.25, 1.5, 1.75, 2.0, 2.0};
    for (double e : expected) {
        p.step(5.0);
        EXPECT_EQ(e, p.control());
    }
    p.step(0.0);
    EXPECT_EQ(1.75, p.control());
}

// A bolus of dose D at t = 1 gives the process what a control of D for one
// sample period gives.
TEST(PlantModels, BolusActsAsOnePeriodOfInput) {
    for (bool builtin : {false, true}) {
        Settings s = quiet();
        if (builtin) s.process = BodyModel{};
        PlantModels m;
        m.actuator.boluses.push_back({1.0, 1.5});
        Plant given(s), bolus(s, 0, nullptr, &m);
        given.step(1.5);
        bolus.step(0.0);
        for (int k = 0; k < 4; ++k) {
            EXPECT_TRUE(same_bits(given.process_output(), bolus.process_output())) << k;
            given.step(0.0);
            bolus.step(0.0);
        }
    }
}

// Changes at a sample boundary keep the state: the same values again change
// no bit, a 30 % fall in cardiac output changes the output only from then on;
// a transfer function's gain scales its output.
TEST(PlantModels, ChangesKeepTheState) {
    Settings s = quiet();
    s.process = BodyModel{};
    PlantModels same, fall;
    same.changes.push_back({3.0, NAN, 1.0});
    fall.changes.push_back({3.0, NAN, 0.7});
    Plant plain(s), unchanged(s, 0, nullptr, &same), fallen(s, 0, nullptr, &fall);
    for (int k = 0; k < 8; ++k) {
        EXPECT_TRUE(same_bits(plain.process_output(), unchanged.process_output())) << k;
        if (k < 3) {
            EXPECT_TRUE(same_bits(plain.process_output(), fallen.process_output())) << k;
        } else if (k > 3) {
            EXPECT_NE(plain.process_output(), fallen.process_output()) << k;
        }
        plain.step(0.6);
        unchanged.step(0.6);
        fallen.step(0.6);
    }
    PlantModels gain;
    gain.changes.push_back({2.0, NAN, NAN, NAN, 2.0});
    Plant tf(quiet()), doubled(quiet(), 0, nullptr, &gain);
    for (int k = 0; k < 5; ++k) {
        EXPECT_EQ(k < 2 ? tf.process_output() : 2.0 * tf.process_output(), doubled.process_output()) << k;
        tf.step(0.6);
        doubled.step(0.6);
    }
}

// Drawn pulses depend on (seed, individual) only: a sensor's draws beside
// them move nothing, another individual draws others.
TEST(PlantModels, DrawnStreamsAreIndependent) {
    PlantModels pulses;
    Disturbance d;
    d.kind = DisturbanceKind::Poisson;
    d.rate = 0.3;
    d.duration = 2.0;
    d.low = 0.01;
    d.high = 0.05;
    pulses.disturbances.push_back(d);
    pulses.seed = 42;
    pulses.individual = 3;
    PlantModels with_sensor = pulses, other = pulses;
    with_sensor.sensor.artefact_probability = 0.5;
    with_sensor.sensor.dropout_probability = 0.2;
    other.individual = 4;
    Plant a(quiet(), 0, nullptr, &pulses), b(quiet(), 0, nullptr, &with_sensor), c(quiet(), 0, nullptr, &other);
    int nonzero = 0, differ = 0;
    for (int k = 0; k < 60; ++k) {
        EXPECT_EQ(a.disturbance(), b.disturbance()) << k;
        nonzero += a.disturbance() != 0.0;
        differ += a.disturbance() != c.disturbance();
        a.step(0.5);
        b.step(0.5);
        c.step(0.5);
    }
    EXPECT_GT(nonzero, 5);
    EXPECT_GT(differ, 5);
    Plant again(quiet(), 0, nullptr, &pulses);
    for (int k = 0; k < 60; ++k) again.step(0.5);
    EXPECT_EQ(a.measured(), again.measured());
}

TEST(PlantModels, BadModelsAreRefusedByName) {
    PlantModels m;
    m.sensor.dropout_probability = 1.5;
    try {
        Plant p(quiet(), 0, nullptr, &m);
        FAIL();
    } catch (const Error& e) {
        EXPECT_EQ("veltrax:badPlantModels", e.id());
        EXPECT_NE(std::string(e.what()).find("sensor.dropout_probability"), std::string::npos);
    }
    PlantModels body;
    body.changes.push_back({1.0, 5.0});
    Simulation sim(Build::Base);
    RunOptions o;
    o.plant_models = &body;
    Settings s = quiet();
    s.samples = 3;
    EXPECT_THROW(sim.call(s, o), Error);  // body values of a transfer function
}
