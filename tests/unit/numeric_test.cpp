// SPDX-License-Identifier: LGPL-2.1-or-later
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "numeric/deviates.hpp"
#include "numeric/linear_process.hpp"
#include "numeric/minimiser.hpp"

using namespace veltrax;

namespace {

std::uint32_t float_bits(float f) {
    std::uint32_t u;
    std::memcpy(&u, &f, sizeof u);
    return u;
}

}  // namespace

TEST(Deviates, FirstUniformValuesAndStateAfterLoad) {
    NoiseState s;
    const float expected[5] = {0.28538090f, 0.25335819f, 0.093468532f, 0.60849690f, 0.90342027f};
    for (float e : expected) EXPECT_EQ(uniform_deviate(s, &s.noise_seed), e);
    EXPECT_EQ(s.noise_seed, 1776642162);
    EXPECT_EQ(s.second_generator_state, 652912057);
    EXPECT_EQ(s.shuffle_output, 1940080159);
}

TEST(Deviates, SeedingRules) {
    // -1 and 0 both seed with 1, -7 with 7: the second generator starts from
    // the seed, so its first step shows which seed was used.
    NoiseState minus_one, zero, minus_seven;
    zero.noise_seed = 0;
    minus_seven.noise_seed = -7;
    for (int i = 0; i < 50; ++i)
        EXPECT_EQ(uniform_deviate(minus_one, &minus_one.noise_seed), uniform_deviate(zero, &zero.noise_seed));
    uniform_deviate(minus_seven, &minus_seven.noise_seed);
    EXPECT_EQ(minus_seven.second_generator_state, 40692 * 7);
    NoiseState fresh;
    uniform_deviate(fresh, &fresh.noise_seed);
    EXPECT_EQ(fresh.second_generator_state, 40692);
    // A positive seed is used as it is: no seeding, the table stays as it was.
    NoiseState positive;
    positive.noise_seed = 5;
    uniform_deviate(positive, &positive.noise_seed);
    EXPECT_EQ(positive.second_generator_state, 739987727);  // one step from 123456789
}

TEST(Deviates, UniformStaysInsideOpenUnitInterval) {
    NoiseState s;
    for (int i = 0; i < 200000; ++i) {
        const float u = uniform_deviate(s, &s.noise_seed);
        ASSERT_GT(u, 0.0f);
        ASSERT_LE(float_bits(u), 0x3F7FFFFEu);
    }
}

TEST(Deviates, CapYieldsLargestFloatBelowOne) {
    // A table entry chosen so that the combined value scales above 0.99999988.
    NoiseState s;
    uniform_deviate(s, &s.noise_seed);
    const std::int32_t j = s.shuffle_output / 67108862;
    // Undo the second generator's next step: simulate it on a copy.
    std::int32_t second = s.second_generator_state;
    const std::int32_t k = second / 52774;
    second = 40692 * (second - k * 52774) - k * 3791;
    if (second < 0) second += 2147483399;
    s.shuffle_table[j] = second - 100;  // combined value 2147483562 - 100
    EXPECT_EQ(float_bits(uniform_deviate(s, &s.noise_seed)), 0x3F7FFFFEu);
}

TEST(Deviates, GaussianPairsComeOutSecondFirst) {
    NoiseState s;
    EXPECT_FLOAT_EQ(gaussian_deviate(s, &s.noise_seed), -0.98337746);
    const std::int32_t seed_after_pair = s.noise_seed;
    EXPECT_FLOAT_EQ(gaussian_deviate(s, &s.noise_seed), -0.85570075);
    EXPECT_EQ(s.noise_seed, seed_after_pair);  // the saved value draws nothing
    EXPECT_EQ(s.gauss_saved_flag, 0);
}

TEST(LinearProcess, FirstOrderLagOneStep) {
    LinearProcess lp;
    const double num[] = {1.0}, den[] = {1.0, 1.0};
    normalise_transfer_function(lp, num, 0, den, 1);
    advance_linear_process(lp, 1.0, 1, 0.1);
    EXPECT_DOUBLE_EQ(lp.process_state[0], 0.0951625);
    EXPECT_NEAR(lp.process_state[0], 1.0 - std::exp(-0.1), 2e-7);
    EXPECT_EQ(lp.process_state_next[0], lp.process_state[0]);
}

TEST(LinearProcess, LeadingDenominatorCoefficientScalesNumerator) {
    LinearProcess a, b;
    const double num_a[] = {2.0, 4.0}, den_a[] = {2.0, 6.0, 8.0, 4.0};
    const double num_b[] = {1.0, 2.0}, den_b[] = {1.0, 3.0, 4.0, 2.0};
    normalise_transfer_function(a, num_a, 1, den_a, 3);
    normalise_transfer_function(b, num_b, 1, den_b, 3);
    EXPECT_EQ(den_a[0], 2.0);
    for (int step = 0; step < 50; ++step) {
        const double input = std::sin(step * 0.3);
        advance_linear_process(a, input, 3, 0.05);
        advance_linear_process(b, input, 3, 0.05);
        ASSERT_EQ(linear_process_output(a), linear_process_output(b));
    }
}

TEST(LinearProcess, CompanionFormMatchesExactSecondOrderResponse) {
    // 1/(s+1)^2 under a unit step: y(t) = 1 - (1 + t) e^-t.
    LinearProcess lp;
    const double num[] = {1.0}, den[] = {1.0, 2.0, 1.0};
    normalise_transfer_function(lp, num, 0, den, 2);
    advance_linear_process(lp, 1.0, 300, 0.01);
    EXPECT_NEAR(linear_process_output(lp), 1.0 - 4.0 * std::exp(-3.0), 1e-9);
    LinearProcess zero;
    normalise_transfer_function(zero, num, 0, den, 2);
    advance_linear_process(zero, 0.0, 100, 0.1);
    EXPECT_EQ(linear_process_output(zero), 0.0);
}

namespace {

struct CountingCost {
    double (*f)(double);
    int calls = 0;
    double operator()(double x) {
        ++calls;
        return f(x);
    }
};

}  // namespace

TEST(Minimiser, BracketExchangesPointsWhenUphill) {
    CountingCost cost{[](double x) { return (x - 0.3) * (x - 0.3); }};
    double a = 1, b = 2, c, fa, fb, fc;
    bracket_minimum(&a, &b, &c, &fa, &fb, &fc, cost);
    EXPECT_EQ(cost.calls, 3);
    EXPECT_EQ(a, 2.0);
    EXPECT_EQ(b, 1.0);
    EXPECT_DOUBLE_EQ(c, -0.618034);
    double x;
    const double fx = golden_section_minimise(a, b, c, cost, 1e-6, &x);
    EXPECT_NEAR(x, 0.29999995, 1e-7);
    EXPECT_EQ(fx, (x - 0.3) * (x - 0.3));
}

TEST(Minimiser, BracketTakesParabolicStepBeyondC) {
    CountingCost cost{[](double x) { return (x - 10) * (x - 10); }};
    double a = 1, b = 2, c, fa, fb, fc;
    bracket_minimum(&a, &b, &c, &fa, &fb, &fc, cost);
    EXPECT_EQ(cost.calls, 5);
    EXPECT_DOUBLE_EQ(a, 3.618034);
    EXPECT_DOUBLE_EQ(b, 10.0);
    EXPECT_NEAR(c, 20.326238, 1e-6);
    EXPECT_EQ(fb, cost.f(b));
}

TEST(Minimiser, ConstantCostShrinksTowardsFirstPoint) {
    CountingCost cost{[](double) { return 4.0; }};
    double a = 1, b = 2, c, fa, fb, fc;
    bracket_minimum(&a, &b, &c, &fa, &fb, &fc, cost);
    EXPECT_EQ(cost.calls, 3);
    EXPECT_EQ(a, 1.0);
    EXPECT_EQ(b, 2.0);
    EXPECT_DOUBLE_EQ(c, 3.618034);
    double x;
    EXPECT_EQ(golden_section_minimise(a, b, c, cost, 1e-6, &x), 4.0);
    EXPECT_NEAR(x, 1.0000009, 1e-7);
}

TEST(Minimiser, KnownMiddleValueGivesTheSameSearch) {
    auto f = [](double x) { return std::sin(3 * x) + 0.1 * x * x; };
    for (int k = -6; k <= 6; ++k) {
        double a = k, b = k + 1, c, fa, fb, fc;
        bracket_minimum(&a, &b, &c, &fa, &fb, &fc, f);
        double x1, x2;
        const double v1 = golden_section_minimise(a, b, c, f, 1e-6, &x1);
        const double v2 = golden_section_minimise_known(a, b, c, fb, f, 1e-6, &x2);
        EXPECT_EQ(x1, x2);
        EXPECT_EQ(v1, v2);
        EXPECT_EQ(v1, f(x1));
    }
}

TEST(Minimiser, TerminatesOnCostsWithoutFiniteMinimum) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    auto unbounded = [](double x) { return -x * x; };
    auto not_a_number = [nan](double) { return nan; };
    auto exact_zero = [](double x) { return x * x; };  // closes on 0 from a straddling bracket
    double a = 1, b = 2, c, fa, fb, fc, x;
    bracket_minimum(&a, &b, &c, &fa, &fb, &fc, unbounded);
    golden_section_minimise(a, b, c, unbounded, 1e-6, &x);
    a = 1, b = 2;
    bracket_minimum(&a, &b, &c, &fa, &fb, &fc, not_a_number);
    golden_section_minimise(a, b, c, not_a_number, 1e-6, &x);
    const double fx = golden_section_minimise(-1.0, 0.0, 1.0, exact_zero, 1e-6, &x);
    EXPECT_EQ(fx, x * x);
    EXPECT_LT(std::fabs(x), 1e-150);
}
