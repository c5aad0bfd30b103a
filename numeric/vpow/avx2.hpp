// SPDX-License-Identifier: LGPL-2.1-or-later
// AVX2 and FMA: four lanes of doubles. The traits type Isa and, compiled for
// these instructions, the power kernel (numeric/vpow/kernel-inl.hpp) as
// veltrax::vpow::avx2::pow_kernel and pow_array.
//
// Call them only where vpow::pow_path_usable(PowPath::Avx2) is true
// (numeric/vpow/pow.hpp), from code with the same target (VELTRAX_AVX2, or a
// region of numeric/vpow/target.hpp).
#pragma once

#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "numeric/vpow/pow.hpp"
#include "numeric/vpow/steps.hpp"
#include "numeric/vpow/tables.hpp"
#include "numeric/vpow/target.hpp"

namespace veltrax::vpow::avx2 {

// For each set of four lanes, the 32-bit element moves that pack the lanes
// of the set to the front (pack) and spread packed values back into them
// (unpack).
struct LaneMoves {
    alignas(32) std::int32_t pack[16][8];
    alignas(32) std::int32_t unpack[16][8];
};

constexpr LaneMoves make_lane_moves() {
    LaneMoves m{};
    for (int set = 0; set < 16; ++set) {
        int next = 0;
        for (int lane = 0; lane < 4; ++lane) {
            if (!(set & (1 << lane))) continue;
            m.pack[set][2 * next] = 2 * lane;
            m.pack[set][2 * next + 1] = 2 * lane + 1;
            m.unpack[set][2 * lane] = 2 * next;
            m.unpack[set][2 * lane + 1] = 2 * next + 1;
            ++next;
        }
    }
    return m;
}

inline constexpr LaneMoves kLaneMoves = make_lane_moves();

}  // namespace veltrax::vpow::avx2

VELTRAX_BEGIN_AVX2
namespace veltrax::vpow::avx2 {

struct Isa {
    using Vec = __m256d;
    using Ints = __m256i;   // 64-bit integers
    using Mask = __m256d;   // all bits set in a chosen lane
    static constexpr int kLanes = 4;
    static constexpr unsigned kAllLanes = 0xf;

    VELTRAX_OP Vec set1(double v) { return _mm256_set1_pd(v); }
    VELTRAX_OP Ints set1_bits(std::int64_t v) { return _mm256_set1_epi64x(v); }
    VELTRAX_OP Vec zero() { return _mm256_setzero_pd(); }
    VELTRAX_OP Vec load(const double* p) { return _mm256_load_pd(p); }
    VELTRAX_OP Vec loadu(const double* p) { return _mm256_loadu_pd(p); }
    VELTRAX_OP void store(double* p, Vec v) { _mm256_store_pd(p, v); }
    VELTRAX_OP void storeu(double* p, Vec v) { _mm256_storeu_pd(p, v); }
    VELTRAX_OP void store_bits(std::int64_t* p, Ints v) { _mm256_store_si256(reinterpret_cast<__m256i*>(p), v); }

    VELTRAX_OP Ints as_bits(Vec v) { return _mm256_castpd_si256(v); }
    VELTRAX_OP Vec as_double(Ints v) { return _mm256_castsi256_pd(v); }
    VELTRAX_OP Ints add_bits(Ints a, Ints b) { return _mm256_add_epi64(a, b); }
    VELTRAX_OP Ints sub_bits(Ints a, Ints b) { return _mm256_sub_epi64(a, b); }
    VELTRAX_OP Ints and_bits(Ints a, Ints b) { return _mm256_and_si256(a, b); }
    VELTRAX_OP Ints xor_bits(Ints a, Ints b) { return _mm256_xor_si256(a, b); }
    template <int N>
    VELTRAX_OP Ints shift_right(Ints a) { return _mm256_srli_epi64(a, N); }
    template <int N>
    VELTRAX_OP Ints shift_left(Ints a) { return _mm256_slli_epi64(a, N); }

    VELTRAX_OP Vec add(Vec a, Vec b) { return _mm256_add_pd(a, b); }
    VELTRAX_OP Vec sub(Vec a, Vec b) { return _mm256_sub_pd(a, b); }
    VELTRAX_OP Vec mul(Vec a, Vec b) { return _mm256_mul_pd(a, b); }
    VELTRAX_OP Vec div(Vec a, Vec b) { return _mm256_div_pd(a, b); }
    VELTRAX_OP Vec fmadd(Vec a, Vec b, Vec c) { return _mm256_fmadd_pd(a, b, c); }  // a b + c, one rounding
    VELTRAX_OP Vec fmsub(Vec a, Vec b, Vec c) { return _mm256_fmsub_pd(a, b, c); }  // a b - c, one rounding
    VELTRAX_OP Vec abs(Vec a) {
        return _mm256_and_pd(a, _mm256_castsi256_pd(_mm256_set1_epi64x(0x7fffffffffffffffLL)));
    }

    // Comparisons with a _CMP_ predicate.
    template <int Predicate>
    VELTRAX_OP Mask compare(Vec a, Vec b) { return _mm256_cmp_pd(a, b, Predicate); }
    // The lanes of m where the comparison holds.
    template <int Predicate>
    VELTRAX_OP Mask compare_in(Mask m, Vec a, Vec b) { return _mm256_and_pd(m, _mm256_cmp_pd(a, b, Predicate)); }
    VELTRAX_OP Mask both(Mask a, Mask b) { return _mm256_and_pd(a, b); }
    VELTRAX_OP Mask first_not_second(Mask a, Mask b) { return _mm256_andnot_pd(b, a); }
    VELTRAX_OP unsigned lanes_of(Mask m) { return static_cast<unsigned>(_mm256_movemask_pd(m)); }
    VELTRAX_OP unsigned lanes_not_of(Mask m) {
        const __m256d all = _mm256_castsi256_pd(_mm256_set1_epi64x(-1));
        return static_cast<unsigned>(_mm256_movemask_pd(_mm256_andnot_pd(m, all)));
    }
    VELTRAX_OP Mask mask_of(unsigned lanes) {
        const __m256i bit = _mm256_set_epi64x(8, 4, 2, 1);
        return _mm256_castsi256_pd(
            _mm256_cmpeq_epi64(_mm256_and_si256(_mm256_set1_epi64x(lanes), bit), bit));
    }
    // b in the lanes of m, a in the others.
    VELTRAX_OP Vec blend(Mask m, Vec a, Vec b) { return _mm256_blendv_pd(a, b, m); }
    // a / b in the lanes of m, 0 in the others.
    VELTRAX_OP Vec div_or_zero(Mask m, Vec a, Vec b) { return _mm256_and_pd(m, _mm256_div_pd(a, b)); }
    // a + b in the lanes of m, a in the others.
    VELTRAX_OP Vec add_where(Mask m, Vec a, Vec b) { return _mm256_add_pd(a, _mm256_and_pd(m, b)); }
    VELTRAX_OP void store_lanes(double* p, Mask m, Vec v) { _mm256_maskstore_pd(p, _mm256_castpd_si256(m), v); }
    // Writes the lanes of m of v to p[0], p[1], ... (and anything to the rest
    // of p[0 .. kLanes - 1]); returns their number.
    VELTRAX_OP int pack(double* p, Mask m, Vec v) {
        const unsigned lanes = lanes_of(m);
        const __m256i order = _mm256_load_si256(reinterpret_cast<const __m256i*>(kLaneMoves.pack[lanes]));
        _mm256_storeu_pd(p, _mm256_castsi256_pd(_mm256_permutevar8x32_epi32(_mm256_castpd_si256(v), order)));
        return __builtin_popcount(lanes);
    }
    // The inverse: p[0], p[1], ... into the lanes of m, 0 in the others.
    VELTRAX_OP Vec unpack(Mask m, const double* p) {
        const __m256i order = _mm256_load_si256(reinterpret_cast<const __m256i*>(kLaneMoves.unpack[lanes_of(m)]));
        return _mm256_and_pd(m, _mm256_castsi256_pd(_mm256_permutevar8x32_epi32(
                                    _mm256_castpd_si256(_mm256_loadu_pd(p)), order)));
    }

    // base[index] of each lane (index in doubles).
    VELTRAX_OP Vec gather(const double* base, Ints index) { return _mm256_i64gather_pd(base, index, 8); }
    VELTRAX_OP Ints gather_bits(const std::uint64_t* base, Ints index) {
        return _mm256_i64gather_epi64(reinterpret_cast<const long long*>(base), index, 8);
    }

    // The same values with one load per lane: entry i of the log table (4
    // doubles at tab + 4 i: invc, pad, logc, logctail) ...
    VELTRAX_OP void load_log_entries(const double* tab, Ints i, Vec& invc, Vec& logc, Vec& logctail) {
        alignas(32) std::int64_t at[kLanes];
        store_bits(at, i);
        const Vec r0 = _mm256_load_pd(tab + 4 * at[0]), r1 = _mm256_load_pd(tab + 4 * at[1]);
        const Vec r2 = _mm256_load_pd(tab + 4 * at[2]), r3 = _mm256_load_pd(tab + 4 * at[3]);
        const Vec lo01 = _mm256_unpacklo_pd(r0, r1), hi01 = _mm256_unpackhi_pd(r0, r1);  // lanes 0, 1
        const Vec lo23 = _mm256_unpacklo_pd(r2, r3), hi23 = _mm256_unpackhi_pd(r2, r3);  // lanes 2, 3
        invc = _mm256_permute2f128_pd(lo01, lo23, 0x20);
        logc = _mm256_permute2f128_pd(lo01, lo23, 0x31);
        logctail = _mm256_permute2f128_pd(hi01, hi23, 0x31);
    }
    // ... and the pair at tab + index of the exponential table (tail, scale).
    VELTRAX_OP void load_exp_entries(const std::uint64_t* tab, Ints index, Vec& tail, Ints& scale) {
        alignas(32) std::int64_t at[kLanes];
        store_bits(at, index);
        auto pair = [tab](std::int64_t k) { return _mm_load_pd(reinterpret_cast<const double*>(tab + k)); };
        const Vec even = _mm256_insertf128_pd(_mm256_castpd128_pd256(pair(at[0])), pair(at[2]), 1);
        const Vec odd = _mm256_insertf128_pd(_mm256_castpd128_pd256(pair(at[1])), pair(at[3]), 1);
        tail = _mm256_unpacklo_pd(even, odd);
        scale = _mm256_castpd_si256(_mm256_unpackhi_pd(even, odd));
    }
};

#include "numeric/vpow/kernel-inl.hpp"

}  // namespace veltrax::vpow::avx2
VELTRAX_END_TARGET
