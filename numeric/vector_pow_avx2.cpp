// SPDX-License-Identifier: LGPL-2.1-or-later
// The AVX2 path of the vector power function: array entry points around the
// inline kernel of vector_pow_avx2.hpp. Compiled for the generic target;
// only the functions below carry the AVX2/FMA target.
#if defined(__x86_64__)

#include "numeric/vector_pow_avx2.hpp"

#include "numeric/vector_pow_entry.hpp"

namespace veltrax::vpow::detail {

__attribute__((target("avx2,fma"))) void pow_n_avx2(const double* x, std::size_t n, double y, double* out) {
    std::size_t i = 0;
    // Two independent kernels per round: the out-of-order core overlaps
    // their long dependency chains (and the speed depends less on code layout).
    for (; i + 8 <= n; i += 8) {
        const __m256d a = pow4_avx2(_mm256_loadu_pd(x + i), y);
        const __m256d b = pow4_avx2(_mm256_loadu_pd(x + i + 4), y);
        _mm256_storeu_pd(out + i, a);
        _mm256_storeu_pd(out + i + 4, b);
    }
    for (; i + 4 <= n; i += 4) _mm256_storeu_pd(out + i, pow4_avx2(_mm256_loadu_pd(x + i), y));
    if (i < n) {
        alignas(32) double block[4] = {1.0, 1.0, 1.0, 1.0};
        for (std::size_t j = i; j < n; ++j) block[j - i] = x[j];
        _mm256_store_pd(block, pow4_avx2(_mm256_load_pd(block), y));
        for (std::size_t j = i; j < n; ++j) out[j] = block[j - i];
    }
}

__attribute__((target("avx2,fma"))) void pow4_avx2_trace(const double* x, double y, double* out,
                                                         PowTrace<4>* trace) {
    _mm256_storeu_pd(out, pow4_avx2_impl<true>(_mm256_loadu_pd(x), y, trace));
}

}  // namespace veltrax::vpow::detail

#endif  // __x86_64__
