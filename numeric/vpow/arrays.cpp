// SPDX-License-Identifier: LGPL-2.1-or-later
// The array entry points of the vector paths: pow_array of each instruction
// set, behind a function compiled for it.
#if defined(__x86_64__)

#include <cmath>

#include "numeric/vpow/avx2.hpp"
#include "numeric/vpow/avx512.hpp"
#include "numeric/vpow/internal.hpp"

namespace veltrax::vpow::detail {

__attribute__((noinline, cold)) void pow_fallback_lanes(const double* x, double y, double* out, unsigned mask) {
    for (int lane = 0; mask != 0; ++lane, mask >>= 1)
        if (mask & 1u) out[lane] = std::pow(x[lane], y);
}

VELTRAX_AVX2 void pow_n_avx2(TableAccess access, const double* x, std::size_t n, double y, double* out) {
    if (access == TableAccess::Loads)
        avx2::pow_array<TableAccess::Loads>(x, n, y, out);
    else
        avx2::pow_array<TableAccess::Gathers>(x, n, y, out);
}

VELTRAX_AVX512 void pow_n_avx512(TableAccess access, const double* x, std::size_t n, double y, double* out) {
    if (access == TableAccess::Loads)
        avx512::pow_array<TableAccess::Loads>(x, n, y, out);
    else
        avx512::pow_array<TableAccess::Gathers>(x, n, y, out);
}

}  // namespace veltrax::vpow::detail

#endif  // __x86_64__
