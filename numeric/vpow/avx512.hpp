// SPDX-License-Identifier: LGPL-2.1-or-later
// AVX-512F (with AVX2 and FMA): eight lanes of doubles. The traits type Isa
// and, compiled for these instructions, the power kernel
// (numeric/vpow/kernel-inl.hpp) as veltrax::vpow::avx512::pow_kernel and
// pow_array.
//
// Call them only where vpow::pow_path_usable(PowPath::Avx512) is true
// (numeric/vpow/pow.hpp), from code with the same target (VELTRAX_AVX512, or
// a region of numeric/vpow/target.hpp).
#pragma once

#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "numeric/vpow/pow.hpp"
#include "numeric/vpow/steps.hpp"
#include "numeric/vpow/tables.hpp"
#include "numeric/vpow/target.hpp"

VELTRAX_BEGIN_AVX512
namespace veltrax::vpow::avx512 {

struct Isa {
    using Vec = __m512d;
    using Ints = __m512i;  // 64-bit integers
    using Mask = __mmask8;  // bit i: lane i
    static constexpr int kLanes = 8;
    static constexpr unsigned kAllLanes = 0xff;

    VELTRAX_OP Vec set1(double v) { return _mm512_set1_pd(v); }
    VELTRAX_OP Ints set1_bits(std::int64_t v) { return _mm512_set1_epi64(v); }
    VELTRAX_OP Vec zero() { return _mm512_setzero_pd(); }
    VELTRAX_OP Vec load(const double* p) { return _mm512_load_pd(p); }
    VELTRAX_OP Vec loadu(const double* p) { return _mm512_loadu_pd(p); }
    VELTRAX_OP void store(double* p, Vec v) { _mm512_store_pd(p, v); }
    VELTRAX_OP void storeu(double* p, Vec v) { _mm512_storeu_pd(p, v); }
    VELTRAX_OP void store_bits(std::int64_t* p, Ints v) { _mm512_store_si512(p, v); }

    VELTRAX_OP Ints as_bits(Vec v) { return _mm512_castpd_si512(v); }
    VELTRAX_OP Vec as_double(Ints v) { return _mm512_castsi512_pd(v); }
    VELTRAX_OP Ints add_bits(Ints a, Ints b) { return _mm512_add_epi64(a, b); }
    VELTRAX_OP Ints sub_bits(Ints a, Ints b) { return _mm512_sub_epi64(a, b); }
    VELTRAX_OP Ints and_bits(Ints a, Ints b) { return _mm512_and_epi64(a, b); }
    VELTRAX_OP Ints xor_bits(Ints a, Ints b) { return _mm512_xor_epi64(a, b); }
    template <int N>
    VELTRAX_OP Ints shift_right(Ints a) { return _mm512_srli_epi64(a, N); }
    template <int N>
    VELTRAX_OP Ints shift_left(Ints a) { return _mm512_slli_epi64(a, N); }

    VELTRAX_OP Vec add(Vec a, Vec b) { return _mm512_add_pd(a, b); }
    VELTRAX_OP Vec sub(Vec a, Vec b) { return _mm512_sub_pd(a, b); }
    VELTRAX_OP Vec mul(Vec a, Vec b) { return _mm512_mul_pd(a, b); }
    VELTRAX_OP Vec div(Vec a, Vec b) { return _mm512_div_pd(a, b); }
    VELTRAX_OP Vec fmadd(Vec a, Vec b, Vec c) { return _mm512_fmadd_pd(a, b, c); }  // a b + c, one rounding
    VELTRAX_OP Vec fmsub(Vec a, Vec b, Vec c) { return _mm512_fmsub_pd(a, b, c); }  // a b - c, one rounding
    VELTRAX_OP Vec abs(Vec a) {
        return _mm512_castsi512_pd(_mm512_and_epi64(_mm512_castpd_si512(a), _mm512_set1_epi64(0x7fffffffffffffffLL)));
    }

    // Comparisons with a _CMP_ predicate.
    template <int Predicate>
    VELTRAX_OP Mask compare(Vec a, Vec b) { return _mm512_cmp_pd_mask(a, b, Predicate); }
    // The lanes of m where the comparison holds.
    template <int Predicate>
    VELTRAX_OP Mask compare_in(Mask m, Vec a, Vec b) { return _mm512_mask_cmp_pd_mask(m, a, b, Predicate); }
    VELTRAX_OP Mask both(Mask a, Mask b) { return static_cast<Mask>(a & b); }
    VELTRAX_OP Mask first_not_second(Mask a, Mask b) { return static_cast<Mask>(a & ~b); }
    VELTRAX_OP unsigned lanes_of(Mask m) { return m; }
    VELTRAX_OP unsigned lanes_not_of(Mask m) { return static_cast<Mask>(~m); }
    VELTRAX_OP Mask mask_of(unsigned lanes) { return static_cast<Mask>(lanes); }
    // b in the lanes of m, a in the others.
    VELTRAX_OP Vec blend(Mask m, Vec a, Vec b) { return _mm512_mask_blend_pd(m, a, b); }
    // a / b in the lanes of m, 0 in the others.
    VELTRAX_OP Vec div_or_zero(Mask m, Vec a, Vec b) { return _mm512_maskz_div_pd(m, a, b); }
    // a + b in the lanes of m, a in the others.
    VELTRAX_OP Vec add_where(Mask m, Vec a, Vec b) { return _mm512_mask_add_pd(a, m, a, b); }
    VELTRAX_OP void store_lanes(double* p, Mask m, Vec v) { _mm512_mask_store_pd(p, m, v); }
    // Writes the lanes of m of v to p[0], p[1], ... (and anything to the rest
    // of p[0 .. kLanes - 1]); returns their number.
    VELTRAX_OP int pack(double* p, Mask m, Vec v) {
        _mm512_storeu_pd(p, _mm512_maskz_compress_pd(m, v));
        return __builtin_popcount(m);
    }
    // The inverse: p[0], p[1], ... into the lanes of m, 0 in the others.
    VELTRAX_OP Vec unpack(Mask m, const double* p) { return _mm512_maskz_expand_pd(m, _mm512_loadu_pd(p)); }

    // base[index] of each lane (index in doubles).
    VELTRAX_OP Vec gather(const double* base, Ints index) { return _mm512_i64gather_pd(index, base, 8); }
    VELTRAX_OP Ints gather_bits(const std::uint64_t* base, Ints index) {
        return _mm512_i64gather_epi64(index, reinterpret_cast<const long long*>(base), 8);
    }

    // The same values with one load per lane: entry i of the log table (4
    // doubles at tab + 4 i: invc, pad, logc, logctail) ...
    VELTRAX_OP void load_log_entries(const double* tab, Ints i, Vec& invc, Vec& logc, Vec& logctail) {
        alignas(64) std::int64_t at[kLanes];
        store_bits(at, i);
        auto rows = [tab, &at](int a, int b) {  // entries of lanes a and b in one vector
            return _mm512_insertf64x4(_mm512_castpd256_pd512(_mm256_load_pd(tab + 4 * at[a])),
                                      _mm256_load_pd(tab + 4 * at[b]), 1);
        };
        const Vec r02 = rows(0, 2), r13 = rows(1, 3), r46 = rows(4, 6), r57 = rows(5, 7);
        // In 128-bit blocks: lo0123 = [invc0 invc1 | logc0 logc1 | invc2 invc3 | logc2 logc3].
        const Vec lo0123 = _mm512_unpacklo_pd(r02, r13), hi0123 = _mm512_unpackhi_pd(r02, r13);
        const Vec lo4567 = _mm512_unpacklo_pd(r46, r57), hi4567 = _mm512_unpackhi_pd(r46, r57);
        invc = _mm512_shuffle_f64x2(lo0123, lo4567, 0x88);  // blocks 0 and 2 of each
        logc = _mm512_shuffle_f64x2(lo0123, lo4567, 0xdd);  // blocks 1 and 3 of each
        logctail = _mm512_shuffle_f64x2(hi0123, hi4567, 0xdd);
    }
    // ... and the pair at tab + index of the exponential table (tail, scale).
    VELTRAX_OP void load_exp_entries(const std::uint64_t* tab, Ints index, Vec& tail, Ints& scale) {
        alignas(64) std::int64_t at[kLanes];
        store_bits(at, index);
        auto pairs = [tab, &at](int a, int b) {  // the pairs of lanes a and b in one 256-bit vector
            const __m128d pa = _mm_load_pd(reinterpret_cast<const double*>(tab + at[a]));
            const __m128d pb = _mm_load_pd(reinterpret_cast<const double*>(tab + at[b]));
            return _mm256_insertf128_pd(_mm256_castpd128_pd256(pa), pb, 1);
        };
        const Vec even = _mm512_insertf64x4(_mm512_castpd256_pd512(pairs(0, 2)), pairs(4, 6), 1);
        const Vec odd = _mm512_insertf64x4(_mm512_castpd256_pd512(pairs(1, 3)), pairs(5, 7), 1);
        tail = _mm512_unpacklo_pd(even, odd);
        scale = _mm512_castpd_si512(_mm512_unpackhi_pd(even, odd));
    }
};

#include "numeric/vpow/kernel-inl.hpp"

}  // namespace veltrax::vpow::avx512
VELTRAX_END_TARGET
