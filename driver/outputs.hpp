// SPDX-License-Identifier: LGPL-2.1-or-later
// The five outputs of a call: shapes and the storage the run writes.
#pragma once

#include <cstddef>

#include "driver/simulation.hpp"

namespace veltrax {

constexpr int kOutputCount = 5;

struct OutputShape {
    std::size_t rows, cols;
};

// Column-major, zero-filled storage of outputs 0 .. 4.
struct OutputViews {
    double* time = nullptr;        // N x 1
    double* trajectory = nullptr;  // N x 5
    double* theta = nullptr;       // N x (na + nb)
    double* search = nullptr;      // N x 5
    double* sums = nullptr;        // 3 x 1
};

// `adaptive`: the adaptive controller's call; with another controller the
// estimates and the search record have no columns.
inline void output_shapes(const RunConfig& c, OutputShape shapes[kOutputCount], bool adaptive = true) {
    const std::size_t n = static_cast<std::size_t>(c.sample_count);
    shapes[0] = {n, 1};
    shapes[1] = {n, 5};
    shapes[2] = {n, adaptive ? static_cast<std::size_t>(c.a_order + c.b_order) : 0};
    shapes[3] = {n, adaptive ? std::size_t{5} : 0};
    shapes[4] = {3, 1};
}

}  // namespace veltrax
