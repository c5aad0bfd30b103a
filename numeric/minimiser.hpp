// SPDX-License-Identifier: LGPL-2.1-or-later
// Derivative-free scalar minimisation: downhill bracketing and golden-section
// search. The cost is any callable double(double); it is called in exactly the
// order the steps below are written, so a cost with side effects sees that
// order.
#pragma once

#include <cfloat>
#include <cmath>

namespace veltrax {

inline constexpr double kMagnification = 1.618034;
inline constexpr double kMagnificationLimit = 100.0;
inline constexpr double kTiny = 1e-20;
inline constexpr double kGoldenFraction = 0.38196601;  // not 1 - kGoldenRatio
inline constexpr double kGoldenRatio = 0.61803399;

// Iteration bounds. A search on a cost that is bounded below and finite stops
// by its own test long before either bound; they only stop walks towards
// infinity and golden searches closing on exactly 0.
inline constexpr int kMaxBracketIterations = 10000;
inline constexpr int kMaxGoldenIterations = 10000;
inline constexpr double kGoldenAbsoluteFloor = DBL_MIN;

// The abscissa of the parabola through (a, fa), (b, fb), (c, fc), the
// denominator kept away from zero: the walk's trial point.
inline double bracket_parabola(double a, double b, double c, double fa, double fb, double fc) {
    const double r = (b - a) * (fb - fc);
    const double q = (b - c) * (fb - fa);
    const double d = q - r;
    double den = std::fabs(d) > kTiny ? std::fabs(d) : kTiny;
    if (!(d >= 0.0)) den = -den;
    return b - ((b - c) * q - (b - a) * r) / (2.0 * den);
}

// Walks downhill from a, b, whose costs fa, fb are given, until
// f(b) <= f(a) and f(b) <= f(c).
template <class Cost>
inline void bracket_from(double* a, double* b, double* c, double* fa, double* fb, double* fc, Cost&& f) {
    if (*fb > *fa) {
        double t = *a; *a = *b; *b = t;
        t = *fa; *fa = *fb; *fb = t;
    }
    *c = (*b - *a) * kMagnification + *b;
    *fc = f(*c);
    for (int iter = 0; *fb > *fc && iter < kMaxBracketIterations; ++iter) {
        double u = bracket_parabola(*a, *b, *c, *fa, *fb, *fc);
        const double ulim = (*c - *b) * kMagnificationLimit + *b;
        double fu;
        if ((*b - u) * (u - *c) > 0.0) {
            fu = f(u);
            if (fu < *fc) {
                *a = *b; *b = u; *fa = *fb; *fb = fu;
                return;
            } else if (fu > *fb) {
                *c = u; *fc = fu;
                return;
            }
            u = (*c - *b) * kMagnification + *c;
            fu = f(u);
        } else if ((*c - u) * (u - ulim) > 0.0) {
            fu = f(u);
            if (fu < *fc) {
                *b = *c; *c = u;
                u = (*c - *b) * kMagnification + *c;
                *fb = *fc; *fc = fu;
                fu = f(u);
            }
        } else if ((u - ulim) * (ulim - *c) >= 0.0) {
            u = ulim;
            fu = f(u);
        } else {
            u = (*c - *b) * kMagnification + *c;
            fu = f(u);
        }
        *a = *b; *b = *c; *c = u;
        *fa = *fb; *fb = *fc; *fc = fu;
    }
}

// The walk from two abscissae: evaluates f(a), then f(b).
template <class Cost>
inline void bracket_minimum(double* a, double* b, double* c, double* fa, double* fb, double* fc, Cost&& f) {
    *fa = f(*a);
    *fb = f(*b);
    bracket_from(a, b, c, fa, fb, fc, f);
}

// Shrinks [x0, x3] with interior points x1, x2 (x1 next to x0; values f1, f2) until the
// relative tolerance is met; returns the better interior point and its value.
template <class Cost>
inline double golden_section_loop(double x0, double x1, double x2, double x3, double f1, double f2, Cost&& f,
                                  double tol, double* xmin) {
    for (int iter = 0; std::fabs(x3 - x0) > tol * (std::fabs(x1) + std::fabs(x2)) &&
                       std::fabs(x3 - x0) > kGoldenAbsoluteFloor && iter < kMaxGoldenIterations;
         ++iter) {
        if (f2 < f1) {
            x0 = x1; x1 = x2;
            x2 = kGoldenRatio * x1 + kGoldenFraction * x3;
            f1 = f2;
            f2 = f(x2);
        } else {
            x3 = x2; x2 = x1;
            x1 = kGoldenRatio * x2 + kGoldenFraction * x0;
            f2 = f1;
            f1 = f(x1);
        }
    }
    if (f1 < f2) {
        *xmin = x1;
        return f1;
    }
    *xmin = x2;
    return f2;
}

// Golden-section search on a bracket a, b, c (b between a and c, f(b) not
// above f(a) and f(c)); writes the abscissa found and returns its cost.
template <class Cost>
inline double golden_section_minimise(double a, double b, double c, Cost&& f, double tol, double* xmin) {
    double x1, x2;
    if (std::fabs(c - b) > std::fabs(b - a)) {
        x1 = b;
        x2 = b + kGoldenFraction * (c - b);
    } else {
        x2 = b;
        x1 = b - kGoldenFraction * (b - a);
    }
    const double f1 = f(x1);
    const double f2 = f(x2);
    return golden_section_loop(a, x1, x2, c, f1, f2, f, tol, xmin);
}

// The same search when f(b) is already known from the bracketing: b is one of
// the two first interior points, so only the other one is evaluated.
template <class Cost>
inline double golden_section_minimise_known(double a, double b, double c, double fb, Cost&& f, double tol,
                                            double* xmin) {
    if (std::fabs(c - b) > std::fabs(b - a)) {
        const double x2 = b + kGoldenFraction * (c - b);
        return golden_section_loop(a, b, x2, c, fb, f(x2), f, tol, xmin);
    }
    const double x1 = b - kGoldenFraction * (b - a);
    return golden_section_loop(a, x1, b, c, f(x1), fb, f, tol, xmin);
}

}  // namespace veltrax
