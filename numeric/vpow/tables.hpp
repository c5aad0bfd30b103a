// SPDX-License-Identifier: LGPL-2.1-or-later
// Internal: the data of the C library's power function, laid out as the
// library's __pow_log_data and __exp_data (glibc 2.36; 2.41 inserts exp10's
// constants before the exponential table), so that the vector power function
// reads the same values from the same positions. Definitions and copyright
// notice: tables.cpp.
#pragma once

#include <cstddef>
#include <cstdint>

namespace veltrax::vpow::detail {

inline constexpr int kPowLogTableBits = 7;                // POW_LOG_TABLE_BITS
inline constexpr int kPowLogTableSize = 1 << kPowLogTableBits;
inline constexpr int kExpTableBits = 7;                   // EXP_TABLE_BITS
inline constexpr int kExpTableSize = 1 << kExpTableBits;
inline constexpr std::uint64_t kLogOff = 0x3fe6955500000000ULL;  // OFF of e_pow.c

// struct pow_log_data of math_config.h.
struct PowLogData {
    double ln2hi;
    double ln2lo;
    double poly[7];  // A[0] .. A[6]; A[0] = -0.5
    struct Entry {
        double invc, pad, logc, logctail;
    } tab[kPowLogTableSize];
};

// struct exp_data of math_config.h.
struct ExpData {
    double invln2N;
    double negln2hiN;
    double negln2loN;
    double poly[4];  // C2 .. C5
    double shift;
    double exp2_shift;     // not used by pow
    double exp2_poly[5];   // not used by pow
    std::uint64_t tab[2 * kExpTableSize];
};

// __pow_log_data placed so that its table starts on a cache line: a kernel
// that loads whole entries (32 bytes) never splits one across two lines.
struct alignas(64) PowLogDataBlock {
    char pad[64 - offsetof(PowLogData, tab) % 64];
    PowLogData data;
};

// Hidden: the kernels address them directly, not through the GOT.
extern const PowLogDataBlock kPowLogDataBlock __attribute__((visibility("hidden")));
inline constexpr const PowLogData& kPowLogData = kPowLogDataBlock.data;
extern const ExpData kExpData __attribute__((visibility("hidden")));

}  // namespace veltrax::vpow::detail
