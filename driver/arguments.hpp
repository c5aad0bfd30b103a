// SPDX-License-Identifier: LGPL-2.1-or-later
// A call as the core runs it: its settings, decoded and checked by the
// caller, and the limits that the checks hold them to.
#pragma once

#include "driver/simulation.hpp"

namespace veltrax {

// The process a call asks for: a transfer function (coefficients in
// descending powers of s, as given) or the built-in model for a body.
struct ProcessRequest {
    int num_degree = 0;
    int den_degree = -1;  // -1: the built-in model
    double num[kMaxCoefficients] = {};
    double den[kMaxCoefficients] = {};
    double body_mass = 0.0;
    double cardiac_output = 0.0;
};

// Everything a call takes, checked.
struct CallRequest {
    RunConfig config;
    ProcessRequest process;
};

// Limits of the fixed arrays.
constexpr int kMaxAOrder = 6;
constexpr int kMaxBLength = 9;   // dead time + b_order
constexpr int kMaxOrderSum = 10; // a_order + b_order
constexpr int kMaxDenominatorDegree = kMaxStateOrder;

}  // namespace veltrax
