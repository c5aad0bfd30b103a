// SPDX-License-Identifier: LGPL-2.1-or-later
// Predictive cost of one candidate move and the output curve of the
// controller's model.
#pragma once

#include <cmath>

#include "controller/prediction.hpp"
#include "numeric/vpow/pow.hpp"

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
// step coefficient is zero (they do not depend on a finite move).
// evaluate_cost returns exactly what predictive_cost returns for the same
// sample state; its powers are vpow::scalar_pow, std::pow's bits without the
// errno wrapper.
struct CostTable {
    double step_coef[kHorizonEnd];
    double free_response[kHorizonEnd];
    double reference[kHorizonEnd];  // set-point of each term
    double midpoint_power;          // c^p
    double exponent;                // p
    double weight;
    int first_moving;               // first term whose step coefficient is not zero
    double fixed_sum;               // sum of the terms before it, accumulated as in the cost
};

inline CostTable make_cost_table(const PredictionState& ps, const double* reference, double control_weight, double p,
                                 double c) {
    CostTable t;
    t.midpoint_power = vpow::scalar_pow(c, p);
    t.exponent = p;
    t.weight = control_weight;
    for (int k = 0; k < kHorizonEnd; ++k) {
        t.step_coef[k] = ps.step_coef[k];
        t.free_response[k] = ps.free_response[k];
        t.reference[k] = reference[k];
    }
    // g*du is a zero of either sign for finite du, and adding it to f gives f
    // (or a zero when f is a zero), so w is f and the term is fixed.
    t.first_moving = 0;
    t.fixed_sum = 0.0;
    while (t.first_moving < kHorizonEnd && t.step_coef[t.first_moving] == 0.0) {
        const int k = t.first_moving;
        const double w = t.free_response[k];
        double y = 0.0;
        if (!(w <= 0.0)) {
            const double wp = vpow::scalar_pow(w, p);
            y = wp / (t.midpoint_power + wp);
        }
        const double e = t.reference[k] - y;
        t.fixed_sum = e * e + t.fixed_sum;
        ++t.first_moving;
    }
    return t;
}

inline double evaluate_cost(const CostTable& t, double du) {
    double j = t.fixed_sum;
    int first = t.first_moving;
    if (!std::isfinite(du)) {
        j = 0.0;
        first = 0;
    }
    // The outputs first (independent power calls that can overlap), then the
    // sum in the order of the terms.
    double y[kHorizonEnd];
    for (int k = first; k < kHorizonEnd; ++k) {
        const double w = t.step_coef[k] * du + t.free_response[k];
        y[k] = 0.0;
        if (!(w <= 0.0)) {
            const double wp = vpow::scalar_pow(w, t.exponent);
            y[k] = wp / (t.midpoint_power + wp);
        }
    }
    for (int k = first; k < kHorizonEnd; ++k) {
        const double e = t.reference[k] - y[k];
        j = e * e + j;
    }
    return t.weight * (du * du) + j;
}

}  // namespace veltrax
