// SPDX-License-Identifier: LGPL-2.1-or-later
// Internal: the intermediate values of the vector power function, recorded
// for the tests (tests/unit/vector_pow_test.cpp compares them with the values
// the C library's own machine code computes). Production code never records
// them (the kernels' Trace parameter is false there).
#pragma once

namespace veltrax::vpow::detail {

// Every value one step of the library's fast path computes, in the order of
// its machine code (glibc 2.36 __ieee754_pow_fma as built by Debian 12).
// "fma" marks a fused multiply-add; (src) means one that the source writes
// with __builtin_fma, the others the compiler fused.
enum TraceStep : int {
    kLogKd,        // (double) k
    kLogT1,        // fma: kd * ln2hi + logc
    kLogLo1,       // fma: kd * ln2lo + logctail
    kLogR,         // fma (src): z * invc - 1
    kLogAr,        // A[0] * r
    kLogA12,       // fma: r * A[2] + A[1]
    kLogA34,       // fma: r * A[4] + A[3]
    kLogT2,        // t1 + r
    kLogAr2,       // r * ar
    kLogT1MinusT2, // t1 - t2
    kLogAr3,       // r * ar2
    kLogLo3,       // fma (src): ar * r - ar2
    kLogLo2,       // (t1 - t2) + r
    kLogA56,       // fma: r * A[6] + A[5]
    kLogHi,        // t2 + ar2
    kLogT2MinusHi, // t2 - hi
    kLogQ1,        // fma: A56 * ar2 + A34
    kLogLo4,       // (t2 - hi) + ar2
    kLogQ2,        // fma: ar2 * q1 + A12
    kLogS1,        // lo1 + lo2
    kLogS2,        // + lo3
    kLogS3,        // + lo4
    kLogLo,        // fma: ar3 * q2 + s3 (p and its sum fused)
    kLogY,         // hi + lo: the log's rounded result
    kLogHiMinusY,  // hi - y
    kLogTail,      // (hi - y) + lo: the log's tail
    kMulEhi,       // y * log
    kMulErr,       // fma (src): log * y - ehi
    kMulElo,       // fma: y * tail + err
    kExpKdShift,   // fma: ehi * InvLn2N + Shift (z + Shift fused)
    kExpKd,        // kd - Shift
    kExpRHi,       // fma: kd * NegLn2hiN + ehi
    kExpRLo,       // fma: kd * NegLn2loN + rhi
    kExpR,         // r + elo
    kExpC23,       // fma: r * C3 + C2
    kExpTailR,     // r + tail
    kExpR2,        // r * r
    kExpC45,       // fma: r * C5 + C4
    kExpP,         // fma: C23 * r2 + (tail + r)
    kExpR4,        // r2 * r2
    kExpTmp,       // fma: C45 * r4 + p
    kExpScale,     // the scale, as a double
    kResult,       // fma: tmp * scale + scale (or 1 + ehi for |ehi| < 2^-54)
    kTraceSteps
};

inline constexpr const char* kTraceStepNames[kTraceSteps] = {
    "log kd", "log t1", "log lo1", "log r", "log ar", "log A12", "log A34", "log t2", "log ar2", "log t1-t2",
    "log ar3", "log lo3", "log lo2", "log A56", "log hi", "log t2-hi", "log q1", "log lo4", "log q2", "log s1",
    "log s2", "log s3", "log lo", "log y", "log hi-y", "log tail", "mul ehi", "mul err", "mul elo", "exp kd+shift",
    "exp kd", "exp r hi", "exp r lo", "exp r", "exp C23", "exp tail+r", "exp r2", "exp C45", "exp p", "exp r4",
    "exp tmp", "exp scale", "result"};

// Whether a step is a fused multiply-add in the library's machine code (20
// steps: 3 written in the source, 17 fused by the compiler).
constexpr bool trace_step_is_fma(int step) {
    switch (step) {
        case kLogT1: case kLogLo1: case kLogR: case kLogA12: case kLogA34: case kLogLo3: case kLogA56:
        case kLogQ1: case kLogQ2: case kLogLo: case kMulErr: case kMulElo: case kExpKdShift: case kExpRHi:
        case kExpRLo: case kExpC23: case kExpC45: case kExpP: case kExpTmp: case kResult:
            return true;
        default:
            return false;
    }
}

template <int Lanes>
struct PowTrace {
    double v[kTraceSteps][Lanes];
};

}  // namespace veltrax::vpow::detail
