// SPDX-License-Identifier: LGPL-2.1-or-later
// Linear transfer-function process in companion form, advanced by classical
// fourth-order Runge-Kutta steps with the input held.
#pragma once

#include <cstdint>

namespace veltrax {

constexpr int kMaxStateOrder = 10;                     // denominator degree
constexpr int kMaxCoefficients = kMaxStateOrder + 1;  // of numerator or denominator

struct LinearProcess {
    std::int32_t state_order = 3;
    std::int32_t num_degree = 0;
    std::int32_t den_degree = 0;
    double num_coeffs[kMaxCoefficients] = {};
    double den_coeffs[kMaxCoefficients] = {};
    double process_state[kMaxStateOrder] = {};
    double process_state_next[kMaxStateOrder] = {};
};

struct Rk4Work {
    double trial_state[kMaxStateOrder];
    double slope_start[kMaxStateOrder];
    double slope_mid[kMaxStateOrder];
    double slope_trial[kMaxStateOrder];
};

// num/den in descending powers of s with num_degree+1 and den_degree+1
// coefficients; divides by den[0] and sets the state order.
void normalise_transfer_function(LinearProcess& lp, const double* num, int num_degree, const double* den,
                                 int den_degree);

// Companion-form derivative of state x under the held input.
inline void linear_process_derivative(const LinearProcess& lp, double input, const double* x, double* dxdt) {
    const int n = lp.state_order;
    const double* a = lp.den_coeffs;
    dxdt[n - 1] = input - a[1] * x[n - 1];
    for (int i = 0; i <= n - 2; ++i) {
        dxdt[i] = x[i + 1];
        dxdt[n - 1] = dxdt[n - 1] - a[n - i] * x[i];
    }
}

// One step of size h on dimension n; writes x_next and copies it back into x.
template <class Derivative>
void rk4_step(double* x, double h, double* x_next, int n, Rk4Work& w, Derivative&& f) {
    const double hh = h * 0.5;
    const double h6 = h / 6.0;
    f(x, w.slope_start);
    for (int i = 0; i < n; ++i) w.trial_state[i] = hh * w.slope_start[i] + x[i];
    f(w.trial_state, w.slope_trial);
    for (int i = 0; i < n; ++i) w.trial_state[i] = hh * w.slope_trial[i] + x[i];
    f(w.trial_state, w.slope_mid);
    for (int i = 0; i < n; ++i) {
        w.trial_state[i] = h * w.slope_mid[i] + x[i];
        w.slope_mid[i] = w.slope_trial[i] + w.slope_mid[i];
    }
    f(w.trial_state, w.slope_trial);
    for (int i = 0; i < n; ++i) {
        x_next[i] = ((w.slope_start[i] + w.slope_trial[i]) + 2.0 * w.slope_mid[i]) * h6 + x[i];
        x[i] = x_next[i];
    }
}

// Advances the process by `steps` Runge-Kutta steps of size h under `input`.
void advance_linear_process(LinearProcess& lp, double input, long steps, double h);

// y = sum_k num[nb-k] * x[k], k = 0 .. nb.
double linear_process_output(const LinearProcess& lp);

}  // namespace veltrax
