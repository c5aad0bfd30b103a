// SPDX-License-Identifier: LGPL-2.1-or-later
// Decoding and checking of a gateway call's inputs.
#pragma once

#include <cstddef>
#include <cstdint>

#include "driver/simulation.hpp"

namespace veltrax {

// One input as the host hands it over: column-major doubles and the shape.
struct ArgView {
    const double* data = nullptr;
    std::size_t rows = 0;
    std::size_t cols = 0;
    std::size_t numel() const { return rows * cols; }
};

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

// Everything a call takes, decoded and checked.
struct CallRequest {
    RunConfig config;
    ProcessRequest process;
};

// Limits of the fixed arrays.
constexpr int kMaxAOrder = 6;
constexpr int kMaxBLength = 9;   // dead time + b_order
constexpr int kMaxOrderSum = 10; // a_order + b_order
constexpr int kMaxDenominatorDegree = kMaxStateOrder;

// Checks the inputs (nrhs of them) and the number of requested outputs and
// decodes them; throws veltrax::Error naming the first problem. Reads no
// state, so a rejected call changes nothing.
CallRequest decode_call(int nrhs, const ArgView* args, int nlhs);

}  // namespace veltrax
