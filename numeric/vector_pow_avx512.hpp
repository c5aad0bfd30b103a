// SPDX-License-Identifier: LGPL-2.1-or-later
// The AVX-512 kernel of the vector power function: eight values of x, one
// exponent y, the exact bits of this machine's std::pow(x, y) in every lane.
//
// Call it only where veltrax::vpow::pow_path_usable(PowPath::Avx512) is true
// (numeric/vector_pow.hpp), from a function compiled for AVX-512F, AVX2 and
// FMA: __attribute__((target("avx512f,avx2,fma"))) or -mavx512f -mavx2 -mfma
// (keep -ffp-contract=off). It repeats the operations of the AVX2 kernel
// (numeric/vector_pow_avx2.hpp, which explains how the bits are kept) on
// 512-bit vectors; only the lane masks and gathers differ.
#pragma once

#include <immintrin.h>

#include "numeric/vector_pow_avx2.hpp"

// gcc 12 reports the undefined pass-through operands of the AVX-512 shift and
// gather intrinsics as "may be used uninitialized" (a false positive).
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

namespace veltrax::vpow {

namespace detail {

template <bool Trace>
__attribute__((target("avx512f,avx2,fma"), always_inline)) inline void record8(PowTrace<8>* trace, int step, __m512d v) {
    if constexpr (Trace) _mm512_storeu_pd(trace->v[step], v);
}

template <bool Trace>
__attribute__((target("avx512f,avx2,fma"), always_inline)) inline __m512d pow8_avx512_impl(__m512d x, double y,
                                                                                  PowTrace<8>* trace) {
    const PowLogData& L = kPowLogData;
    const ExpData& E = kExpData;
    if (pow_exponent_is_special(y)) {
        alignas(64) double xs[8], out[8];
        _mm512_store_pd(xs, x);
        pow_fallback_lanes(xs, y, out, 0xff);
        return _mm512_load_pd(out);
    }
    const __m512d vy = _mm512_set1_pd(y);

    // x must be a positive normal finite number (top12(x) - 1 < 0x7fe).
    const __mmask8 x_ok = _mm512_cmp_pd_mask(x, _mm512_set1_pd(0x1p-1022), _CMP_GE_OQ) &
                          _mm512_cmp_pd_mask(x, _mm512_set1_pd(0x1.fffffffffffffp1023), _CMP_LE_OQ);

    // log_inline: x = 2^k z, z in [OFF, 2 OFF), subinterval i.
    const __m512i ix = _mm512_castpd_si512(x);
    const __m512i tmp = _mm512_sub_epi64(ix, _mm512_set1_epi64(static_cast<long long>(kLogOff)));
    const __m512i i = _mm512_and_epi64(_mm512_srli_epi64(tmp, 52 - kPowLogTableBits), _mm512_set1_epi64(0x7f));
    // k = tmp >> 52 (arithmetic): the top 12 bits u of tmp give k = u for u < 2048 and
    // u - 4096 otherwise; (u ^ 0x800) + 2^52 as a double minus 2^52 + 2048 is k exactly.
    const __m512i kbits = _mm512_xor_epi64(_mm512_srli_epi64(tmp, 52), _mm512_set1_epi64(0x4330000000000800LL));
    const __m512d kd = _mm512_sub_pd(_mm512_castsi512_pd(kbits), _mm512_castsi512_pd(_mm512_set1_epi64(0x4330000000000800LL)));
    const __m512i iz = _mm512_sub_epi64(ix, _mm512_and_epi64(tmp, _mm512_set1_epi64(static_cast<long long>(0xfffULL << 52))));
    const __m512d z = _mm512_castsi512_pd(iz);
    const __m512i ti = _mm512_slli_epi64(i, 2);  // tab[i] is 4 doubles
    const double* tab = &L.tab[0].invc;
    const __m512d invc = _mm512_i64gather_pd(ti, tab, 8);
    const __m512d logc = _mm512_i64gather_pd(ti, tab + 2, 8);
    const __m512d logctail = _mm512_i64gather_pd(ti, tab + 3, 8);
    record8<Trace>(trace, kLogKd, kd);

    const __m512d t1 = _mm512_fmadd_pd(kd, _mm512_set1_pd(L.ln2hi), logc);
    record8<Trace>(trace, kLogT1, t1);
    const __m512d lo1 = _mm512_fmadd_pd(kd, _mm512_set1_pd(L.ln2lo), logctail);
    record8<Trace>(trace, kLogLo1, lo1);
    const __m512d r = _mm512_fmadd_pd(z, invc, _mm512_set1_pd(-1.0));
    record8<Trace>(trace, kLogR, r);
    const __m512d ar = _mm512_mul_pd(r, _mm512_set1_pd(L.poly[0]));
    record8<Trace>(trace, kLogAr, ar);
    const __m512d a12 = _mm512_fmadd_pd(r, _mm512_set1_pd(L.poly[2]), _mm512_set1_pd(L.poly[1]));
    record8<Trace>(trace, kLogA12, a12);
    const __m512d a34 = _mm512_fmadd_pd(r, _mm512_set1_pd(L.poly[4]), _mm512_set1_pd(L.poly[3]));
    record8<Trace>(trace, kLogA34, a34);
    const __m512d t2 = _mm512_add_pd(r, t1);
    record8<Trace>(trace, kLogT2, t2);
    const __m512d ar2 = _mm512_mul_pd(r, ar);
    record8<Trace>(trace, kLogAr2, ar2);
    const __m512d d12 = _mm512_sub_pd(t1, t2);
    record8<Trace>(trace, kLogT1MinusT2, d12);
    const __m512d ar3 = _mm512_mul_pd(r, ar2);
    record8<Trace>(trace, kLogAr3, ar3);
    const __m512d lo3 = _mm512_fmsub_pd(ar, r, ar2);
    record8<Trace>(trace, kLogLo3, lo3);
    const __m512d lo2 = _mm512_add_pd(d12, r);
    record8<Trace>(trace, kLogLo2, lo2);
    const __m512d a56 = _mm512_fmadd_pd(r, _mm512_set1_pd(L.poly[6]), _mm512_set1_pd(L.poly[5]));
    record8<Trace>(trace, kLogA56, a56);
    const __m512d hi = _mm512_add_pd(t2, ar2);
    record8<Trace>(trace, kLogHi, hi);
    const __m512d d2h = _mm512_sub_pd(t2, hi);
    record8<Trace>(trace, kLogT2MinusHi, d2h);
    const __m512d q1 = _mm512_fmadd_pd(a56, ar2, a34);
    record8<Trace>(trace, kLogQ1, q1);
    const __m512d lo4 = _mm512_add_pd(d2h, ar2);
    record8<Trace>(trace, kLogLo4, lo4);
    const __m512d q2 = _mm512_fmadd_pd(ar2, q1, a12);
    record8<Trace>(trace, kLogQ2, q2);
    const __m512d s1 = _mm512_add_pd(lo1, lo2);
    record8<Trace>(trace, kLogS1, s1);
    const __m512d s2 = _mm512_add_pd(s1, lo3);
    record8<Trace>(trace, kLogS2, s2);
    const __m512d s3 = _mm512_add_pd(s2, lo4);
    record8<Trace>(trace, kLogS3, s3);
    const __m512d lo = _mm512_fmadd_pd(ar3, q2, s3);
    record8<Trace>(trace, kLogLo, lo);
    const __m512d ly = _mm512_add_pd(hi, lo);
    record8<Trace>(trace, kLogY, ly);
    const __m512d dhy = _mm512_sub_pd(hi, ly);
    record8<Trace>(trace, kLogHiMinusY, dhy);
    const __m512d ltail = _mm512_add_pd(dhy, lo);
    record8<Trace>(trace, kLogTail, ltail);

    // y log x as ehi + elo.
    const __m512d ehi = _mm512_mul_pd(vy, ly);
    record8<Trace>(trace, kMulEhi, ehi);
    const __m512d err = _mm512_fmsub_pd(ly, vy, ehi);
    record8<Trace>(trace, kMulErr, err);
    const __m512d elo = _mm512_fmadd_pd(vy, ltail, err);
    record8<Trace>(trace, kMulElo, elo);

    // exp_inline(ehi, elo, 0): 2^(k/N) exp(r).
    const __m512d abs_ehi = _mm512_abs_pd(ehi);
    const __mmask8 exp_ok = _mm512_cmp_pd_mask(abs_ehi, _mm512_set1_pd(512.0), _CMP_LT_OQ);     // else specialcase/overflow
    const __mmask8 exp_tiny = _mm512_cmp_pd_mask(abs_ehi, _mm512_set1_pd(0x1p-54), _CMP_LT_OQ);  // result 1 + ehi
    const __m512d shift = _mm512_set1_pd(E.shift);
    const __m512d kds = _mm512_fmadd_pd(ehi, _mm512_set1_pd(E.invln2N), shift);
    record8<Trace>(trace, kExpKdShift, kds);
    const __m512i ki = _mm512_castpd_si512(kds);
    const __m512d ekd = _mm512_sub_pd(kds, shift);
    record8<Trace>(trace, kExpKd, ekd);
    const __m512d rhi = _mm512_fmadd_pd(ekd, _mm512_set1_pd(E.negln2hiN), ehi);
    record8<Trace>(trace, kExpRHi, rhi);
    const __m512d rlo = _mm512_fmadd_pd(ekd, _mm512_set1_pd(E.negln2loN), rhi);
    record8<Trace>(trace, kExpRLo, rlo);
    const __m512i idx = _mm512_slli_epi64(_mm512_and_epi64(ki, _mm512_set1_epi64(kExpTableSize - 1)), 1);
    const __m512i top = _mm512_slli_epi64(ki, 52 - kExpTableBits);
    const __m512d tail = _mm512_castsi512_pd(
        _mm512_i64gather_epi64(idx, reinterpret_cast<const long long*>(E.tab), 8));
    const __m512i sbits = _mm512_add_epi64(
        _mm512_i64gather_epi64(idx, reinterpret_cast<const long long*>(E.tab + 1), 8), top);
    const __m512d er = _mm512_add_pd(elo, rlo);
    record8<Trace>(trace, kExpR, er);
    const __m512d c23 = _mm512_fmadd_pd(er, _mm512_set1_pd(E.poly[1]), _mm512_set1_pd(E.poly[0]));
    record8<Trace>(trace, kExpC23, c23);
    const __m512d tr = _mm512_add_pd(er, tail);
    record8<Trace>(trace, kExpTailR, tr);
    const __m512d r2 = _mm512_mul_pd(er, er);
    record8<Trace>(trace, kExpR2, r2);
    const __m512d c45 = _mm512_fmadd_pd(er, _mm512_set1_pd(E.poly[3]), _mm512_set1_pd(E.poly[2]));
    record8<Trace>(trace, kExpC45, c45);
    const __m512d p = _mm512_fmadd_pd(c23, r2, tr);
    record8<Trace>(trace, kExpP, p);
    const __m512d r4 = _mm512_mul_pd(r2, r2);
    record8<Trace>(trace, kExpR4, r4);
    const __m512d etmp = _mm512_fmadd_pd(c45, r4, p);
    record8<Trace>(trace, kExpTmp, etmp);
    const __m512d scale = _mm512_castsi512_pd(sbits);
    record8<Trace>(trace, kExpScale, scale);
    __m512d result = _mm512_fmadd_pd(etmp, scale, scale);
    result = _mm512_mask_blend_pd(exp_tiny, result, _mm512_add_pd(ehi, _mm512_set1_pd(1.0)));
    record8<Trace>(trace, kResult, result);

    const unsigned bad = static_cast<unsigned>(static_cast<__mmask8>(~(x_ok & exp_ok)));
    if (__builtin_expect(bad != 0, 0)) {
        alignas(64) double xs[8], out[8];
        _mm512_store_pd(xs, x);
        _mm512_store_pd(out, result);
        pow_fallback_lanes(xs, y, out, bad);
        result = _mm512_load_pd(out);
    }
    return result;
}

}  // namespace detail

// pow(x[i], y) for the eight lanes of x, bit for bit std::pow.
__attribute__((target("avx512f,avx2,fma"), always_inline)) inline __m512d pow8_avx512(__m512d x, double y) {
    return detail::pow8_avx512_impl<false>(x, y, nullptr);
}

}  // namespace veltrax::vpow

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
