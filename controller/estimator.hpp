// SPDX-License-Identifier: LGPL-2.1-or-later
// Recursive least squares on a U-D factorised covariance, with the filtered
// signal histories it is fed from.
#pragma once

namespace veltrax {

constexpr int kMaxParameters = 10;
constexpr int kHistoryLength = 21;  // slots 1 .. 20 used, 20 newest
constexpr int kNewest = 20;
constexpr int kPreviewLength = 20;

// "x_over_q" is x filtered by 1/Q, "x_over_t" by 1/T, "x_est" by 1/F with
// the fixed estimation filter F.
struct SignalHistories {
    double z[kHistoryLength] = {};          // linearised output
    double dz[kHistoryLength] = {};         // its increment
    double z_over_q[kHistoryLength] = {};
    double z_over_t[kHistoryLength] = {};   // z_over_q filtered by 1/T
    double dz_est[kHistoryLength] = {};
    double u[kHistoryLength] = {};          // control signal after limits
    double du[kHistoryLength] = {};         // applied move
    double du_over_t[kHistoryLength] = {};
    double du_est[kHistoryLength] = {};
};

struct EstimatorState {
    double theta[kMaxParameters] = {};
    double regressor[kMaxParameters] = {};
    double prediction_error = 0.0;
    double ud_diag[kMaxParameters] = {};
    double ud_upper[kMaxParameters * (kMaxParameters - 1) / 2] = {};
    double rls_gain[kMaxParameters] = {};
    static constexpr double forgetting_factor = 0.97;
    static constexpr double initial_covariance = 1000.0;
    static constexpr double estimation_filter[4] = {1.0, -1.6, 0.64, 0.0};
};

// Newest element of a history filtered by 1/c: x/c0 - (c1/c0) h(t-1) - ...
inline double filter_newest(double x, const double* c, const double* h) {
    return x / c[0] - (c[1] / c[0]) * h[kNewest - 1] - (c[2] / c[0]) * h[kNewest - 2] -
           (c[3] / c[0]) * h[kNewest - 3];
}

// Three-term form used for 1/Q.
inline double filter_newest3(double x, const double* c, const double* h) {
    return x / c[0] - (c[1] / c[0]) * h[kNewest - 1] - (c[2] / c[0]) * h[kNewest - 2];
}

// phi = (-dz_est(t-1) .. -dz_est(t-na), du_est(t-1-d) .. du_est(t-d-nb)).
void build_regressor(double* regressor, const SignalHistories& h, int a_order, int b_order, int dead_time);

// e - sum theta[k] phi[k], the sum formed on its own first.
double prediction_error(double dz_est, const double* theta, const double* regressor, int n);

// (sum of theta[nb .. na+nb-1]) / (1 + sum of theta[0 .. nb-1]).
double static_gain(const double* theta, int a_order, int b_order);

// U-D update with forgetting factor lambda; upper is U above its unit diagonal,
// packed column by column.
void ud_rls_update(double e, const double* phi, double* diag, double* gain, double lambda, double* upper, int n,
                   double* theta);

// Moves every history down one slot (slot 20 keeps its value).
void shift_histories(SignalHistories& h);

// ref_preview[i-1] = ref_preview[i] for i = 1 .. 19.
void shift_preview(double* ref_preview);

}  // namespace veltrax
