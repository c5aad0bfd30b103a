// SPDX-License-Identifier: LGPL-2.1-or-later
// Performance measures of one call, from its recorded time column and
// trajectory (setpoint, u, y, static_gain, v). Definitions in
// docs/experiments.md.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "api/veltrax.hpp"

namespace veltrax::experiments {

// The measured output's level that counts as the top of its range [0, 1],
// and the shortest call that runaway judges.
constexpr double kRunawayLevel = 0.99;
constexpr std::size_t kRunawayMinRows = 10;

// A window of the call after a disturbance or a change of the process, in
// the recorded time: rows with start <= t < end.
struct MetricWindow {
    std::string name;  // "disturbance 1", "change 1", ...
    double start = 0.0, end = 0.0;
};

// Width of the band around the set-point that the response to a disturbance
// returns into: absolute, in units of y, on each side. 0.02 lies well above
// the measurement noise of the examples (0.001 to 0.008) and well below the
// disturbances studies apply (0.05 to 0.1).
constexpr double kDisturbanceBand = 0.02;

// Recorded time after a profile ends (and after a change) that its window
// still covers: an hour of the built-in model at one sample period a minute.
constexpr double kRecoveryTime = 60.0;

// The absolute floor of the settling band, in units of y on each side: the
// band of a change of size s is max(band x s, kSettlingBand). A relative band
// alone is narrower than the measurement noise (0.001 to 0.008 in the
// examples) for small steps, so that nothing would ever settle.
constexpr double kSettlingBand = 0.02;

struct MetricOptions {
    double band = 0.02;  // relative part of the settling band: this fraction of the step size
    double absolute_band = kSettlingBand;  // absolute part, units of y; the band is the larger of the two
    double disturbance_band = kDisturbanceBand;
    std::vector<MetricWindow> disturbances;
    // Compare y with the set-point in force at each row's time under
    // `schedule` (none: the built-in one) instead of the recorded column,
    // which the preview builds fill with the previewed set-point; before the
    // schedule's first step the recorded value stays.
    bool setpoint_in_force = false;
    std::optional<SetpointSchedule> schedule;
    // Start of the maintenance window in the recorded time; none: the first
    // time at target (see Metrics::maintenance_start).
    std::optional<double> maintenance_start;
};

// The settling band of a change of `size` under `options`.
double settling_band(const MetricOptions& options, double size);

// The windows of the profiles and changes of `models`: from the start to
// kRecoveryTime after the profile ends (a step without end: to the end of
// the call), from a change's time for kRecoveryTime. Drawn pulses have none.
std::vector<MetricWindow> disturbance_windows(const PlantModels& models);

// The response within one window, rows of the window only. T is the recorded
// sample period; the sums are rectangle sums, as iae.
struct DisturbanceMetrics {
    MetricWindow window;
    std::size_t rows = 0;
    double peak_deviation = 0.0;  // y - r of the row with the largest |y - r| (NaN without rows)
    // Back within r +- disturbance_band from some row to the window's end:
    // return_time is from the window's start to that row's t (0 when never
    // outside); never returned: Inf and `returned` false ("never" in summary.json).
    bool returned = false;
    double return_time = 0.0;
    double iae = 0.0;      // T sum |r - y|
    double control = 0.0;  // T sum u
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
    double settling_time = 0.0;  // from `time` to the first row after the last one outside the band; Inf unless settled ("never")
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
    std::vector<DisturbanceMetrics> disturbances;
    // Induction: from the first row with a set-point other than 0 (row s,
    // time t_s) to the first row j >= s with |y - r| within the settling
    // band of the change |r(s) - y(s)|, the first time at target.
    double time_to_target = 0.0;       // t_j - t_s; Inf when never at target ("never"), NaN without a set-point
    double induction_overshoot = 0.0;  // % of |r(s) - y(s)|, beyond r(s) while the set-point stays r(s)
    // The maintenance window's start: t_j, or MetricOptions::maintenance_start
    // (Inf when never at target: the window has no rows).
    double maintenance_start = 0.0;
    // Built-in model only (NaN otherwise): from PE = 100 (y - r) / r over rows
    // with r != 0 within the maintenance window (t >= maintenance_start) ...
    bool builtin_model = false;
    double mdpe = 0.0;        // median PE
    double mdape = 0.0;       // median |PE|
    double wobble = 0.0;      // median |PE - MDPE|
    double divergence = 0.0;  // least-squares slope of |PE| per hour of model time (60 s per row)
    // ... and over the whole run.
    double mdpe_whole = 0.0, mdape_whole = 0.0, wobble_whole = 0.0, divergence_whole = 0.0;

    // Over the steps (NaN without steps): the largest overshoot, undershoot
    // and settling time (Inf when a step did not settle), the summed time in band.
    double max_overshoot() const;
    double max_undershoot() const;
    double max_settling_time() const;
    double time_in_band() const;
    // Over the disturbance windows (NaN without any): the peak deviation of
    // the largest magnitude, the longest return time (Inf when one never
    // returned), the summed integrals and control.
    double disturbance_peak() const;
    double disturbance_return_time() const;
    double disturbance_iae() const;
    double disturbance_control() const;
};

// `time` N x 1 and `trajectory` N x 5 as a call returns them; `sample_period`
// T is the recorded time per row (Runge-Kutta steps x step length).
Metrics compute_metrics(const Matrix& time, const Matrix& trajectory, double sample_period, bool builtin_model,
                        const MetricOptions& options = {});

// The sample period of a call of plug-in inputs: its settings'
// sample_period(); NaN when the simulation rejects them.
double sample_period_of(const std::vector<Matrix>& inputs);

// Each metric's unit (summary.json's "units", metrics_units.csv), in order;
// whether a metric is one of the built-in model's alone.
const std::vector<std::pair<std::string, std::string>>& metric_units();
bool builtin_model_metric(const std::string& name);

// The metrics as written in summary.json; non-finite values as "NaN", "Inf", "-Inf".
nlohmann::ordered_json metrics_json(const Metrics& m);

// Median of the values (the mean of the two middle ones for an even count);
// NaN for none. Reorders `v`.
double median(std::vector<double>& v);

}  // namespace veltrax::experiments
