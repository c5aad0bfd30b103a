// SPDX-License-Identifier: LGPL-2.1-or-later
// The intermediate values of the power kernels, recorded for the tests
// (tests/unit/vector_pow_test.cpp compares them with the values the C
// library's own machine code computes): a tracer for pow_kernel, the names of
// the steps and which of them the library fuses.
#pragma once

#include "numeric/vpow/steps.hpp"

namespace veltrax::testing {

using vpow::kPowSteps;

inline constexpr const char* kPowStepNames[kPowSteps] = {
    "log kd", "log t1", "log lo1", "log r", "log ar", "log A12", "log A34", "log t2", "log ar2", "log t1-t2",
    "log ar3", "log lo3", "log lo2", "log A56", "log hi", "log t2-hi", "log q1", "log lo4", "log q2", "log s1",
    "log s2", "log s3", "log lo", "log y", "log hi-y", "log tail", "mul ehi", "mul err", "mul elo", "exp kd+shift",
    "exp kd", "exp r hi", "exp r lo", "exp r", "exp C23", "exp tail+r", "exp r2", "exp C45", "exp p", "exp r4",
    "exp tmp", "exp scale", "result"};

// Whether a step is a fused multiply-add in the library's machine code (20
// steps: 3 written in the source, 17 fused by the compiler).
constexpr bool pow_step_is_fma(int step) {
    using namespace vpow;
    switch (step) {
        case kLogT1: case kLogLo1: case kLogR: case kLogA12: case kLogA34: case kLogLo3: case kLogA56:
        case kLogQ1: case kLogQ2: case kLogLo: case kMulErr: case kMulElo: case kExpKdShift: case kExpRHi:
        case kExpRLo: case kExpC23: case kExpC45: case kExpP: case kExpTmp: case kResult:
            return true;
        default:
            return false;
    }
}

// Every step's value in every lane of one kernel call.
template <int Lanes>
struct PowTrace {
    static constexpr bool kRecords = true;
    double v[kPowSteps][Lanes];
    double* slot(int step) { return v[step]; }
};

}  // namespace veltrax::testing
