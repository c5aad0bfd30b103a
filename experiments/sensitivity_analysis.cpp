// SPDX-License-Identifier: LGPL-2.1-or-later
#include "experiments/sensitivity_analysis.hpp"

#include <cmath>
#include <limits>

#include "experiments/normal.hpp"
#include "experiments/word_stream.hpp"

namespace veltrax::experiments {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Half-width of the interval: z times the standard deviation of the
// resampled estimates (n - 1).
double half_width(const std::vector<double>& estimates, double z) {
    const std::size_t n = estimates.size();
    if (n < 2) return kNaN;
    double mean = 0.0;
    for (double e : estimates) mean += e;
    mean /= static_cast<double>(n);
    double ss = 0.0;
    for (double e : estimates) ss += (e - mean) * (e - mean);
    return z * std::sqrt(ss / static_cast<double>(n - 1));
}

double z_of(double confidence) { return normal_quantile(0.5 + confidence / 2.0); }

// Jansen's estimators over the groups `use` (indices into the kept groups).
struct SobolEstimate {
    std::vector<double> S1, ST;
    double variance;
};

class SaltelliOutputs {
public:
    SaltelliOutputs(std::size_t n, std::size_t d, const std::vector<double>& y) : d_(d), y_(y) {
        for (std::size_t j = 0; j < n; ++j) {
            bool finite = true;
            for (std::size_t m = 0; m < d + 2 && finite; ++m) finite = std::isfinite(y[j * (d + 2) + m]);
            if (finite) kept_.push_back(j);
        }
    }
    const std::vector<std::size_t>& kept() const { return kept_; }

    SobolEstimate estimate(const std::vector<std::size_t>& use) const {
        const double count = static_cast<double>(use.size());
        double mean = 0.0;
        for (std::size_t j : use) mean += a(j) + b(j);
        mean /= 2.0 * count;
        double ss = 0.0;
        for (std::size_t j : use) ss += (a(j) - mean) * (a(j) - mean) + (b(j) - mean) * (b(j) - mean);
        SobolEstimate e{std::vector<double>(d_), std::vector<double>(d_), ss / (2.0 * count)};
        for (std::size_t i = 0; i < d_; ++i) {
            double first = 0.0, total = 0.0;
            for (std::size_t j : use) {
                const double ab = y_[j * (d_ + 2) + i + 1];
                first += (b(j) - ab) * (b(j) - ab);
                total += (a(j) - ab) * (a(j) - ab);
            }
            e.S1[i] = (e.variance - first / (2.0 * count)) / e.variance;
            e.ST[i] = total / (2.0 * count) / e.variance;
        }
        return e;
    }

private:
    double a(std::size_t j) const { return y_[j * (d_ + 2)]; }
    double b(std::size_t j) const { return y_[j * (d_ + 2) + d_ + 1]; }

    std::size_t d_;
    const std::vector<double>& y_;
    std::vector<std::size_t> kept_;
};

// `count` indices drawn with replacement from `from`, by resample b.
std::vector<std::size_t> resample(const std::vector<std::size_t>& from, const BootstrapOptions& o, std::size_t b) {
    WordStream words(o.seed, b + 1);
    std::vector<std::size_t> out(from.size());
    for (std::size_t& k : out) k = from[words.below(from.size())];
    return out;
}

}  // namespace

SobolIndices sobol_indices(std::size_t n, std::size_t d, const std::vector<double>& y, const BootstrapOptions& o) {
    SobolIndices s;
    s.S1.assign(d, kNaN);
    s.S1_conf = s.ST = s.ST_conf = s.S1;
    if (y.size() != n * (d + 2)) return s;
    const SaltelliOutputs outputs(n, d, y);
    const std::vector<std::size_t>& kept = outputs.kept();
    s.groups_used = kept.size();
    s.groups_dropped = n - kept.size();
    if (kept.size() < 2) return s;
    const SobolEstimate whole = outputs.estimate(kept);
    s.variance = whole.variance;
    if (!(whole.variance > 0.0)) return s;
    s.S1 = whole.S1;
    s.ST = whole.ST;
    std::vector<std::vector<double>> first(d), total(d);
    for (std::size_t b = 0; b < o.resamples; ++b) {
        const SobolEstimate e = outputs.estimate(resample(kept, o, b));
        if (!(e.variance > 0.0)) continue;  // a resample of equal outputs says nothing
        for (std::size_t i = 0; i < d; ++i) {
            first[i].push_back(e.S1[i]);
            total[i].push_back(e.ST[i]);
        }
    }
    const double z = z_of(o.confidence);
    for (std::size_t i = 0; i < d; ++i) {
        s.S1_conf[i] = half_width(first[i], z);
        s.ST_conf[i] = half_width(total[i], z);
    }
    return s;
}

namespace {

// The finite elementary effects of each trajectory, by input (NaN where an
// output is not finite).
std::vector<double> elementary_effects(const MorrisDesign& m, const std::vector<double>& y) {
    std::vector<double> ee(m.r * m.d, kNaN);
    const double delta = m.delta();
    for (std::size_t t = 0; t < m.r; ++t) {
        for (std::size_t s = 1; s <= m.d; ++s) {
            const std::size_t i = m.order[t * m.d + s - 1];
            const double before = y[t * (m.d + 1) + s - 1], after = y[t * (m.d + 1) + s];
            if (std::isfinite(before) && std::isfinite(after))
                ee[t * m.d + i] = (after - before) / (m.direction[t * m.d + i] * delta);
        }
    }
    return ee;
}

double mean_abs(const std::vector<double>& ee, std::size_t d, std::size_t i, const std::vector<std::size_t>& use) {
    double sum = 0.0;
    std::size_t count = 0;
    for (std::size_t t : use) {
        const double e = ee[t * d + i];
        if (std::isnan(e)) continue;
        sum += std::fabs(e);
        ++count;
    }
    return count ? sum / static_cast<double>(count) : kNaN;
}

}  // namespace

MorrisIndices morris_indices(const MorrisDesign& m, const std::vector<double>& y, const BootstrapOptions& o) {
    MorrisIndices r;
    r.mu.assign(m.d, kNaN);
    r.mu_star = r.sigma = r.mu_star_conf = r.mu;
    r.effects.assign(m.d, 0);
    if (y.size() != m.runs()) return r;
    const std::vector<double> ee = elementary_effects(m, y);
    std::vector<std::size_t> all(m.r);
    for (std::size_t t = 0; t < m.r; ++t) all[t] = t;
    const double z = z_of(o.confidence);
    for (std::size_t i = 0; i < m.d; ++i) {
        double sum = 0.0;
        std::size_t& count = r.effects[i];
        for (std::size_t t = 0; t < m.r; ++t) {
            if (std::isnan(ee[t * m.d + i])) continue;
            sum += ee[t * m.d + i];
            ++count;
        }
        if (count == 0) continue;
        r.mu[i] = sum / static_cast<double>(count);
        r.mu_star[i] = mean_abs(ee, m.d, i, all);
        double ss = 0.0;
        for (std::size_t t = 0; t < m.r; ++t) {
            const double e = ee[t * m.d + i];
            if (!std::isnan(e)) ss += (e - r.mu[i]) * (e - r.mu[i]);
        }
        r.sigma[i] = count > 1 ? std::sqrt(ss / static_cast<double>(count - 1)) : kNaN;
        std::vector<double> resampled;
        for (std::size_t b = 0; b < o.resamples; ++b) {
            const double v = mean_abs(ee, m.d, i, resample(all, o, b));
            if (!std::isnan(v)) resampled.push_back(v);
        }
        r.mu_star_conf[i] = half_width(resampled, z);
    }
    return r;
}

}  // namespace veltrax::experiments
