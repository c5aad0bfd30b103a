// SPDX-License-Identifier: LGPL-2.1-or-later
// A scalar transcription of the fast path of the C library's pow as its FMA
// variant is compiled in Debian's libm (glibc 2.36 and 2.41), independent of the vector code,
// with every intermediate value recorded and optionally one fused
// multiply-add computed unfused (tests/unit/vector_pow_test.cpp,
// tests/tools/find_pow_witnesses.cpp).
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

#include "numeric/vpow/tables.hpp"
#include "pow_trace.hpp"

namespace veltrax::testing {

namespace vpow_detail = veltrax::vpow::detail;

inline std::uint64_t pow_bits(double v) {
    std::uint64_t b;
    std::memcpy(&b, &v, sizeof b);
    return b;
}

inline double pow_from_bits(std::uint64_t b) {
    double v;
    std::memcpy(&v, &b, sizeof v);
    return v;
}

// transcribe() repeats the library's machine code in scalar arithmetic (a
// second transcription, independent of the vector code), optionally with one
// of its fused multiply-adds computed as a separate multiply and add.

struct Steps {
    double v[vpow::kPowSteps];
    double product;  // the separately rounded product of the unfused step
};

inline double fma_or_not(double a, double b, double c, bool fused, double* product) {
    if (fused) return std::fma(a, b, c);
    *product = a * b;
    return *product + c;
}

// Fast path only: x positive normal, |y log x| < 512.
inline void transcribe(double x, double y, int unfused, Steps* s) {
    using namespace vpow_detail;
    using namespace vpow;
    const PowLogData& L = kPowLogData;
    const ExpData& E = kExpData;
    double* v = s->v;
    s->product = std::numeric_limits<double>::quiet_NaN();
    auto f = [unfused, s](int step, double a, double b, double c) {
        return fma_or_not(a, b, c, step != unfused, &s->product);
    };
    const std::uint64_t ix = pow_bits(x);
    const std::uint64_t tmp = ix - kLogOff;
    const int i = static_cast<int>((tmp >> (52 - kPowLogTableBits)) % kPowLogTableSize);
    const int k = static_cast<int>(static_cast<std::int64_t>(tmp) >> 52);
    const double z = pow_from_bits(ix - (tmp & 0xfffULL << 52));
    v[kLogKd] = k;
    v[kLogT1] = f(kLogT1, v[kLogKd], L.ln2hi, L.tab[i].logc);
    v[kLogLo1] = f(kLogLo1, v[kLogKd], L.ln2lo, L.tab[i].logctail);
    v[kLogR] = f(kLogR, z, L.tab[i].invc, -1.0);
    const double r = v[kLogR];
    v[kLogAr] = L.poly[0] * r;
    v[kLogA12] = f(kLogA12, r, L.poly[2], L.poly[1]);
    v[kLogA34] = f(kLogA34, r, L.poly[4], L.poly[3]);
    v[kLogT2] = v[kLogT1] + r;
    v[kLogAr2] = r * v[kLogAr];
    v[kLogT1MinusT2] = v[kLogT1] - v[kLogT2];
    v[kLogAr3] = r * v[kLogAr2];
    v[kLogLo3] = f(kLogLo3, v[kLogAr], r, -v[kLogAr2]);
    v[kLogLo2] = v[kLogT1MinusT2] + r;
    v[kLogA56] = f(kLogA56, r, L.poly[6], L.poly[5]);
    v[kLogHi] = v[kLogT2] + v[kLogAr2];
    v[kLogT2MinusHi] = v[kLogT2] - v[kLogHi];
    v[kLogQ1] = f(kLogQ1, v[kLogAr2], v[kLogA56], v[kLogA34]);
    v[kLogLo4] = v[kLogT2MinusHi] + v[kLogAr2];
    v[kLogQ2] = f(kLogQ2, v[kLogAr2], v[kLogQ1], v[kLogA12]);
    v[kLogS1] = v[kLogLo1] + v[kLogLo2];
    v[kLogS2] = v[kLogS1] + v[kLogLo3];
    v[kLogS3] = v[kLogS2] + v[kLogLo4];
    v[kLogLo] = f(kLogLo, v[kLogAr3], v[kLogQ2], v[kLogS3]);
    v[kLogY] = v[kLogHi] + v[kLogLo];
    v[kLogHiMinusY] = v[kLogHi] - v[kLogY];
    v[kLogTail] = v[kLogHiMinusY] + v[kLogLo];
    v[kMulEhi] = y * v[kLogY];
    v[kMulErr] = f(kMulErr, y, v[kLogY], -v[kMulEhi]);
    v[kMulElo] = f(kMulElo, y, v[kLogTail], v[kMulErr]);
    const double ehi = v[kMulEhi];
    v[kExpKdShift] = f(kExpKdShift, ehi, E.invln2N, E.shift);
    const std::uint64_t ki = pow_bits(v[kExpKdShift]);
    v[kExpKd] = v[kExpKdShift] - E.shift;
    v[kExpRHi] = f(kExpRHi, v[kExpKd], E.negln2hiN, ehi);
    v[kExpRLo] = f(kExpRLo, v[kExpKd], E.negln2loN, v[kExpRHi]);
    const std::uint64_t idx = 2 * (ki % kExpTableSize);
    v[kExpR] = v[kMulElo] + v[kExpRLo];
    const double er = v[kExpR];
    v[kExpC23] = f(kExpC23, er, E.poly[1], E.poly[0]);
    v[kExpTailR] = er + pow_from_bits(E.tab[idx]);
    v[kExpR2] = er * er;
    v[kExpC45] = f(kExpC45, er, E.poly[3], E.poly[2]);
    v[kExpP] = f(kExpP, v[kExpR2], v[kExpC23], v[kExpTailR]);
    v[kExpR4] = v[kExpR2] * v[kExpR2];
    v[kExpTmp] = f(kExpTmp, v[kExpR4], v[kExpC45], v[kExpP]);
    v[kExpScale] = pow_from_bits(E.tab[idx + 1] + (ki << (52 - kExpTableBits)));
    v[kResult] = std::fabs(ehi) < 0x1p-54 ? 1.0 + ehi : f(kResult, v[kExpTmp], v[kExpScale], v[kExpScale]);
}

}  // namespace veltrax::testing
