// SPDX-License-Identifier: LGPL-2.1-or-later
// The AVX2 kernel of the vector power function: four values of x, one
// exponent y, the exact bits of this machine's std::pow(x, y) in every lane.
//
// Call it only where veltrax::vpow::pow_path_usable(PowPath::Avx2) is true
// (numeric/vector_pow.hpp), from a function compiled for AVX2 and FMA: either
// a function with __attribute__((target("avx2,fma"))) or one in a source file
// compiled with -mavx2 -mfma (keep -ffp-contract=off). The kernel itself
// carries the target attribute, so including this header anywhere is safe;
// it is inlined into such callers only.
//
// How the bits are kept: the fast path of glibc 2.36's pow (e_pow.c) is
// repeated operation by operation as its FMA variant (__ieee754_pow_fma, the
// one the library selects on CPUs with FMA and AVX2) is compiled in Debian
// 12's libm: every multiply-add that machine code fuses is an explicit
// _mm256_fmadd_pd here (3 written in the source, 17 fused by the compiler),
// every other operation is a separate multiply, add or subtract, and the
// tables are the library's (vector_pow_data.cpp). Lanes the library sends
// down another path (x not a positive normal finite number; |y| < 2^-65,
// |y| >= 2^63 or not finite; |y log x| >= 512, where the result may overflow
// or underflow) are computed by std::pow, lane by lane. The library's other
// exit, 1 + y log x for |y log x| < 2^-54, is repeated in the vector.
#pragma once

#include <immintrin.h>

#include <cstdint>
#include <cstring>

#include "numeric/vector_pow_data.hpp"
#include "numeric/vector_pow_trace.hpp"

namespace veltrax::vpow {

namespace detail {

// std::pow for the lanes of `mask` (bit i: lane i); out holds the vector
// results of the other lanes. Defined in vector_pow.cpp.
void pow_fallback_lanes(const double* x, double y, double* out, unsigned mask);

// True when y sends every x down the library's special path.
inline bool pow_exponent_is_special(double y) {
    std::uint64_t iy;
    std::memcpy(&iy, &y, sizeof iy);
    const std::uint32_t topy = static_cast<std::uint32_t>(iy >> 52);
    return (topy & 0x7ff) - 0x3be >= 0x43e - 0x3be;
}

template <bool Trace>
__attribute__((target("avx2,fma"), always_inline)) inline void record4(PowTrace<4>* trace, int step, __m256d v) {
    if constexpr (Trace) _mm256_storeu_pd(trace->v[step], v);
}

template <bool Trace>
__attribute__((target("avx2,fma"), always_inline)) inline __m256d pow4_avx2_impl(__m256d x, double y,
                                                                                  PowTrace<4>* trace) {
    const PowLogData& L = kPowLogData;
    const ExpData& E = kExpData;
    if (pow_exponent_is_special(y)) {
        alignas(32) double xs[4], out[4];
        _mm256_store_pd(xs, x);
        pow_fallback_lanes(xs, y, out, 0xf);
        return _mm256_load_pd(out);
    }
    const __m256d vy = _mm256_set1_pd(y);

    // x must be a positive normal finite number (top12(x) - 1 < 0x7fe).
    const __m256d x_ok = _mm256_and_pd(_mm256_cmp_pd(x, _mm256_set1_pd(0x1p-1022), _CMP_GE_OQ),
                                       _mm256_cmp_pd(x, _mm256_set1_pd(0x1.fffffffffffffp1023), _CMP_LE_OQ));

    // log_inline: x = 2^k z, z in [OFF, 2 OFF), subinterval i.
    const __m256i ix = _mm256_castpd_si256(x);
    const __m256i tmp = _mm256_sub_epi64(ix, _mm256_set1_epi64x(static_cast<long long>(kLogOff)));
    const __m256i i = _mm256_and_si256(_mm256_srli_epi64(tmp, 52 - kPowLogTableBits), _mm256_set1_epi64x(0x7f));
    // k = tmp >> 52 (arithmetic): the top 12 bits u of tmp give k = u for u < 2048 and
    // u - 4096 otherwise; (u ^ 0x800) + 2^52 as a double minus 2^52 + 2048 is k exactly.
    const __m256i kbits = _mm256_xor_si256(_mm256_srli_epi64(tmp, 52), _mm256_set1_epi64x(0x4330000000000800LL));
    const __m256d kd = _mm256_sub_pd(_mm256_castsi256_pd(kbits), _mm256_castsi256_pd(_mm256_set1_epi64x(0x4330000000000800LL)));
    const __m256i iz = _mm256_sub_epi64(ix, _mm256_and_si256(tmp, _mm256_set1_epi64x(static_cast<long long>(0xfffULL << 52))));
    const __m256d z = _mm256_castsi256_pd(iz);
    const __m256i ti = _mm256_slli_epi64(i, 2);  // tab[i] is 4 doubles
    const double* tab = &L.tab[0].invc;
    const __m256d invc = _mm256_i64gather_pd(tab, ti, 8);
    const __m256d logc = _mm256_i64gather_pd(tab + 2, ti, 8);
    const __m256d logctail = _mm256_i64gather_pd(tab + 3, ti, 8);
    record4<Trace>(trace, kLogKd, kd);

    const __m256d t1 = _mm256_fmadd_pd(kd, _mm256_set1_pd(L.ln2hi), logc);
    record4<Trace>(trace, kLogT1, t1);
    const __m256d lo1 = _mm256_fmadd_pd(kd, _mm256_set1_pd(L.ln2lo), logctail);
    record4<Trace>(trace, kLogLo1, lo1);
    const __m256d r = _mm256_fmadd_pd(z, invc, _mm256_set1_pd(-1.0));
    record4<Trace>(trace, kLogR, r);
    const __m256d ar = _mm256_mul_pd(r, _mm256_set1_pd(L.poly[0]));
    record4<Trace>(trace, kLogAr, ar);
    const __m256d a12 = _mm256_fmadd_pd(r, _mm256_set1_pd(L.poly[2]), _mm256_set1_pd(L.poly[1]));
    record4<Trace>(trace, kLogA12, a12);
    const __m256d a34 = _mm256_fmadd_pd(r, _mm256_set1_pd(L.poly[4]), _mm256_set1_pd(L.poly[3]));
    record4<Trace>(trace, kLogA34, a34);
    const __m256d t2 = _mm256_add_pd(r, t1);
    record4<Trace>(trace, kLogT2, t2);
    const __m256d ar2 = _mm256_mul_pd(r, ar);
    record4<Trace>(trace, kLogAr2, ar2);
    const __m256d d12 = _mm256_sub_pd(t1, t2);
    record4<Trace>(trace, kLogT1MinusT2, d12);
    const __m256d ar3 = _mm256_mul_pd(r, ar2);
    record4<Trace>(trace, kLogAr3, ar3);
    const __m256d lo3 = _mm256_fmsub_pd(ar, r, ar2);
    record4<Trace>(trace, kLogLo3, lo3);
    const __m256d lo2 = _mm256_add_pd(d12, r);
    record4<Trace>(trace, kLogLo2, lo2);
    const __m256d a56 = _mm256_fmadd_pd(r, _mm256_set1_pd(L.poly[6]), _mm256_set1_pd(L.poly[5]));
    record4<Trace>(trace, kLogA56, a56);
    const __m256d hi = _mm256_add_pd(t2, ar2);
    record4<Trace>(trace, kLogHi, hi);
    const __m256d d2h = _mm256_sub_pd(t2, hi);
    record4<Trace>(trace, kLogT2MinusHi, d2h);
    const __m256d q1 = _mm256_fmadd_pd(a56, ar2, a34);
    record4<Trace>(trace, kLogQ1, q1);
    const __m256d lo4 = _mm256_add_pd(d2h, ar2);
    record4<Trace>(trace, kLogLo4, lo4);
    const __m256d q2 = _mm256_fmadd_pd(ar2, q1, a12);
    record4<Trace>(trace, kLogQ2, q2);
    const __m256d s1 = _mm256_add_pd(lo1, lo2);
    record4<Trace>(trace, kLogS1, s1);
    const __m256d s2 = _mm256_add_pd(s1, lo3);
    record4<Trace>(trace, kLogS2, s2);
    const __m256d s3 = _mm256_add_pd(s2, lo4);
    record4<Trace>(trace, kLogS3, s3);
    const __m256d lo = _mm256_fmadd_pd(ar3, q2, s3);
    record4<Trace>(trace, kLogLo, lo);
    const __m256d ly = _mm256_add_pd(hi, lo);
    record4<Trace>(trace, kLogY, ly);
    const __m256d dhy = _mm256_sub_pd(hi, ly);
    record4<Trace>(trace, kLogHiMinusY, dhy);
    const __m256d ltail = _mm256_add_pd(dhy, lo);
    record4<Trace>(trace, kLogTail, ltail);

    // y log x as ehi + elo.
    const __m256d ehi = _mm256_mul_pd(vy, ly);
    record4<Trace>(trace, kMulEhi, ehi);
    const __m256d err = _mm256_fmsub_pd(ly, vy, ehi);
    record4<Trace>(trace, kMulErr, err);
    const __m256d elo = _mm256_fmadd_pd(vy, ltail, err);
    record4<Trace>(trace, kMulElo, elo);

    // exp_inline(ehi, elo, 0): 2^(k/N) exp(r).
    const __m256d abs_ehi = _mm256_and_pd(ehi, _mm256_castsi256_pd(_mm256_set1_epi64x(0x7fffffffffffffffLL)));
    const __m256d exp_ok = _mm256_cmp_pd(abs_ehi, _mm256_set1_pd(512.0), _CMP_LT_OQ);     // else specialcase/overflow
    const __m256d exp_tiny = _mm256_cmp_pd(abs_ehi, _mm256_set1_pd(0x1p-54), _CMP_LT_OQ);  // result 1 + ehi
    const __m256d shift = _mm256_set1_pd(E.shift);
    const __m256d kds = _mm256_fmadd_pd(ehi, _mm256_set1_pd(E.invln2N), shift);
    record4<Trace>(trace, kExpKdShift, kds);
    const __m256i ki = _mm256_castpd_si256(kds);
    const __m256d ekd = _mm256_sub_pd(kds, shift);
    record4<Trace>(trace, kExpKd, ekd);
    const __m256d rhi = _mm256_fmadd_pd(ekd, _mm256_set1_pd(E.negln2hiN), ehi);
    record4<Trace>(trace, kExpRHi, rhi);
    const __m256d rlo = _mm256_fmadd_pd(ekd, _mm256_set1_pd(E.negln2loN), rhi);
    record4<Trace>(trace, kExpRLo, rlo);
    const __m256i idx = _mm256_slli_epi64(_mm256_and_si256(ki, _mm256_set1_epi64x(kExpTableSize - 1)), 1);
    const __m256i top = _mm256_slli_epi64(ki, 52 - kExpTableBits);
    const __m256d tail = _mm256_castsi256_pd(
        _mm256_i64gather_epi64(reinterpret_cast<const long long*>(E.tab), idx, 8));
    const __m256i sbits = _mm256_add_epi64(
        _mm256_i64gather_epi64(reinterpret_cast<const long long*>(E.tab + 1), idx, 8), top);
    const __m256d er = _mm256_add_pd(elo, rlo);
    record4<Trace>(trace, kExpR, er);
    const __m256d c23 = _mm256_fmadd_pd(er, _mm256_set1_pd(E.poly[1]), _mm256_set1_pd(E.poly[0]));
    record4<Trace>(trace, kExpC23, c23);
    const __m256d tr = _mm256_add_pd(er, tail);
    record4<Trace>(trace, kExpTailR, tr);
    const __m256d r2 = _mm256_mul_pd(er, er);
    record4<Trace>(trace, kExpR2, r2);
    const __m256d c45 = _mm256_fmadd_pd(er, _mm256_set1_pd(E.poly[3]), _mm256_set1_pd(E.poly[2]));
    record4<Trace>(trace, kExpC45, c45);
    const __m256d p = _mm256_fmadd_pd(c23, r2, tr);
    record4<Trace>(trace, kExpP, p);
    const __m256d r4 = _mm256_mul_pd(r2, r2);
    record4<Trace>(trace, kExpR4, r4);
    const __m256d etmp = _mm256_fmadd_pd(c45, r4, p);
    record4<Trace>(trace, kExpTmp, etmp);
    const __m256d scale = _mm256_castsi256_pd(sbits);
    record4<Trace>(trace, kExpScale, scale);
    __m256d result = _mm256_fmadd_pd(etmp, scale, scale);
    result = _mm256_blendv_pd(result, _mm256_add_pd(ehi, _mm256_set1_pd(1.0)), exp_tiny);
    record4<Trace>(trace, kResult, result);

    const unsigned bad = static_cast<unsigned>(_mm256_movemask_pd(_mm256_andnot_pd(_mm256_and_pd(x_ok, exp_ok),
                                                                                 _mm256_castsi256_pd(_mm256_set1_epi64x(-1)))));
    if (__builtin_expect(bad != 0, 0)) {
        alignas(32) double xs[4], out[4];
        _mm256_store_pd(xs, x);
        _mm256_store_pd(out, result);
        pow_fallback_lanes(xs, y, out, bad);
        result = _mm256_load_pd(out);
    }
    return result;
}

}  // namespace detail

// pow(x[i], y) for the four lanes of x, bit for bit std::pow.
__attribute__((target("avx2,fma"), always_inline)) inline __m256d pow4_avx2(__m256d x, double y) {
    return detail::pow4_avx2_impl<false>(x, y, nullptr);
}

}  // namespace veltrax::vpow
