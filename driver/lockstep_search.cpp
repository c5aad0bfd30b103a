// SPDX-License-Identifier: LGPL-2.1-or-later
// The lock-step move search (driver/lockstep_search.hpp). The vector
// evaluation of the cost and the golden-section step are functions with the
// AVX2 or AVX-512 target attribute; the bracket walk, which branches
// differently in every lane, and the hand-out of starts are scalar code on
// the lanes' arrays, shared by both widths.
#include "driver/lockstep_search.hpp"

#include <cfloat>
#include <cmath>

#include "numeric/minimiser.hpp"

#if defined(__x86_64__)
#include <immintrin.h>

#include "numeric/vector_pow_avx2.hpp"
#include "numeric/vector_pow_avx512.hpp"
#define VELTRAX_LOCKSTEP 1
#else
#define VELTRAX_LOCKSTEP 0
#endif

namespace veltrax {

#if VELTRAX_LOCKSTEP

namespace {

using detail::LaneState;
using detail::WalkStep;

// ---------------------------------------------------------------------------
// AVX2: four lanes.

__attribute__((target("avx2,fma"), always_inline)) inline __m256d lanes4(unsigned mask) {
    const __m256i bit = _mm256_set_epi64x(8, 4, 2, 1);
    return _mm256_castsi256_pd(_mm256_cmpeq_epi64(_mm256_and_si256(_mm256_set1_epi64x(mask), bit), bit));
}

__attribute__((target("avx2,fma"), always_inline)) inline __m256d abs4(__m256d v) {
    return _mm256_andnot_pd(_mm256_set1_pd(-0.0), v);
}

// value[l] = evaluate_cost(t, du[l]) in each group for its active lanes whose
// du is finite; odd[i] receives group i's active lanes left out (du infinite
// or NaN). A lane whose w is not above 0 gives the power 1.0 to compute, and
// its term is then dropped; a term without any other lane skips the power.
// The groups' evaluations overlap in the CPU: one group's power functions run
// while another's wait for their results.
template <int G>
__attribute__((target("avx2,fma"), always_inline)) inline void cost4(const CostTable& t, LaneState* const* g,
                                                                     unsigned* odd) {
    __m256d du[G], finite[G], j[G];
    for (int i = 0; i < G; ++i) {
        du[i] = _mm256_load_pd(g[i]->du);
        finite[i] = _mm256_and_pd(lanes4(g[i]->active),
                                  _mm256_cmp_pd(abs4(du[i]), _mm256_set1_pd(DBL_MAX), _CMP_LE_OQ));
        j[i] = _mm256_set1_pd(t.fixed_sum);
    }
    const __m256d one = _mm256_set1_pd(1.0), zero = _mm256_setzero_pd(), cp = _mm256_set1_pd(t.midpoint_power);
    for (int k = t.first_moving; k < kHorizonEnd; ++k) {
        const __m256d step = _mm256_set1_pd(t.step_coef[k]), free = _mm256_set1_pd(t.free_response[k]);
        const __m256d reference = _mm256_set1_pd(t.reference[k]);
        for (int i = 0; i < G; ++i) {
            const __m256d w = _mm256_add_pd(_mm256_mul_pd(step, du[i]), free);
            const __m256d on = _mm256_and_pd(finite[i], _mm256_cmp_pd(w, zero, _CMP_NLE_UQ));
            __m256d y = zero;
            if (_mm256_movemask_pd(on) != 0) {
                const __m256d wp = vpow::pow4_avx2(_mm256_blendv_pd(one, w, on), t.exponent);
                y = _mm256_and_pd(on, _mm256_div_pd(wp, _mm256_add_pd(cp, wp)));
            }
            const __m256d e = _mm256_sub_pd(reference, y);
            j[i] = _mm256_add_pd(_mm256_mul_pd(e, e), j[i]);
        }
    }
    for (int i = 0; i < G; ++i) {
        const __m256d cost =
            _mm256_add_pd(_mm256_mul_pd(_mm256_set1_pd(t.weight), _mm256_mul_pd(du[i], du[i])), j[i]);
        _mm256_maskstore_pd(g[i]->value, _mm256_castpd_si256(finite[i]), cost);
        odd[i] = g[i]->active & ~static_cast<unsigned>(_mm256_movemask_pd(finite[i]));
    }
}

// The groups g[0 .. count - 1] (at most kMaxGroups).
__attribute__((target("avx2,fma"))) void evaluate_avx2(const CostTable& t, LaneState* const* g, int count,
                                                       unsigned* odd) {
    switch (count) {
        case 1: cost4<1>(t, g, odd); break;
        case 2: cost4<2>(t, g, odd); break;
        case 3: cost4<3>(t, g, odd); break;
        case 4: cost4<4>(t, g, odd); break;
    }
}

// One step of golden_section_loop in every golden lane: the value just
// evaluated becomes f2 (lanes of `right`) or f1, then the loop test, then
// the next interior point. Returns the golden lanes whose loop has ended.
__attribute__((target("avx2,fma"))) unsigned golden_avx2(LaneState& s) {
    const __m256d golden = lanes4(s.golden), right = lanes4(s.right);
    const __m256d v = _mm256_load_pd(s.value);
    const __m256d f2 = _mm256_blendv_pd(_mm256_load_pd(s.f2), v, _mm256_and_pd(golden, right));
    const __m256d f1 = _mm256_blendv_pd(_mm256_load_pd(s.f1), v, _mm256_andnot_pd(right, golden));
    const __m256d x0 = _mm256_load_pd(s.x0), x1 = _mm256_load_pd(s.x1);
    const __m256d x2 = _mm256_load_pd(s.x2), x3 = _mm256_load_pd(s.x3);
    const __m256d iterations = _mm256_load_pd(s.iterations);
    const __m256d width = abs4(_mm256_sub_pd(x3, x0));
    const __m256d wide =
        _mm256_cmp_pd(width, _mm256_mul_pd(_mm256_set1_pd(kSearchTolerance), _mm256_add_pd(abs4(x1), abs4(x2))),
                      _CMP_GT_OQ);
    const __m256d above_floor = _mm256_cmp_pd(width, _mm256_set1_pd(kGoldenAbsoluteFloor), _CMP_GT_OQ);
    const __m256d below_bound = _mm256_cmp_pd(iterations, _mm256_set1_pd(kMaxGoldenIterations), _CMP_LT_OQ);
    const __m256d go_on = _mm256_and_pd(_mm256_and_pd(golden, wide), _mm256_and_pd(above_floor, below_bound));
    const __m256d go_right = _mm256_and_pd(go_on, _mm256_cmp_pd(f2, f1, _CMP_LT_OQ));
    const __m256d go_left = _mm256_andnot_pd(go_right, go_on);
    const __m256d ratio = _mm256_set1_pd(kGoldenRatio), fraction = _mm256_set1_pd(kGoldenFraction);
    // Right: x0 = x1, x1 = x2, x2 = R x1 + F x3. Left: x3 = x2, x2 = x1, x1 = R x2 + F x0.
    const __m256d new2 = _mm256_add_pd(_mm256_mul_pd(ratio, x2), _mm256_mul_pd(fraction, x3));
    const __m256d new1 = _mm256_add_pd(_mm256_mul_pd(ratio, x1), _mm256_mul_pd(fraction, x0));
    _mm256_store_pd(s.x0, _mm256_blendv_pd(x0, x1, go_right));
    _mm256_store_pd(s.x3, _mm256_blendv_pd(x3, x2, go_left));
    _mm256_store_pd(s.x1, _mm256_blendv_pd(_mm256_blendv_pd(x1, new1, go_left), x2, go_right));
    _mm256_store_pd(s.x2, _mm256_blendv_pd(_mm256_blendv_pd(x2, x1, go_left), new2, go_right));
    _mm256_store_pd(s.f1, _mm256_blendv_pd(f1, f2, go_right));
    _mm256_store_pd(s.f2, _mm256_blendv_pd(f2, f1, go_left));
    const __m256d du = _mm256_load_pd(s.du);
    _mm256_store_pd(s.du, _mm256_blendv_pd(_mm256_blendv_pd(du, new1, go_left), new2, go_right));
    _mm256_store_pd(s.iterations, _mm256_add_pd(iterations, _mm256_and_pd(go_on, _mm256_set1_pd(1.0))));
    const unsigned on = static_cast<unsigned>(_mm256_movemask_pd(go_on));
    s.right = (s.right & ~on) | static_cast<unsigned>(_mm256_movemask_pd(go_right));
    return s.golden & ~on;
}

// ---------------------------------------------------------------------------
// AVX-512: eight lanes, the same operations.

__attribute__((target("avx512f,avx2,fma"), always_inline)) inline __m512d abs8(__m512d v) {
    return _mm512_castsi512_pd(
        _mm512_and_epi64(_mm512_castpd_si512(v), _mm512_set1_epi64(0x7fffffffffffffffLL)));
}

template <int G>
__attribute__((target("avx512f,avx2,fma"), always_inline)) inline void cost8(const CostTable& t, LaneState* const* g,
                                                                             unsigned* odd) {
    __m512d du[G], j[G];
    __mmask8 finite[G];
    for (int i = 0; i < G; ++i) {
        du[i] = _mm512_load_pd(g[i]->du);
        finite[i] = _mm512_mask_cmp_pd_mask(static_cast<__mmask8>(g[i]->active), abs8(du[i]),
                                            _mm512_set1_pd(DBL_MAX), _CMP_LE_OQ);
        j[i] = _mm512_set1_pd(t.fixed_sum);
    }
    const __m512d one = _mm512_set1_pd(1.0), zero = _mm512_setzero_pd(), cp = _mm512_set1_pd(t.midpoint_power);
    for (int k = t.first_moving; k < kHorizonEnd; ++k) {
        const __m512d step = _mm512_set1_pd(t.step_coef[k]), free = _mm512_set1_pd(t.free_response[k]);
        const __m512d reference = _mm512_set1_pd(t.reference[k]);
        for (int i = 0; i < G; ++i) {
            const __m512d w = _mm512_add_pd(_mm512_mul_pd(step, du[i]), free);
            const __mmask8 on = _mm512_mask_cmp_pd_mask(finite[i], w, zero, _CMP_NLE_UQ);
            __m512d y = zero;
            if (on != 0) {
                const __m512d wp = vpow::pow8_avx512(_mm512_mask_blend_pd(on, one, w), t.exponent);
                y = _mm512_maskz_div_pd(on, wp, _mm512_add_pd(cp, wp));
            }
            const __m512d e = _mm512_sub_pd(reference, y);
            j[i] = _mm512_add_pd(_mm512_mul_pd(e, e), j[i]);
        }
    }
    for (int i = 0; i < G; ++i) {
        const __m512d cost =
            _mm512_add_pd(_mm512_mul_pd(_mm512_set1_pd(t.weight), _mm512_mul_pd(du[i], du[i])), j[i]);
        _mm512_mask_store_pd(g[i]->value, finite[i], cost);
        odd[i] = g[i]->active & ~static_cast<unsigned>(finite[i]);
    }
}

__attribute__((target("avx512f,avx2,fma"))) void evaluate_avx512(const CostTable& t, LaneState* const* g,
                                                                  int count, unsigned* odd) {
    switch (count) {
        case 1: cost8<1>(t, g, odd); break;
        case 2: cost8<2>(t, g, odd); break;
        case 3: cost8<3>(t, g, odd); break;
        case 4: cost8<4>(t, g, odd); break;
    }
}

__attribute__((target("avx512f,avx2,fma"))) unsigned golden_avx512(LaneState& s) {
    const __mmask8 golden = static_cast<__mmask8>(s.golden), right = static_cast<__mmask8>(s.right);
    const __m512d v = _mm512_load_pd(s.value);
    const __m512d f2 = _mm512_mask_blend_pd(golden & right, _mm512_load_pd(s.f2), v);
    const __m512d f1 = _mm512_mask_blend_pd(golden & ~right, _mm512_load_pd(s.f1), v);
    const __m512d x0 = _mm512_load_pd(s.x0), x1 = _mm512_load_pd(s.x1);
    const __m512d x2 = _mm512_load_pd(s.x2), x3 = _mm512_load_pd(s.x3);
    const __m512d iterations = _mm512_load_pd(s.iterations);
    const __m512d width = abs8(_mm512_sub_pd(x3, x0));
    __mmask8 go_on = _mm512_mask_cmp_pd_mask(
        golden, width, _mm512_mul_pd(_mm512_set1_pd(kSearchTolerance), _mm512_add_pd(abs8(x1), abs8(x2))),
        _CMP_GT_OQ);
    go_on = _mm512_mask_cmp_pd_mask(go_on, width, _mm512_set1_pd(kGoldenAbsoluteFloor), _CMP_GT_OQ);
    go_on = _mm512_mask_cmp_pd_mask(go_on, iterations, _mm512_set1_pd(kMaxGoldenIterations), _CMP_LT_OQ);
    const __mmask8 go_right = _mm512_mask_cmp_pd_mask(go_on, f2, f1, _CMP_LT_OQ);
    const __mmask8 go_left = go_on & ~go_right;
    const __m512d ratio = _mm512_set1_pd(kGoldenRatio), fraction = _mm512_set1_pd(kGoldenFraction);
    const __m512d new2 = _mm512_add_pd(_mm512_mul_pd(ratio, x2), _mm512_mul_pd(fraction, x3));
    const __m512d new1 = _mm512_add_pd(_mm512_mul_pd(ratio, x1), _mm512_mul_pd(fraction, x0));
    _mm512_store_pd(s.x0, _mm512_mask_blend_pd(go_right, x0, x1));
    _mm512_store_pd(s.x3, _mm512_mask_blend_pd(go_left, x3, x2));
    _mm512_store_pd(s.x1, _mm512_mask_blend_pd(go_right, _mm512_mask_blend_pd(go_left, x1, new1), x2));
    _mm512_store_pd(s.x2, _mm512_mask_blend_pd(go_right, _mm512_mask_blend_pd(go_left, x2, x1), new2));
    _mm512_store_pd(s.f1, _mm512_mask_blend_pd(go_right, f1, f2));
    _mm512_store_pd(s.f2, _mm512_mask_blend_pd(go_left, f2, f1));
    const __m512d du = _mm512_load_pd(s.du);
    _mm512_store_pd(s.du, _mm512_mask_blend_pd(go_right, _mm512_mask_blend_pd(go_left, du, new1), new2));
    _mm512_store_pd(s.iterations, _mm512_mask_add_pd(iterations, go_on, iterations, _mm512_set1_pd(1.0)));
    s.right = (s.right & ~static_cast<unsigned>(go_on)) | go_right;
    return s.golden & ~static_cast<unsigned>(go_on);
}

// A width: its lanes, the groups a member runs, and its vector steps.
struct Avx2 {
    static constexpr int kLanes = 4;
    static constexpr int kGroups = 4;
    static void evaluate(const CostTable& t, LaneState* const* groups, int count, unsigned* odd) {
        evaluate_avx2(t, groups, count, odd);
    }
    static unsigned golden(LaneState& s) { return golden_avx2(s); }
};

struct Avx512 {
    static constexpr int kLanes = 8;
    static constexpr int kGroups = 2;
    static void evaluate(const CostTable& t, LaneState* const* groups, int count, unsigned* odd) {
        evaluate_avx512(t, groups, count, odd);
    }
    static unsigned golden(LaneState& s) { return golden_avx512(s); }
};

// ---------------------------------------------------------------------------
// Scalar steps of single lanes.

// A start waiting for a lane, with the costs at its integer end points.
struct PendingStart {
    int index;
    double fa, fb;
};

struct StartQueue {
    PendingStart starts[kStartsPerChunk];
    int next = 0, count = 0;
};

// The starts of a chunk share their integer end points: k0 .. k0 + 5,
// evaluated here together.
template <class Kernel>
void load_chunk(const CostTable& t, unsigned chunk, StartQueue& queue) {
    constexpr int kPoints = kStartsPerChunk + 1;
    constexpr int kGroups = (kPoints + Kernel::kLanes - 1) / Kernel::kLanes;
    const int first = static_cast<int>(chunk) * kStartsPerChunk;
    const int k0 = search_start_value(first);
    LaneState points[kGroups]{};
    LaneState* groups[kGroups];
    for (int i = 0; i < kGroups; ++i) groups[i] = &points[i];
    for (int p = 0; p < kPoints; ++p) {
        LaneState& g = points[p / Kernel::kLanes];
        g.du[p % Kernel::kLanes] = k0 + p;
        g.active |= 1u << (p % Kernel::kLanes);
    }
    unsigned odd[kGroups];
    Kernel::evaluate(t, groups, kGroups, odd);  // integers: every lane finite
    auto cost = [&](int p) { return points[p / Kernel::kLanes].value[p % Kernel::kLanes]; };
    for (int i = 0; i < kStartsPerChunk; ++i) queue.starts[i] = {first + i, cost(i), cost(i + 1)};
    queue.next = 0;
    queue.count = kStartsPerChunk;
}

// bracket_from up to its first evaluation, f(c).
void begin_walk(LaneState& s, int l, const PendingStart& p) {
    const int k = search_start_value(p.index);
    double a = k, b = k + 1, fa = p.fa, fb = p.fb;
    if (fb > fa) {
        double t = a; a = b; b = t;
        t = fa; fa = fb; fb = t;
    }
    s.a[l] = a; s.b[l] = b; s.fa[l] = fa; s.fb[l] = fb;
    s.c[l] = (b - a) * kMagnification + b;
    s.du[l] = s.c[l];
    s.step[l] = WalkStep::C;
    s.walk_iterations[l] = 0;
    s.start[l] = p.index;
    s.active |= 1u << l;
}

// golden_section_minimise_known on the lane's bracket up to its first
// evaluation, f(x2) or f(x1).
void begin_golden(LaneState& s, int l) {
    const double a = s.a[l], b = s.b[l], c = s.c[l];
    s.x0[l] = a;
    s.x3[l] = c;
    if (std::fabs(c - b) > std::fabs(b - a)) {
        s.x1[l] = b;
        s.f1[l] = s.fb[l];
        s.x2[l] = b + kGoldenFraction * (c - b);
        s.du[l] = s.x2[l];
        s.right |= 1u << l;
    } else {
        s.x2[l] = b;
        s.f2[l] = s.fb[l];
        s.x1[l] = b - kGoldenFraction * (b - a);
        s.du[l] = s.x1[l];
        s.right &= ~(1u << l);
    }
    s.iterations[l] = 0.0;
    s.golden |= 1u << l;
}

// bracket_from from the evaluation the lane awaited (its value in value[l])
// up to the next one, or into the golden section when the walk ends.
void advance_walk(LaneState& s, int l) {
    double a = s.a[l], b = s.b[l], c = s.c[l], fa = s.fa[l], fb = s.fb[l], fc = s.fc[l], u = s.u[l];
    double fu = s.value[l];
    int iter = s.walk_iterations[l];
    bool ended = false;
    bool shift = true;
    switch (s.step[l]) {
        case WalkStep::C:
            fc = fu;
            shift = false;
            break;
        case WalkStep::Inside:
            if (fu < fc) {
                a = b; b = u; fa = fb; fb = fu;
                ended = true;
            } else if (fu > fb) {
                c = u; fc = fu;
                ended = true;
            } else {
                u = (c - b) * kMagnification + c;
                s.step[l] = WalkStep::Shift;
                s.u[l] = u;
                s.du[l] = u;
                return;
            }
            break;
        case WalkStep::Beyond:
            if (fu < fc) {
                b = c; c = u;
                u = (c - b) * kMagnification + c;
                fb = fc; fc = fu;
                s.b[l] = b; s.c[l] = c; s.fb[l] = fb; s.fc[l] = fc;
                s.step[l] = WalkStep::Shift;
                s.u[l] = u;
                s.du[l] = u;
                return;
            }
            break;
        case WalkStep::Shift:
            break;
    }
    if (!ended) {
        if (shift) {
            a = b; b = c; c = u;
            fa = fb; fb = fc; fc = fu;
            ++iter;
        }
        if (fb > fc && iter < kMaxBracketIterations) {
            u = bracket_parabola(a, b, c, fa, fb, fc);
            const double ulim = (c - b) * kMagnificationLimit + b;
            if ((b - u) * (u - c) > 0.0) {
                s.step[l] = WalkStep::Inside;
            } else if ((c - u) * (u - ulim) > 0.0) {
                s.step[l] = WalkStep::Beyond;
            } else {
                if ((u - ulim) * (ulim - c) >= 0.0)
                    u = ulim;
                else
                    u = (c - b) * kMagnification + c;
                s.step[l] = WalkStep::Shift;
            }
            s.a[l] = a; s.b[l] = b; s.c[l] = c;
            s.fa[l] = fa; s.fb[l] = fb; s.fc[l] = fc;
            s.u[l] = u;
            s.du[l] = u;
            s.walk_iterations[l] = iter;
            return;
        }
    }
    s.a[l] = a; s.b[l] = b; s.c[l] = c;
    s.fa[l] = fa; s.fb[l] = fb; s.fc[l] = fc;
    begin_golden(s, l);
}

// Moves the state of lane l of `from` to the free lane m of `to`.
void move_lane(LaneState& from, int l, LaneState& to, int m) {
    to.du[m] = from.du[l];
    to.x0[m] = from.x0[l]; to.x1[m] = from.x1[l]; to.x2[m] = from.x2[l]; to.x3[m] = from.x3[l];
    to.f1[m] = from.f1[l]; to.f2[m] = from.f2[l]; to.iterations[m] = from.iterations[l];
    to.a[m] = from.a[l]; to.b[m] = from.b[l]; to.c[m] = from.c[l];
    to.fa[m] = from.fa[l]; to.fb[m] = from.fb[l]; to.fc[m] = from.fc[l]; to.u[m] = from.u[l];
    to.walk_iterations[m] = from.walk_iterations[l];
    to.step[m] = from.step[l];
    to.start[m] = from.start[l];
    const unsigned bit = 1u << m;
    to.active |= bit;
    if (from.golden & (1u << l)) to.golden |= bit;
    if (from.right & (1u << l)) to.right |= bit; else to.right &= ~bit;
    from.active &= ~(1u << l);
    from.golden &= ~(1u << l);
}

template <class Kernel>
void run_lanes(LaneState* storage, const CostTable& t, unsigned chunk, SearchTeam::Claim& more,
               StartOutcome* outcomes) {
    constexpr unsigned kAll = (1u << Kernel::kLanes) - 1;
    StartQueue queue;
    load_chunk<Kernel>(t, chunk, queue);
    bool claiming = true;
    auto take = [&](LaneState& s, int l) {
        if (queue.next == queue.count) {
            if (!claiming || !more.next(chunk)) {
                claiming = false;
                return false;
            }
            load_chunk<Kernel>(t, chunk, queue);
        }
        begin_walk(s, l, queue.starts[queue.next++]);
        return true;
    };
    // groups[0 .. count - 1] have active lanes.
    LaneState* groups[Kernel::kGroups];
    int count = 0;
    for (int i = 0; i < Kernel::kGroups; ++i) {
        LaneState& s = storage[i];
        s.active = s.golden = s.right = 0;
        for (int l = 0; l < Kernel::kLanes && take(s, l); ++l) {
        }
        if (s.active != 0) groups[count++] = &s;
    }
    while (count > 0) {
        // Every active lane awaits the cost at its du.
        unsigned odd[Kernel::kGroups];
        Kernel::evaluate(t, groups, count, odd);
        for (int i = 0; i < count; ++i) {
            LaneState& s = *groups[i];
            for (unsigned m = odd[i]; m != 0; m &= m - 1) {
                const int l = __builtin_ctz(m);
                s.value[l] = evaluate_cost(t, s.du[l]);
            }
            const unsigned walking = s.active & ~s.golden;
            const unsigned ended = s.golden != 0 ? Kernel::golden(s) : 0u;
            for (unsigned m = walking; m != 0; m &= m - 1) advance_walk(s, __builtin_ctz(m));
            for (unsigned m = ended; m != 0; m &= m - 1) {
                const int l = __builtin_ctz(m);
                // The better interior point, as golden_section_loop returns it.
                outcomes[s.start[l]] =
                    s.f1[l] < s.f2[l] ? StartOutcome{s.f1[l], s.x1[l]} : StartOutcome{s.f2[l], s.x2[l]};
                s.active &= ~(1u << l);
                s.golden &= ~(1u << l);
                take(s, l);
            }
        }
        // Once no starts are left, the lanes still running move into as few
        // groups as hold them, and empty groups are no longer evaluated.
        if (!claiming) {
            int lanes = 0;
            for (int i = 0; i < count; ++i)
                for (unsigned m = groups[i]->active; m != 0; m &= m - 1) ++lanes;
            const int keep = (lanes + Kernel::kLanes - 1) / Kernel::kLanes;
            for (int i = keep; i < count; ++i) {
                for (unsigned m = groups[i]->active; m != 0; m &= m - 1) {
                    int to = 0;
                    while (groups[to]->active == kAll) ++to;
                    move_lane(*groups[i], __builtin_ctz(m), *groups[to], __builtin_ctz(~groups[to]->active));
                }
            }
            count = keep;
        }
    }
}

}  // namespace

int lockstep_lanes(vpow::PowPath path) {
    if (path == vpow::PowPath::Scalar || !vpow::pow_path_usable(path)) return 0;
    return path == vpow::PowPath::Avx512 ? Avx512::kLanes : Avx2::kLanes;
}

void LockstepLanes::run(const CostTable& table, unsigned chunk, SearchTeam::Claim& more, StartOutcome* outcomes) {
    if (lanes_ == Avx512::kLanes)
        run_lanes<Avx512>(groups_, table, chunk, more, outcomes);
    else
        run_lanes<Avx2>(groups_, table, chunk, more, outcomes);
}

#else  // no vector paths

int lockstep_lanes(vpow::PowPath) { return 0; }

void LockstepLanes::run(const CostTable&, unsigned, SearchTeam::Claim&, StartOutcome*) {}

#endif

}  // namespace veltrax
