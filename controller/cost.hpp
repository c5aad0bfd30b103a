// Predictive cost of one candidate move and the output curve of the
// controller's model.
#pragma once

#include <cmath>

#include "controller/prediction.hpp"

namespace veltrax {

// h(w) = w^p / (w^p + c^p) for w > 0, else 0.
inline double hill_output(double w, double p, double c) {
    if (w <= 0.0) return 0.0;
    const double wp = std::pow(w, p);
    return wp / (wp + std::pow(c, p));
}

// J(du) = sum_k (r_k - h(g_k du + f_k))^2 + weight du^2, terms in increasing k.
// With Preview, r_k is ref_preview[k], stored into `setpoint` before use.
template <bool Preview>
double predictive_cost(const PredictionState& ps, double& setpoint, const double* ref_preview, double control_weight,
                       double p, double c, double du) {
    double j = 0.0;
    for (int k = kHorizonStart - 1; k < kHorizonEnd; ++k) {
        const double w = ps.step_coef[k] * du + ps.free_response[k];
        double y = 0.0;
        if (!(w <= 0.0)) {
            const double wp = std::pow(w, p);
            y = wp / (std::pow(c, p) + wp);
        }
        if constexpr (Preview) setpoint = ref_preview[k];
        const double e = setpoint - y;
        j = e * e + j;
    }
    return control_weight * (du * du) + j;
}

// The same cost with everything that is constant within a sample period
// computed once: c^p, the reference of every term, and the leading terms whose
// step coefficient is zero (they do not depend on a finite move). evaluate()
// returns exactly what predictive_cost returns for the same sample state.
struct CostTable {
    double g[kHorizonEnd];
    double f[kHorizonEnd];
    double r[kHorizonEnd];
    double cp;
    double p;
    double weight;
    int first;        // first term that depends on the move
    double j_prefix;  // sum of the terms before `first`, accumulated as in the cost
};

inline CostTable make_cost_table(const PredictionState& ps, const double* reference, double control_weight, double p,
                                 double c) {
    CostTable t;
    t.cp = std::pow(c, p);
    t.p = p;
    t.weight = control_weight;
    for (int k = 0; k < kHorizonEnd; ++k) {
        t.g[k] = ps.step_coef[k];
        t.f[k] = ps.free_response[k];
        t.r[k] = reference[k];
    }
    // g*du is a zero of either sign for finite du, and adding it to f gives f
    // (or a zero when f is a zero), so w is f and the term is fixed.
    t.first = 0;
    t.j_prefix = 0.0;
    while (t.first < kHorizonEnd && t.g[t.first] == 0.0) {
        const double w = t.f[t.first];
        double y = 0.0;
        if (!(w <= 0.0)) {
            const double wp = std::pow(w, p);
            y = wp / (t.cp + wp);
        }
        const double e = t.r[t.first] - y;
        t.j_prefix = e * e + t.j_prefix;
        ++t.first;
    }
    return t;
}

inline double evaluate_cost(const CostTable& t, double du) {
    double j = t.j_prefix;
    int first = t.first;
    if (!std::isfinite(du)) {
        j = 0.0;
        first = 0;
    }
    // The outputs first (independent power calls that can overlap), then the
    // sum in the order of the terms.
    double y[kHorizonEnd];
    for (int k = first; k < kHorizonEnd; ++k) {
        const double w = t.g[k] * du + t.f[k];
        y[k] = 0.0;
        if (!(w <= 0.0)) {
            const double wp = std::pow(w, t.p);
            y[k] = wp / (t.cp + wp);
        }
    }
    for (int k = first; k < kHorizonEnd; ++k) {
        const double e = t.r[k] - y[k];
        j = e * e + j;
    }
    return t.weight * (du * du) + j;
}

}  // namespace veltrax
