// SPDX-License-Identifier: LGPL-2.1-or-later
#include "experiments/comparison.hpp"

#include <algorithm>
#include <cmath>

namespace veltrax::experiments {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// How good a value is: smaller is better.
double badness(const ComparedMetric& m, double v) {
    const double x = m.by_magnitude ? std::fabs(v) : v;
    return m.higher_is_better ? -x : x;
}

// The controller strictly best on one unit, or -1 (a tie, or a value missing).
int winner(const ComparedMetric& m, const std::vector<std::vector<std::vector<double>>>& values, std::size_t u,
           std::size_t k) {
    int best = -1;
    double best_badness = 0.0;
    bool tie = false;
    for (std::size_t c = 0; c < values.size(); ++c) {
        const std::vector<double>& v = values[c][u];
        if (v.empty() || std::isnan(v[k])) return -2;
        const double b = badness(m, v[k]);
        if (best < 0 || b < best_badness) {
            best = static_cast<int>(c);
            best_badness = b;
            tie = false;
        } else if (b == best_badness) {
            tie = true;
        }
    }
    return tie ? -1 : best;
}

MetricComparison compare_metric(const std::vector<std::vector<std::vector<double>>>& values, std::size_t k) {
    const ComparedMetric& m = compared_metrics()[k];
    const std::size_t controllers = values.size(), units = values.empty() ? 0 : values[0].size();
    MetricComparison out;
    out.metric = m.name;
    out.wins.assign(controllers, 0);
    for (std::size_t c = 0; c < controllers; ++c) {
        std::vector<double> own, difference;
        for (std::size_t u = 0; u < units; ++u) {
            const std::vector<double>& v = values[c][u];
            if (v.empty()) continue;
            own.push_back(v[k]);
            const std::vector<double>& reference = values[0][u];
            if (c > 0 && !reference.empty() && std::isfinite(v[k]) && std::isfinite(reference[k]))
                difference.push_back(v[k] - reference[k]);
        }
        out.values.push_back(band_of(std::move(own)));
        out.differences.push_back(band_of(std::move(difference)));
    }
    for (std::size_t u = 0; u < units; ++u) {
        const int w = winner(m, values, u, k);
        if (w == -2) continue;
        ++out.contested;
        if (w >= 0) ++out.wins[static_cast<std::size_t>(w)];
    }
    return out;
}

}  // namespace

const std::vector<ComparedMetric>& compared_metrics() {
    static const std::vector<ComparedMetric> metrics = {
        {"iae", false, false},          {"ise", false, false},           {"max_overshoot", false, false},
        {"max_undershoot", false, false}, {"max_settling_time", false, false}, {"time_in_band", true, false},
        {"total_control", false, false}, {"peak_control", false, false}, {"mdpe", false, true},
        {"mdape", false, false},        {"wobble", false, false},        {"divergence", false, true},
    };
    return metrics;
}

std::vector<double> compared_values(const Metrics& m) {
    const double settling = m.steps.empty() ? kNaN : std::isnan(m.max_settling_time()) ? HUGE_VAL : m.max_settling_time();
    const bool model = m.builtin_model;
    return {m.iae,
            m.ise,
            m.max_overshoot(),
            m.max_undershoot(),
            settling,
            m.time_in_band(),
            m.total_control,
            m.peak_control,
            model ? m.mdpe : kNaN,
            model ? m.mdape : kNaN,
            model ? m.wobble : kNaN,
            model ? m.divergence : kNaN};
}

double quantile(const std::vector<double>& sorted, double p) {
    if (sorted.empty()) return kNaN;
    const double h = static_cast<double>(sorted.size() - 1) * p;
    const std::size_t lo = static_cast<std::size_t>(std::floor(h));
    const double fraction = h - static_cast<double>(lo);
    if (lo + 1 >= sorted.size() || fraction == 0.0) return sorted[lo];
    const double a = sorted[lo], b = sorted[lo + 1];
    if (std::isinf(a) || std::isinf(b)) return std::isinf(b) ? b : a;
    return a + fraction * (b - a);
}

Band band_of(std::vector<double> values) {
    values.erase(std::remove_if(values.begin(), values.end(), [](double v) { return std::isnan(v); }), values.end());
    std::sort(values.begin(), values.end());
    return {quantile(values, 0.05), quantile(values, 0.5), quantile(values, 0.95), values.size()};
}

std::vector<MetricComparison> compare_values(const std::vector<std::vector<std::vector<double>>>& values) {
    std::vector<MetricComparison> out;
    for (std::size_t k = 0; k < compared_metrics().size(); ++k) out.push_back(compare_metric(values, k));
    return out;
}

}  // namespace veltrax::experiments
