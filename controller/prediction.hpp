// SPDX-License-Identifier: LGPL-2.1-or-later
// Step coefficients and free response over the horizon, from the estimated
// model and the observer polynomial T.
#pragma once

namespace veltrax {

constexpr int kHorizonStart = 1;  // N1
constexpr int kHorizonEnd = 10;   // N2
constexpr int kPqDegree = 1;
constexpr int kTDegree = 3;
constexpr int kRowLength = 10;
// Coefficients of every polynomial: the recursions read at most index 9
// (f_len and the input rows reach 9 coefficients, read one past the last).
constexpr int kPolyLength = 10;

struct DerivedLengths {
    int atilde_len = 0;
    int pq_len = 0;
    int r_len = 0;
    int s_len = 0;
    int f_len = 0;
    int bext_len = 0;
    int gamma_len = 0;  // coefficients kept per row of gamma_rows: max(bext_len, t_degree)
};

struct PredictionState {
    DerivedLengths len;
    double a_poly[kPolyLength] = {};
    double b_poly[kPolyLength] = {};
    double p_poly[kPolyLength] = {};
    double q_poly[kPolyLength] = {};
    double t_poly[kRowLength] = {};
    double r_poly[kPolyLength] = {};
    double a_tilde[kPolyLength] = {};
    double s_poly[kPolyLength] = {};
    double e_coef[kHorizonEnd] = {};
    double f_rows[kHorizonEnd][kRowLength] = {};
    double step_coef[kHorizonEnd] = {};
    double gamma_rows[kHorizonEnd][kRowLength] = {};
    double free_response[kHorizonEnd] = {};
};

DerivedLengths derived_lengths(int a_order, int b_order, int dead_time);

// Run start: derived lengths, T from t_coef[0..2], P = Q = 1, a_poly[0] = 1,
// and every other coefficient cleared so that nothing of an earlier run with
// larger orders is read past a used length.
void start_prediction(PredictionState& p, const double* t_coef, int a_order, int b_order, int dead_time);

void copy_model_polynomials(PredictionState& p, const double* theta, int a_order, int dead_time);
void solve_output_recursion(PredictionState& p, double t0);
void solve_input_recursion(PredictionState& p, double t0);
// Histories of 21 slots, slot 20 newest: the output and the moves, each
// filtered by 1/T.
void compute_free_response(PredictionState& p, const double* z_over_t, const double* du_over_t);

}  // namespace veltrax
