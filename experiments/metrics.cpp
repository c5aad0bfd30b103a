// SPDX-License-Identifier: LGPL-2.1-or-later
#include "experiments/metrics.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "experiments/format.hpp"

namespace veltrax::experiments {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Least-squares slope of a over the row numbers 0, 1, ...
double slope(const std::vector<double>& rows, const std::vector<double>& a) {
    const std::size_t n = a.size();
    if (n < 2) return kNaN;
    double mr = 0.0, ma = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        mr += rows[i];
        ma += a[i];
    }
    mr /= static_cast<double>(n);
    ma /= static_cast<double>(n);
    double sxy = 0.0, sxx = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double dr = rows[i] - mr;
        sxy += dr * (a[i] - ma);
        sxx += dr * dr;
    }
    return sxx > 0.0 ? sxy / sxx : kNaN;
}

nlohmann::ordered_json value(double v) { return json_number(v); }

// y at the top of its range above a lower set-point, through the last tenth.
bool ran_away(const Matrix& trajectory) {
    const std::size_t n = trajectory.rows;
    if (n < kRunawayMinRows) return false;
    for (std::size_t i = n - (n + 9) / 10; i < n; ++i) {
        const double r = trajectory(i, 0), y = trajectory(i, 2);
        if (!(y >= kRunawayLevel && r < kRunawayLevel)) return false;
    }
    return true;
}

}  // namespace

double median(std::vector<double>& v) {
    const std::size_t n = v.size();
    if (n == 0) return kNaN;
    std::sort(v.begin(), v.end(), [](double a, double b) { return a < b || (std::isnan(b) && !std::isnan(a)); });
    if (n % 2 == 1) return v[n / 2];
    return (v[n / 2 - 1] + v[n / 2]) / 2.0;
}

double settling_band(const MetricOptions& options, double size) {
    return std::max(options.band * size, options.absolute_band);
}

double sample_period_of(const std::vector<Matrix>& inputs) {
    try {
        return settings_from_inputs(inputs).sample_period();
    } catch (const Error&) {
        return kNaN;
    }
}

namespace {

// The set-point changes of a call and the response to each. Consecutive
// changed rows (a ramp) are one change, from the row before the first to the
// last; its segment runs from the first changed row to the next change.
std::vector<StepMetrics> step_changes(const Matrix& time, const Matrix& trajectory, double sample_period,
                                      const MetricOptions& options) {
    const std::size_t n = trajectory.rows;
    auto r = [&](std::size_t i) { return trajectory(i, 0); };
    auto y = [&](std::size_t i) { return trajectory(i, 2); };
    auto t = [&](std::size_t i) { return time(i, 0); };
    std::vector<StepMetrics> steps;
    for (std::size_t i = 1; i < n; ++i) {
        if (r(i) == r(i - 1)) continue;
        const std::size_t first = i;
        while (i + 1 < n && r(i + 1) != r(i)) ++i;
        if (r(i) == r(first - 1)) continue;  // a ramp back to where it started
        StepMetrics s;
        s.row = first;
        s.time = t(first);
        s.from = r(first - 1);
        s.to = r(i);
        std::size_t end = i + 1;
        while (end < n && r(end) == r(i)) ++end;
        const double size = std::fabs(s.to - s.from);
        const double dir = s.to > s.from ? 1.0 : -1.0;
        const double band = settling_band(options, size);
        double over = 0.0, under = 0.0;
        std::size_t last_out = n;  // none
        std::size_t inside = 0;
        for (std::size_t j = first; j < end; ++j) {
            over = std::max(over, dir * (y(j) - s.to));
            under = std::max(under, dir * (s.from - y(j)));
            if (std::fabs(y(j) - s.to) <= band)
                ++inside;
            else
                last_out = j;
        }
        s.overshoot = over / size * 100.0;
        s.undershoot = under / size * 100.0;
        s.settled = last_out == n || last_out + 1 < end;
        s.settling_time = !s.settled ? HUGE_VAL : last_out == n ? 0.0 : t(last_out + 1) - t(first);
        s.time_in_band = sample_period * static_cast<double>(inside);
        steps.push_back(s);
    }
    return steps;
}

DisturbanceMetrics window_response(const Matrix& time, const Matrix& trajectory, double sample_period,
                                   const MetricWindow& w, double band) {
    DisturbanceMetrics d;
    d.window = w;
    d.peak_deviation = kNaN;
    double sum_abs = 0.0, sum_u = 0.0, largest = -1.0;
    bool out_at_end = false;
    double back = w.start;  // t of the first row after the last one outside the band
    for (std::size_t i = 0; i < trajectory.rows; ++i) {
        const double t = time(i, 0);
        if (!(t >= w.start && t < w.end)) continue;
        const double r = trajectory(i, 0), u = trajectory(i, 1), y = trajectory(i, 2);
        ++d.rows;
        const double e = y - r;
        if (std::fabs(e) > largest || std::isnan(e)) {
            largest = std::fabs(e);
            d.peak_deviation = e;
        }
        sum_abs += std::fabs(e);
        sum_u += u;
        out_at_end = !(std::fabs(e) <= band);
        if (out_at_end) back = kNaN;
        else if (std::isnan(back)) back = t;
    }
    d.iae = sample_period * sum_abs;
    d.control = sample_period * sum_u;
    d.returned = d.rows > 0 && !out_at_end;
    d.return_time = d.returned ? back - w.start : HUGE_VAL;
    return d;
}

struct Varvel {
    double mdpe = kNaN, mdape = kNaN, wobble = kNaN, divergence = kNaN;
};

// MDPE, MDAPE, wobble and divergence from the performance error of the rows
// with a set-point and t >= start.
Varvel drug_delivery_measures(const Matrix& time, const Matrix& trajectory, double start) {
    std::vector<double> pe, ape, rows;
    for (std::size_t i = 0; i < trajectory.rows; ++i) {
        const double r = trajectory(i, 0), y = trajectory(i, 2);
        if (r == 0.0 || !(time(i, 0) >= start)) continue;
        const double e = (y - r) / r * 100.0;
        pe.push_back(e);
        ape.push_back(std::fabs(e));
        rows.push_back(static_cast<double>(i));
    }
    Varvel v;
    const std::vector<double> abs_pe = ape;
    std::vector<double> sorted = pe;
    v.mdpe = median(sorted);
    sorted = ape;
    v.mdape = median(sorted);
    std::vector<double> dev;
    for (double e : pe) dev.push_back(std::fabs(e - v.mdpe));
    v.wobble = median(dev);
    // Rows are 60 model seconds apart: 60 rows per hour.
    v.divergence = slope(rows, abs_pe) * 60.0;
    return v;
}

// Time to target, the induction's overshoot and the maintenance window's start.
void induction(const Matrix& time, const Matrix& trajectory, const MetricOptions& options, Metrics& m) {
    const std::size_t n = trajectory.rows;
    auto r = [&](std::size_t i) { return trajectory(i, 0); };
    auto y = [&](std::size_t i) { return trajectory(i, 2); };
    m.time_to_target = m.induction_overshoot = kNaN;
    m.maintenance_start = options.maintenance_start ? *options.maintenance_start : 0.0;
    std::size_t s = 0;
    while (s < n && r(s) == 0.0) ++s;
    if (s == n) return;
    const double size = std::fabs(r(s) - y(s)), dir = r(s) >= y(s) ? 1.0 : -1.0;
    const double band = settling_band(options, size);
    double over = 0.0;
    for (std::size_t j = s; j < n && r(j) == r(s); ++j) over = std::max(over, dir * (y(j) - r(s)));
    m.induction_overshoot = size > 0.0 ? over / size * 100.0 : 0.0;
    std::size_t j = s;
    while (j < n && !(std::fabs(y(j) - r(j)) <= band)) ++j;
    m.time_to_target = j < n ? time(j, 0) - time(s, 0) : HUGE_VAL;
    if (!options.maintenance_start) m.maintenance_start = j < n ? time(j, 0) : HUGE_VAL;
}

}  // namespace

Metrics compute_metrics(const Matrix& time, const Matrix& recorded, double sample_period, bool builtin_model,
                        const MetricOptions& options) {
    Matrix in_force;
    if (options.setpoint_in_force) {
        in_force = recorded;
        const SetpointSchedule* schedule = options.schedule ? &*options.schedule : nullptr;
        for (std::size_t i = 0; i < in_force.rows && i < time.rows; ++i)
            in_force(i, 0) = setpoint_in_force(schedule, time(i, 0), recorded(i, 0));
    }
    const Matrix& trajectory = options.setpoint_in_force ? in_force : recorded;
    Metrics m;
    const std::size_t n = trajectory.rows;
    m.samples = n;
    m.builtin_model = builtin_model;
    double sum_abs = 0.0, sum_sq = 0.0, sum_u = 0.0;
    m.peak_control = kNaN;
    for (std::size_t i = 0; i < n; ++i) {
        const double r = trajectory(i, 0), u = trajectory(i, 1), y = trajectory(i, 2);
        const double e = r - y;
        sum_abs += std::fabs(e);
        sum_sq += e * e;
        sum_u += u;
        if (i == 0 || u > m.peak_control || std::isnan(u)) m.peak_control = u;
    }
    m.iae = sample_period * sum_abs;
    m.ise = sample_period * sum_sq;
    m.total_control = sample_period * sum_u;
    m.runaway = ran_away(trajectory);
    m.steps = step_changes(time, trajectory, sample_period, options);
    for (const MetricWindow& w : options.disturbances)
        m.disturbances.push_back(window_response(time, trajectory, sample_period, w, options.disturbance_band));
    induction(time, trajectory, options, m);
    Varvel maintenance, whole;
    if (builtin_model) {
        maintenance = drug_delivery_measures(time, trajectory, m.maintenance_start);
        whole = drug_delivery_measures(time, trajectory, -HUGE_VAL);
    }
    m.mdpe = maintenance.mdpe;
    m.mdape = maintenance.mdape;
    m.wobble = maintenance.wobble;
    m.divergence = maintenance.divergence;
    m.mdpe_whole = whole.mdpe;
    m.mdape_whole = whole.mdape;
    m.wobble_whole = whole.wobble;
    m.divergence_whole = whole.divergence;
    return m;
}

double Metrics::max_overshoot() const {
    if (steps.empty()) return kNaN;
    double v = 0.0;
    for (const StepMetrics& s : steps) v = std::max(v, s.overshoot);
    return v;
}

double Metrics::max_undershoot() const {
    if (steps.empty()) return kNaN;
    double v = 0.0;
    for (const StepMetrics& s : steps) v = std::max(v, s.undershoot);
    return v;
}

double Metrics::max_settling_time() const {
    if (steps.empty()) return kNaN;
    double v = 0.0;
    for (const StepMetrics& s : steps) v = std::max(v, s.settling_time);
    return v;
}

double Metrics::time_in_band() const {
    if (steps.empty()) return kNaN;
    double v = 0.0;
    for (const StepMetrics& s : steps) v += s.time_in_band;
    return v;
}

std::vector<MetricWindow> disturbance_windows(const PlantModels& models) {
    std::vector<MetricWindow> windows;
    for (std::size_t k = 0; k < models.disturbances.size(); ++k) {
        const Disturbance& d = models.disturbances[k];
        if (d.kind == DisturbanceKind::Poisson) continue;
        const double end = d.start + d.rise + d.duration + d.fall + kRecoveryTime;
        windows.push_back({"disturbance " + std::to_string(k + 1), d.start, end});
    }
    for (std::size_t k = 0; k < models.changes.size(); ++k)
        windows.push_back({"change " + std::to_string(k + 1), models.changes[k].time,
                           models.changes[k].time + kRecoveryTime});
    return windows;
}

double Metrics::disturbance_peak() const {
    if (disturbances.empty()) return kNaN;
    double v = 0.0;
    for (const DisturbanceMetrics& d : disturbances)
        if (std::fabs(d.peak_deviation) > std::fabs(v) || std::isnan(d.peak_deviation)) v = d.peak_deviation;
    return v;
}

double Metrics::disturbance_return_time() const {
    if (disturbances.empty()) return kNaN;
    double v = 0.0;
    for (const DisturbanceMetrics& d : disturbances) v = std::max(v, d.return_time);
    return v;
}

double Metrics::disturbance_iae() const {
    if (disturbances.empty()) return kNaN;
    double v = 0.0;
    for (const DisturbanceMetrics& d : disturbances) v += d.iae;
    return v;
}

double Metrics::disturbance_control() const {
    if (disturbances.empty()) return kNaN;
    double v = 0.0;
    for (const DisturbanceMetrics& d : disturbances) v += d.control;
    return v;
}

const std::vector<std::pair<std::string, std::string>>& metric_units() {
    static const std::vector<std::pair<std::string, std::string>> units = {
        {"time", "recorded time (T per row)"},
        {"samples", "rows"},
        {"iae", "recorded time x y (rectangle sum)"},
        {"ise", "recorded time x y^2 (rectangle sum)"},
        {"total_control", "recorded time x u (rectangle sum)"},
        {"peak_control", "u"},
        {"overshoot", "% of the step"},
        {"undershoot", "% of the step"},
        {"settling_time", "recorded time; \"never\" when not settled"},
        {"time_in_band", "recorded time"},
        {"time_to_target", "recorded time; \"never\" when never at target"},
        {"induction_overshoot", "% of the initial distance to the set-point"},
        {"maintenance_start", "recorded time"},
        {"peak_deviation", "y"},
        {"return_time", "recorded time; \"never\" when not returned"},
        {"disturbance_iae", "recorded time x y (rectangle sum)"},
        {"disturbance_control", "recorded time x u (rectangle sum)"},
        {"mdpe", "% (maintenance window)"},
        {"mdape", "% (maintenance window)"},
        {"wobble", "% (maintenance window)"},
        {"divergence", "% per hour of model time (60 s per row; maintenance window)"},
        {"mdpe_whole", "% (whole run)"},
        {"mdape_whole", "% (whole run)"},
        {"wobble_whole", "% (whole run)"},
        {"divergence_whole", "% per hour of model time (60 s per row; whole run)"},
        {"runaway", "0 or 1"},
    };
    return units;
}

bool builtin_model_metric(const std::string& name) {
    for (const char* v : {"mdpe", "mdape", "wobble", "divergence"})
        if (name.rfind(v, 0) == 0) return true;
    return false;
}

nlohmann::ordered_json metrics_json(const Metrics& m) {
    nlohmann::ordered_json j;
    j["samples"] = m.samples;
    j["iae"] = value(m.iae);
    j["ise"] = value(m.ise);
    j["total_control"] = value(m.total_control);
    j["peak_control"] = value(m.peak_control);
    j["runaway"] = m.runaway;
    nlohmann::ordered_json steps = nlohmann::ordered_json::array();
    for (const StepMetrics& s : m.steps) {
        steps.push_back({{"row", s.row + 1},
                         {"time", value(s.time)},
                         {"from", value(s.from)},
                         {"to", value(s.to)},
                         {"overshoot", value(s.overshoot)},
                         {"undershoot", value(s.undershoot)},
                         {"settled", s.settled},
                         {"settling_time", s.settled ? value(s.settling_time) : nlohmann::ordered_json("never")},
                         {"time_in_band", value(s.time_in_band)}});
    }
    j["steps"] = steps;
    if (!m.disturbances.empty()) {
        nlohmann::ordered_json list = nlohmann::ordered_json::array();
        for (const DisturbanceMetrics& d : m.disturbances)
            list.push_back({{"name", d.window.name},
                            {"start", value(d.window.start)},
                            {"end", value(d.window.end)},
                            {"rows", d.rows},
                            {"peak_deviation", value(d.peak_deviation)},
                            {"returned", d.returned},
                            {"return_time", d.returned ? value(d.return_time) : nlohmann::ordered_json("never")},
                            {"iae", value(d.iae)},
                            {"control", value(d.control)}});
        j["disturbances"] = list;
    }
    j["time_to_target"] = std::isinf(m.time_to_target) ? nlohmann::ordered_json("never") : value(m.time_to_target);
    j["induction_overshoot"] = value(m.induction_overshoot);
    j["maintenance_start"] = std::isinf(m.maintenance_start) ? nlohmann::ordered_json("never")
                                                              : value(m.maintenance_start);
    if (m.builtin_model) {
        j["mdpe"] = value(m.mdpe);
        j["mdape"] = value(m.mdape);
        j["wobble"] = value(m.wobble);
        j["divergence"] = value(m.divergence);
        j["mdpe_whole"] = value(m.mdpe_whole);
        j["mdape_whole"] = value(m.mdape_whole);
        j["wobble_whole"] = value(m.wobble_whole);
        j["divergence_whole"] = value(m.divergence_whole);
    }
    nlohmann::ordered_json units;
    for (const auto& [name, unit] : metric_units())
        if (m.builtin_model || !builtin_model_metric(name)) units[name] = unit;
    j["units"] = units;
    return j;
}

}  // namespace veltrax::experiments
