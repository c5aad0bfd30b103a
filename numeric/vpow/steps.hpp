// SPDX-License-Identifier: LGPL-2.1-or-later
// What the power kernels of every instruction set share: the steps of the C
// library's fast path, in the order of its machine code, which the kernel
// (numeric/vpow/kernel-inl.hpp) names each of its values by; the way lanes
// leave for std::pow; and the hook through which a test sees the values.
#pragma once

#include <cstdint>
#include <cstring>

namespace veltrax::vpow {

// One value of the fast path of the library's pow (__ieee754_pow_fma as
// Debian builds it). "fma" marks a fused multiply-add; (src) one that the
// library's source writes, the others the compiler fused.
enum PowStep : int {
    kLogKd,         // (double) k
    kLogT1,         // fma: kd * ln2hi + logc
    kLogLo1,        // fma: kd * ln2lo + logctail
    kLogR,          // fma (src): z * invc - 1
    kLogAr,         // A[0] * r
    kLogA12,        // fma: r * A[2] + A[1]
    kLogA34,        // fma: r * A[4] + A[3]
    kLogT2,         // t1 + r
    kLogAr2,        // r * ar
    kLogT1MinusT2,  // t1 - t2
    kLogAr3,        // r * ar2
    kLogLo3,        // fma (src): ar * r - ar2
    kLogLo2,        // (t1 - t2) + r
    kLogA56,        // fma: r * A[6] + A[5]
    kLogHi,         // t2 + ar2
    kLogT2MinusHi,  // t2 - hi
    kLogQ1,         // fma: A56 * ar2 + A34
    kLogLo4,        // (t2 - hi) + ar2
    kLogQ2,         // fma: ar2 * q1 + A12
    kLogS1,         // lo1 + lo2
    kLogS2,         // + lo3
    kLogS3,         // + lo4
    kLogLo,         // fma: ar3 * q2 + s3 (p and its sum fused)
    kLogY,          // hi + lo: the log's rounded result
    kLogHiMinusY,   // hi - y
    kLogTail,       // (hi - y) + lo: the log's tail
    kMulEhi,        // y * log
    kMulErr,        // fma (src): log * y - ehi
    kMulElo,        // fma: y * tail + err
    kExpKdShift,    // fma: ehi * InvLn2N + Shift (z + Shift fused)
    kExpKd,         // kd - Shift
    kExpRHi,        // fma: kd * NegLn2hiN + ehi
    kExpRLo,        // fma: kd * NegLn2loN + rhi
    kExpR,          // r + elo
    kExpC23,        // fma: r * C3 + C2
    kExpTailR,      // r + tail
    kExpR2,         // r * r
    kExpC45,        // fma: r * C5 + C4
    kExpP,          // fma: C23 * r2 + (tail + r)
    kExpR4,         // r2 * r2
    kExpTmp,        // fma: C45 * r4 + p
    kExpScale,      // the scale, as a double
    kResult,        // fma: tmp * scale + scale (or 1 + ehi for |ehi| < 2^-54)
    kPowSteps
};

// The kernel's tracer in production: records nothing. A tracer with
// kRecords true receives every step's lanes in slot(step) (tests).
struct NoTrace {
    static constexpr bool kRecords = false;
    double* slot(int) { return nullptr; }
};

namespace detail {

// std::pow for the lanes of `mask` (bit i: lane i); out holds the vector
// results of the other lanes. Defined in arrays.cpp.
void pow_fallback_lanes(const double* x, double y, double* out, unsigned mask);

// True when y sends every x down the library's special path: |y| < 2^-65,
// |y| >= 2^63, or y not finite.
inline bool pow_exponent_is_special(double y) {
    std::uint64_t iy;
    std::memcpy(&iy, &y, sizeof iy);
    const std::uint32_t topy = static_cast<std::uint32_t>(iy >> 52);
    return (topy & 0x7ff) - 0x3be >= 0x43e - 0x3be;
}

}  // namespace detail
}  // namespace veltrax::vpow
