// SPDX-License-Identifier: LGPL-2.1-or-later
#include "controller/estimator.hpp"

namespace veltrax {

void build_regressor(double* regressor, const SignalHistories& h, int a_order, int b_order, int dead_time) {
    for (int i = 0; i < a_order; ++i) regressor[i] = -h.dz_est[kNewest - 1 - i];
    for (int m = 0; m < b_order; ++m) regressor[a_order + m] = h.du_est[kNewest - 1 - dead_time - m];
}

double prediction_error(double dz_est, const double* theta, const double* regressor, int n) {
    double sum = 0.0;
    for (int k = 0; k < n; ++k) sum = sum + theta[k] * regressor[k];
    return dz_est - sum;
}

double static_gain(const double* theta, int a_order, int b_order) {
    double num = 0.0;
    for (int k = b_order; k < a_order + b_order; ++k) num = num + theta[k];
    double den = 0.0;
    for (int k = 0; k < b_order; ++k) den = den + theta[k];
    return num / (1.0 + den);
}

void ud_rls_update(double e, const double* phi, double* diag, double* gain, double lambda, double* upper, int n,
                   double* theta) {
    const double v0 = diag[0] * phi[0];
    double alpha = 1.0 + v0 * phi[0];
    gain[0] = v0;
    diag[0] = diag[0] / (alpha * lambda);
    for (int j = 1; j < n; ++j) {
        double* column = upper + j * (j - 1) / 2;
        double sum = 0.0;
        for (int i = 0; i < j; ++i) sum = sum + phi[i] * column[i];
        const double f = phi[j] + sum;
        const double v = diag[j] * f;
        const double alpha_prev = alpha;
        alpha = alpha_prev + v * f;
        gain[j] = v;
        diag[j] = diag[j] * alpha_prev / (alpha * lambda);
        const double mu = -f / alpha_prev;
        for (int i = 0; i < j; ++i) {
            const double u_old = column[i];
            const double k_old = gain[i];
            column[i] = u_old + k_old * mu;
            gain[i] = k_old + u_old * v;
        }
    }
    for (int i = 0; i < n; ++i) theta[i] = theta[i] + e * gain[i] / alpha;
}

namespace {
inline void shift(double* h) {
    for (int i = 1; i <= 19; ++i) h[i] = h[i + 1];
}
}  // namespace

void shift_histories(SignalHistories& h) {
    shift(h.z);
    shift(h.dz);
    shift(h.z_over_q);
    shift(h.z_over_t);
    shift(h.dz_est);
    shift(h.u);
    shift(h.du);
    shift(h.du_over_t);
    shift(h.du_est);
}

void shift_preview(double* ref_preview) {
    for (int i = 1; i <= 19; ++i) ref_preview[i - 1] = ref_preview[i];
}

}  // namespace veltrax
