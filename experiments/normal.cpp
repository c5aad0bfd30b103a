// SPDX-License-Identifier: LGPL-2.1-or-later
#include "experiments/normal.hpp"

#include <cmath>
#include <limits>

namespace veltrax::experiments {

namespace {

// Coefficients of the central and tail approximations.
constexpr double a[6] = {-3.969683028665376e+01, 2.209460984245205e+02, -2.759285104469687e+02,
                         1.383577518672690e+02,  -3.066479806614716e+01, 2.506628277459239e+00};
constexpr double b[5] = {-5.447609879822406e+01, 1.615858368580409e+02, -1.556989798598866e+02,
                         6.680131188771972e+01,  -1.328068155288572e+01};
constexpr double c[6] = {-7.784894002430293e-03, -3.223964580411365e-01, -2.400758277161838e+00,
                         -2.549732539343734e+00, 4.374664141464968e+00,  2.938163982698783e+00};
constexpr double d[4] = {7.784695709041462e-03, 3.224671290700398e-01, 2.445134137142996e+00,
                         3.754408661907416e+00};
constexpr double kLow = 0.02425;

// Lower tail, q <= kLow.
double tail(double q) {
    const double t = std::sqrt(-2.0 * std::log(q));
    const double num = ((((c[0] * t + c[1]) * t + c[2]) * t + c[3]) * t + c[4]) * t + c[5];
    const double den = (((d[0] * t + d[1]) * t + d[2]) * t + d[3]) * t + 1.0;
    return num / den;
}

}  // namespace

double normal_quantile(double p) {
    if (!(p > 0.0 && p < 1.0)) return std::numeric_limits<double>::quiet_NaN();
    if (p < kLow) return tail(p);
    if (p > 1.0 - kLow) return -tail(1.0 - p);
    const double q = p - 0.5;
    const double r = q * q;
    const double num = (((((a[0] * r + a[1]) * r + a[2]) * r + a[3]) * r + a[4]) * r + a[5]) * q;
    const double den = ((((b[0] * r + b[1]) * r + b[2]) * r + b[3]) * r + b[4]) * r + 1.0;
    return num / den;
}

}  // namespace veltrax::experiments
