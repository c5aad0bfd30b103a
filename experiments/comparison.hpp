// SPDX-License-Identifier: LGPL-2.1-or-later
// Paired comparisons of controllers. Every controller ran the same calls on
// the same individuals, with the same noise seed and set-point schedule, so
// the values of one unit (an individual's call) differ by the controller
// alone. A comparison shows each metric per controller, the paired
// differences from the first controller, and on how many units each
// controller is best. The report (`veltrax report`) and veltrax.compare in
// Python compute it here.
#pragma once

#include <cstddef>
#include <limits>
#include <string>
#include <vector>

#include "experiments/metrics.hpp"

namespace veltrax::experiments {

// A metric a comparison shows (its sweep.csv column), and which way is better.
struct ComparedMetric {
    const char* name;
    bool higher_is_better;
    bool by_magnitude;  // a bias or a drift: the smaller |value| is better
};

// iae, ise, max_overshoot, max_undershoot, max_settling_time, time_in_band,
// total_control, peak_control, mdpe, mdape, wobble, divergence.
const std::vector<ComparedMetric>& compared_metrics();

// The compared metrics of a call, in compared_metrics() order: NaN where the
// call has none (no set-point change; the drug-delivery measures of a linear
// process), +Inf as the settling time of a change that never settled.
std::vector<double> compared_values(const Metrics& m);

// 5, 50 and 95 % of n values; NaN for none.
struct Band {
    double p5 = std::numeric_limits<double>::quiet_NaN();
    double p50 = std::numeric_limits<double>::quiet_NaN();
    double p95 = std::numeric_limits<double>::quiet_NaN();
    std::size_t n = 0;
};

// The p-quantile of sorted values, linear between the order statistics at
// (n - 1) p (an infinite neighbour gives the infinity); NaN for none.
double quantile(const std::vector<double>& sorted, double p);

// The band of the values that are not NaN.
Band band_of(std::vector<double> values);

struct MetricComparison {
    std::string metric;
    std::vector<Band> values;       // per controller, over its units with a value
    std::vector<Band> differences;  // per controller: its value minus the first's, over units where both are finite
    std::vector<std::size_t> wins;  // units on which the controller alone is best
    std::size_t contested = 0;      // units with a value of every controller
};

// values[c][u]: compared_values of controller c on unit u; an empty vector
// where that run is missing or failed. Every controller has the same units.
std::vector<MetricComparison> compare_values(const std::vector<std::vector<std::vector<double>>>& values);

}  // namespace veltrax::experiments
