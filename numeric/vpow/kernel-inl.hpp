// SPDX-License-Identifier: LGPL-2.1-or-later
// The power kernel, written once over the traits type Isa of an instruction
// set: pow(x, y) in every lane of x for one exponent y, the exact bits of this
// machine's std::pow. Included by numeric/vpow/avx2.hpp and avx512.hpp inside
// their namespace and target region (numeric/vpow/target.hpp); no include
// guard, no includes.
//
// How the bits are kept: the fast path of the C library's pow (e_pow.c) is
// repeated operation by operation as its FMA variant (__ieee754_pow_fma, the
// one the library selects on CPUs with FMA and AVX2) is compiled in Debian's
// libm: every multiply-add that machine code fuses is an explicit fmadd or
// fmsub here (3 written in the library's source, 17 fused by its compiler),
// every other operation is a separate multiply, add or subtract, and the
// tables are the library's (numeric/vpow/tables.cpp). Lanes the library sends
// down another path (x not a positive normal finite number; |y| < 2^-65,
// |y| >= 2^63 or not finite; |y log x| >= 512, where the result may overflow
// or underflow) are computed by std::pow, lane by lane. The library's other
// exit, 1 + y log x for |y log x| < 2^-54, is repeated in the vector.
//
// Lanes that are not positive normal numbers cost 20 to 30 ns each: a caller
// puts 1.0 in lanes whose result it does not use.

template <class Tracer>
__attribute__((always_inline)) inline void trace_step(Tracer& tracer, int step, Isa::Vec v) {
    if constexpr (Tracer::kRecords) Isa::storeu(tracer.slot(step), v);
}

template <TableAccess Access, class Tracer = NoTrace>
__attribute__((always_inline)) inline Isa::Vec pow_kernel(Isa::Vec x, double y, Tracer& tracer) {
    using Vec = Isa::Vec;
    using Ints = Isa::Ints;
    using Mask = Isa::Mask;
    constexpr int kLanes = Isa::kLanes;
    const detail::PowLogData& L = detail::kPowLogData;
    const detail::ExpData& E = detail::kExpData;
    if (detail::pow_exponent_is_special(y)) {
        alignas(sizeof(Isa::Vec)) double xs[kLanes], out[kLanes];
        Isa::store(xs, x);
        detail::pow_fallback_lanes(xs, y, out, Isa::kAllLanes);
        return Isa::load(out);
    }
    const Vec vy = Isa::set1(y);

    // x must be a positive normal finite number (top12(x) - 1 < 0x7fe).
    const Mask x_ok = Isa::both(Isa::compare<_CMP_GE_OQ>(x, Isa::set1(0x1p-1022)),
                                Isa::compare<_CMP_LE_OQ>(x, Isa::set1(0x1.fffffffffffffp1023)));

    // log_inline: x = 2^k z, z in [OFF, 2 OFF), subinterval i.
    const Ints ix = Isa::as_bits(x);
    const Ints tmp = Isa::sub_bits(ix, Isa::set1_bits(static_cast<std::int64_t>(detail::kLogOff)));
    const Ints i = Isa::and_bits(Isa::shift_right<52 - detail::kPowLogTableBits>(tmp), Isa::set1_bits(0x7f));
    // k = tmp >> 52 (arithmetic): the top 12 bits u of tmp give k = u for u < 2048 and
    // u - 4096 otherwise; (u ^ 0x800) + 2^52 as a double minus 2^52 + 2048 is k exactly.
    const Ints kbias = Isa::set1_bits(0x4330000000000800LL);
    const Vec kd = Isa::sub(Isa::as_double(Isa::xor_bits(Isa::shift_right<52>(tmp), kbias)), Isa::as_double(kbias));
    const Ints iz =
        Isa::sub_bits(ix, Isa::and_bits(tmp, Isa::set1_bits(static_cast<std::int64_t>(0xfffULL << 52))));
    const Vec z = Isa::as_double(iz);
    const double* tab = &L.tab[0].invc;  // tab[i] is 4 doubles: invc, pad, logc, logctail
    Vec invc, logc, logctail;
    if constexpr (Access == TableAccess::Gathers) {
        const Ints ti = Isa::shift_left<2>(i);
        invc = Isa::gather(tab, ti);
        logc = Isa::gather(tab + 2, ti);
        logctail = Isa::gather(tab + 3, ti);
    } else {
        Isa::load_log_entries(tab, i, invc, logc, logctail);
    }
    trace_step(tracer, kLogKd, kd);

    const Vec t1 = Isa::fmadd(kd, Isa::set1(L.ln2hi), logc);
    trace_step(tracer, kLogT1, t1);
    const Vec lo1 = Isa::fmadd(kd, Isa::set1(L.ln2lo), logctail);
    trace_step(tracer, kLogLo1, lo1);
    const Vec r = Isa::fmadd(z, invc, Isa::set1(-1.0));
    trace_step(tracer, kLogR, r);
    const Vec ar = Isa::mul(r, Isa::set1(L.poly[0]));
    trace_step(tracer, kLogAr, ar);
    const Vec a12 = Isa::fmadd(r, Isa::set1(L.poly[2]), Isa::set1(L.poly[1]));
    trace_step(tracer, kLogA12, a12);
    const Vec a34 = Isa::fmadd(r, Isa::set1(L.poly[4]), Isa::set1(L.poly[3]));
    trace_step(tracer, kLogA34, a34);
    const Vec t2 = Isa::add(r, t1);
    trace_step(tracer, kLogT2, t2);
    const Vec ar2 = Isa::mul(r, ar);
    trace_step(tracer, kLogAr2, ar2);
    const Vec d12 = Isa::sub(t1, t2);
    trace_step(tracer, kLogT1MinusT2, d12);
    const Vec ar3 = Isa::mul(r, ar2);
    trace_step(tracer, kLogAr3, ar3);
    const Vec lo3 = Isa::fmsub(ar, r, ar2);
    trace_step(tracer, kLogLo3, lo3);
    const Vec lo2 = Isa::add(d12, r);
    trace_step(tracer, kLogLo2, lo2);
    const Vec a56 = Isa::fmadd(r, Isa::set1(L.poly[6]), Isa::set1(L.poly[5]));
    trace_step(tracer, kLogA56, a56);
    const Vec hi = Isa::add(t2, ar2);
    trace_step(tracer, kLogHi, hi);
    const Vec d2h = Isa::sub(t2, hi);
    trace_step(tracer, kLogT2MinusHi, d2h);
    const Vec q1 = Isa::fmadd(a56, ar2, a34);
    trace_step(tracer, kLogQ1, q1);
    const Vec lo4 = Isa::add(d2h, ar2);
    trace_step(tracer, kLogLo4, lo4);
    const Vec q2 = Isa::fmadd(ar2, q1, a12);
    trace_step(tracer, kLogQ2, q2);
    const Vec s1 = Isa::add(lo1, lo2);
    trace_step(tracer, kLogS1, s1);
    const Vec s2 = Isa::add(s1, lo3);
    trace_step(tracer, kLogS2, s2);
    const Vec s3 = Isa::add(s2, lo4);
    trace_step(tracer, kLogS3, s3);
    const Vec lo = Isa::fmadd(ar3, q2, s3);
    trace_step(tracer, kLogLo, lo);
    const Vec ly = Isa::add(hi, lo);
    trace_step(tracer, kLogY, ly);
    const Vec dhy = Isa::sub(hi, ly);
    trace_step(tracer, kLogHiMinusY, dhy);
    const Vec ltail = Isa::add(dhy, lo);
    trace_step(tracer, kLogTail, ltail);

    // y log x as ehi + elo.
    const Vec ehi = Isa::mul(vy, ly);
    trace_step(tracer, kMulEhi, ehi);
    const Vec err = Isa::fmsub(ly, vy, ehi);
    trace_step(tracer, kMulErr, err);
    const Vec elo = Isa::fmadd(vy, ltail, err);
    trace_step(tracer, kMulElo, elo);

    // exp_inline(ehi, elo, 0): 2^(k/N) exp(r).
    const Vec abs_ehi = Isa::abs(ehi);
    const Mask exp_ok = Isa::compare<_CMP_LT_OQ>(abs_ehi, Isa::set1(512.0));       // else special case or overflow
    const Mask exp_tiny = Isa::compare<_CMP_LT_OQ>(abs_ehi, Isa::set1(0x1p-54));  // result 1 + ehi
    const Vec shift = Isa::set1(E.shift);
    const Vec kds = Isa::fmadd(ehi, Isa::set1(E.invln2N), shift);
    trace_step(tracer, kExpKdShift, kds);
    const Ints ki = Isa::as_bits(kds);
    const Vec ekd = Isa::sub(kds, shift);
    trace_step(tracer, kExpKd, ekd);
    const Vec rhi = Isa::fmadd(ekd, Isa::set1(E.negln2hiN), ehi);
    trace_step(tracer, kExpRHi, rhi);
    const Vec rlo = Isa::fmadd(ekd, Isa::set1(E.negln2loN), rhi);
    trace_step(tracer, kExpRLo, rlo);
    const Ints idx = Isa::shift_left<1>(Isa::and_bits(ki, Isa::set1_bits(detail::kExpTableSize - 1)));
    const Ints top = Isa::shift_left<52 - detail::kExpTableBits>(ki);
    Vec tail;  // tab[idx] and tab[idx + 1]: tail, and the scale's bits without k
    Ints scale_bits;
    if constexpr (Access == TableAccess::Gathers) {
        tail = Isa::as_double(Isa::gather_bits(E.tab, idx));
        scale_bits = Isa::gather_bits(E.tab + 1, idx);
    } else {
        Isa::load_exp_entries(E.tab, idx, tail, scale_bits);
    }
    const Ints sbits = Isa::add_bits(scale_bits, top);
    const Vec er = Isa::add(elo, rlo);
    trace_step(tracer, kExpR, er);
    const Vec c23 = Isa::fmadd(er, Isa::set1(E.poly[1]), Isa::set1(E.poly[0]));
    trace_step(tracer, kExpC23, c23);
    const Vec tr = Isa::add(er, tail);
    trace_step(tracer, kExpTailR, tr);
    const Vec r2 = Isa::mul(er, er);
    trace_step(tracer, kExpR2, r2);
    const Vec c45 = Isa::fmadd(er, Isa::set1(E.poly[3]), Isa::set1(E.poly[2]));
    trace_step(tracer, kExpC45, c45);
    const Vec p = Isa::fmadd(c23, r2, tr);
    trace_step(tracer, kExpP, p);
    const Vec r4 = Isa::mul(r2, r2);
    trace_step(tracer, kExpR4, r4);
    const Vec etmp = Isa::fmadd(c45, r4, p);
    trace_step(tracer, kExpTmp, etmp);
    const Vec scale = Isa::as_double(sbits);
    trace_step(tracer, kExpScale, scale);
    Vec result = Isa::fmadd(etmp, scale, scale);
    result = Isa::blend(exp_tiny, result, Isa::add(ehi, Isa::set1(1.0)));
    trace_step(tracer, kResult, result);

    const unsigned bad = Isa::lanes_not_of(Isa::both(x_ok, exp_ok));
    if (__builtin_expect(bad != 0, 0)) {
        alignas(sizeof(Isa::Vec)) double xs[kLanes], out[kLanes];
        Isa::store(xs, x);
        Isa::store(out, result);
        detail::pow_fallback_lanes(xs, y, out, bad);
        result = Isa::load(out);
    }
    return result;
}

// pow(x, y) in every lane, bit for bit std::pow.
template <TableAccess Access>
__attribute__((always_inline)) inline Isa::Vec pow_kernel(Isa::Vec x, double y) {
    NoTrace none;
    return pow_kernel<Access>(x, y, none);
}

// out[i] = pow(x[i], y) for i < n; out may be x.
template <TableAccess Access>
inline void pow_array(const double* x, std::size_t n, double y, double* out) {
    constexpr int kLanes = Isa::kLanes;
    std::size_t i = 0;
    // Two independent kernels per round: the out-of-order core overlaps
    // their long dependency chains (and the speed depends less on code layout).
    for (; i + 2 * kLanes <= n; i += 2 * kLanes) {
        const Isa::Vec a = pow_kernel<Access>(Isa::loadu(x + i), y);
        const Isa::Vec b = pow_kernel<Access>(Isa::loadu(x + i + kLanes), y);
        Isa::storeu(out + i, a);
        Isa::storeu(out + i + kLanes, b);
    }
    for (; i + kLanes <= n; i += kLanes) Isa::storeu(out + i, pow_kernel<Access>(Isa::loadu(x + i), y));
    if (i < n) {
        alignas(sizeof(Isa::Vec)) double block[kLanes];
        for (int j = 0; j < kLanes; ++j) block[j] = i + j < n ? x[i + j] : 1.0;
        Isa::store(block, pow_kernel<Access>(Isa::load(block), y));
        for (std::size_t j = i; j < n; ++j) out[j] = block[j - i];
    }
}
