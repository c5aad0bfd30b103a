// SPDX-License-Identifier: LGPL-2.1-or-later
// Performance measures of one call, from its recorded time column and
// trajectory (setpoint, u, y, static_gain, v). Definitions in
// docs/experiments.md.
#pragma once

#include <cstddef>
#include <vector>

#include <nlohmann/json.hpp>

#include "api/veltrax.hpp"

namespace veltrax::experiments {

// The measured output's level that counts as the top of its range [0, 1],
// and the shortest call that runaway judges.
constexpr double kRunawayLevel = 0.99;
constexpr std::size_t kRunawayMinRows = 10;

struct MetricOptions {
    double band = 0.02;  // settling band: this fraction of the step size on each side of the new set-point
};

// One change of the recorded set-point: row i whose set-point differs from
// row i - 1, with the rows right after it that change again (a ramp).
struct StepMetrics {
    std::size_t row = 0;       // 0-based first row of the change
    double time = 0.0;         // t of that row
    double from = 0.0, to = 0.0;
    double overshoot = 0.0;    // % of |to - from|, beyond `to` in the step's direction
    double undershoot = 0.0;   // % of |to - from|, beyond `from` against the step's direction
    bool settled = false;      // y ends the segment within the band
    double settling_time = 0.0;  // from `time` to the first row after the last one outside the band; NaN unless settled
    double time_in_band = 0.0;   // sample period x rows of the segment within the band
};

struct Metrics {
    std::size_t samples = 0;
    double iae = 0.0;            // T sum |r - y|
    double ise = 0.0;            // T sum (r - y)^2
    double total_control = 0.0;  // T sum u
    double peak_control = 0.0;   // max u (NaN without samples)
    // The process ran away from the controller: y stays at the top of its
    // range (y >= kRunawayLevel) above a set-point below that level over the
    // last tenth of the call (at least kRunawayMinRows rows). The measurement
    // then no longer tells how far the process is beyond the set-point.
    bool runaway = false;
    std::vector<StepMetrics> steps;
    // Built-in model only (NaN otherwise): from PE = 100 (y - r) / r over rows with r != 0.
    bool builtin_model = false;
    double mdpe = 0.0;        // median PE
    double mdape = 0.0;       // median |PE|
    double wobble = 0.0;      // median |PE - MDPE|
    double divergence = 0.0;  // least-squares slope of |PE| per hour of model time (60 s per row)

    // Over the steps (NaN without steps): the largest overshoot, undershoot
    // and settling time (NaN when a step did not settle), the summed time in band.
    double max_overshoot() const;
    double max_undershoot() const;
    double max_settling_time() const;
    double time_in_band() const;
};

// `time` N x 1 and `trajectory` N x 5 as a call returns them; `sample_period`
// T is the recorded time per row (Runge-Kutta steps x step length).
Metrics compute_metrics(const Matrix& time, const Matrix& trajectory, double sample_period, bool builtin_model,
                        const MetricOptions& options = {});

// The sample period of a call of plug-in inputs: its settings'
// sample_period(); NaN when the simulation rejects them.
double sample_period_of(const std::vector<Matrix>& inputs);

// The metrics as written in summary.json; non-finite values as "NaN", "Inf", "-Inf".
nlohmann::ordered_json metrics_json(const Metrics& m);

// Median of the values (the mean of the two middle ones for an even count);
// NaN for none. Reorders `v`.
double median(std::vector<double>& v);

}  // namespace veltrax::experiments
