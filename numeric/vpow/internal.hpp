// SPDX-License-Identifier: LGPL-2.1-or-later
// Internal: the array entry points of the vector paths (arrays.cpp), each
// needing its path's CPU features, and the self-check (self_check.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "numeric/vpow/pow.hpp"

namespace veltrax::vpow::detail {

void pow_n_avx2(TableAccess access, const double* x, std::size_t n, double y, double* out);
void pow_n_avx512(TableAccess access, const double* x, std::size_t n, double y, double* out);

// Whether the C library is one of the verified versions (select.cpp).
bool pow_library_verified();

// The inputs of the self-check at selection: groups of x values with one
// exponent each.
struct PowCheckGroup {
    double y;
    std::vector<double> x;
};
std::vector<PowCheckGroup> self_check_groups();

// Whether pow_n_on(path) with either table access, or f, gives the bits of
// std::pow on every self-check input.
bool self_check(PowPath path);
bool self_check(PowFunction f);

// The same check in two halves, for selection: a hash of the inputs (which
// names what is checked), and a hash of the outputs of a path with a table
// access, or of a function, on them in order; equal outputs give equal hashes.
std::uint64_t self_check_inputs_hash(const std::vector<PowCheckGroup>& groups);
std::uint64_t self_check_outputs_hash(const std::vector<PowCheckGroup>& groups, PowPath path, TableAccess access);
std::uint64_t self_check_outputs_hash(const std::vector<PowCheckGroup>& groups, PowFunction f);

}  // namespace veltrax::vpow::detail
