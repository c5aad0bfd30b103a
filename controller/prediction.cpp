// SPDX-License-Identifier: LGPL-2.1-or-later
#include "controller/prediction.hpp"

#include <algorithm>

namespace veltrax {

DerivedLengths derived_lengths(int a_order, int b_order, int dead_time) {
    DerivedLengths l;
    l.atilde_len = a_order + 2;
    l.pq_len = kPqDegree + 1;
    l.r_len = kPqDegree + kTDegree + 1;
    l.s_len = a_order + kPqDegree + 2;
    l.f_len = std::max(l.s_len, l.r_len);
    l.bext_len = dead_time + b_order;
    l.gamma_len = std::max(l.bext_len, kTDegree);
    return l;
}

void start_prediction(PredictionState& p, const double* t_coef, int a_order, int b_order, int dead_time) {
    p = PredictionState{};
    p.len = derived_lengths(a_order, b_order, dead_time);
    for (int i = 0; i < 3; ++i) p.t_poly[i] = t_coef[i];
    p.p_poly[0] = 1.0;
    p.q_poly[0] = 1.0;
    p.a_poly[0] = 1.0;
}

void copy_model_polynomials(PredictionState& p, const double* theta, int a_order, int dead_time) {
    for (int i = 0; i < a_order; ++i) p.a_poly[i + 1] = theta[i];
    for (int i = 0; i < dead_time; ++i) p.b_poly[i] = 0.0;
    for (int k = dead_time; k < p.len.bext_len; ++k) p.b_poly[k] = theta[a_order + k - dead_time];
}

void solve_output_recursion(PredictionState& p, double t0) {
    const DerivedLengths& l = p.len;
    p.e_coef[0] = (p.p_poly[0] / p.q_poly[0]) * t0;
    p.r_poly[0] = p.p_poly[0] * t0;
    p.a_tilde[0] = 1.0;
    p.s_poly[0] = p.q_poly[0];
    for (int i = 1; i < l.r_len; ++i) {
        double sum = 0.0;
        for (int j = 0; j < l.pq_len && j <= i; ++j) sum = sum + p.p_poly[j] * p.t_poly[i - j];
        p.r_poly[i] = sum;
    }
    for (int i = 1; i < l.atilde_len; ++i) p.a_tilde[i] = p.a_poly[i] - p.a_poly[i - 1];
    for (int i = 1; i < l.s_len; ++i) {
        double sum = 0.0;
        for (int j = 0; j < l.pq_len && j <= i; ++j) sum = sum + p.a_tilde[i - j] * p.q_poly[j];
        p.s_poly[i] = sum;
    }
    for (int j = 0; j < l.f_len; ++j) p.f_rows[0][j] = p.r_poly[j + 1] - p.e_coef[0] * p.s_poly[j + 1];
    for (int k = 1; k < kHorizonEnd; ++k) {
        const double* prev = p.f_rows[k - 1];
        p.e_coef[k] = prev[0] / p.q_poly[0];
        for (int j = 0; j < l.f_len; ++j) p.f_rows[k][j] = prev[j + 1] - p.e_coef[k] * p.s_poly[j + 1];
    }
}

void solve_input_recursion(PredictionState& p, double t0) {
    const int len = p.len.gamma_len;
    const double inv_t0 = 1.0 / t0;
    const double g0 = p.e_coef[0] * p.b_poly[0] * inv_t0;
    p.step_coef[0] = g0;
    for (int j = 0; j < len; ++j) p.gamma_rows[0][j] = p.e_coef[0] * p.b_poly[j + 1] - g0 * p.t_poly[j + 1];
    for (int k = 1; k < kHorizonEnd; ++k) {
        const double* prev = p.gamma_rows[k - 1];
        const double gk = inv_t0 * (p.e_coef[k] * p.b_poly[0] + prev[0]);
        p.step_coef[k] = gk;
        for (int j = 0; j < len; ++j)
            p.gamma_rows[k][j] = (p.e_coef[k] * p.b_poly[j + 1] + prev[j + 1]) - gk * p.t_poly[j + 1];
    }
}

void compute_free_response(PredictionState& p, const double* z_over_t, const double* du_over_t) {
    const int m = std::max(p.len.bext_len, p.len.f_len);
    for (int k = kHorizonStart - 1; k < kHorizonEnd; ++k) {
        const double* f = p.f_rows[k];
        const double* g = p.gamma_rows[k];
        double sum = 0.0;
        for (int j = 0; j < m; ++j) sum = sum + (f[j] * z_over_t[20 - j] + g[j] * du_over_t[19 - j]);
        p.free_response[k] = sum;
    }
}

}  // namespace veltrax
