// SPDX-License-Identifier: LGPL-2.1-or-later
// Internal: the array entry points of the vector power function's paths
// (vector_pow_avx2.cpp, vector_pow_avx512.cpp). Each needs the CPU features
// of its path; numeric/vector_pow.hpp dispatches to them.
#pragma once

#include <cstddef>
#include <vector>

#include "numeric/vector_pow.hpp"
#include "numeric/vector_pow_trace.hpp"

namespace veltrax::vpow::detail {

void pow_n_avx2(const double* x, std::size_t n, double y, double* out);
void pow_n_avx512(const double* x, std::size_t n, double y, double* out);

// One kernel call that also records every intermediate value (tests).
void pow4_avx2_trace(const double* x, double y, double* out, PowTrace<4>* trace);
void pow8_avx512_trace(const double* x, double y, double* out, PowTrace<8>* trace);

// The inputs of the self-check at selection: groups of x values with one
// exponent each.
struct PowCheckGroup {
    double y;
    std::vector<double> x;
};
std::vector<PowCheckGroup> self_check_groups();

// Whether pow_n_on(path) gives the bits of std::pow on every self-check input.
bool self_check(PowPath path);

}  // namespace veltrax::vpow::detail
