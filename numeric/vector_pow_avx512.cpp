// SPDX-License-Identifier: LGPL-2.1-or-later
// The AVX-512 path of the vector power function: array entry points around the
// inline kernel of vector_pow_avx512.hpp. Compiled for the generic target;
// only the functions below carry the AVX-512F/AVX2/FMA target.
#if defined(__x86_64__)

#include "numeric/vector_pow_avx512.hpp"

#include "numeric/vector_pow_entry.hpp"

namespace veltrax::vpow::detail {

__attribute__((target("avx512f,avx2,fma"))) void pow_n_avx512(const double* x, std::size_t n, double y, double* out) {
    std::size_t i = 0;
    // Two independent kernels per round: the out-of-order core overlaps
    // their long dependency chains (and the speed depends less on code layout).
    for (; i + 16 <= n; i += 16) {
        const __m512d a = pow8_avx512(_mm512_loadu_pd(x + i), y);
        const __m512d b = pow8_avx512(_mm512_loadu_pd(x + i + 8), y);
        _mm512_storeu_pd(out + i, a);
        _mm512_storeu_pd(out + i + 8, b);
    }
    for (; i + 8 <= n; i += 8) _mm512_storeu_pd(out + i, pow8_avx512(_mm512_loadu_pd(x + i), y));
    if (i < n) {
        alignas(64) double block[8] = {1.0, 1.0, 1.0, 1.0, 1.0, 1.0, 1.0, 1.0};
        for (std::size_t j = i; j < n; ++j) block[j - i] = x[j];
        _mm512_store_pd(block, pow8_avx512(_mm512_load_pd(block), y));
        for (std::size_t j = i; j < n; ++j) out[j] = block[j - i];
    }
}

__attribute__((target("avx512f,avx2,fma"))) void pow8_avx512_trace(const double* x, double y, double* out,
                                                         PowTrace<8>* trace) {
    _mm512_storeu_pd(out, pow8_avx512_impl<true>(_mm512_loadu_pd(x), y, trace));
}

}  // namespace veltrax::vpow::detail

#endif  // __x86_64__
