// SPDX-License-Identifier: LGPL-2.1-or-later
// The lock-step move search (driver/lockstep_search.hpp). The vector
// evaluation of the cost and the golden-section step are written once
// (driver/lockstep_steps-inl.hpp) and compiled for AVX2 and for AVX-512; the
// bracket walk, which branches differently in every lane, and the hand-out of
// starts are scalar code on the lanes' arrays, shared by both widths.
#include "driver/lockstep_search.hpp"

#include <algorithm>
#include <cfloat>
#include <cmath>

#include "numeric/minimiser.hpp"

#if defined(__x86_64__)
#include "numeric/vpow/avx2.hpp"
#include "numeric/vpow/avx512.hpp"
#define VELTRAX_LOCKSTEP 1
#else
#define VELTRAX_LOCKSTEP 0
#endif

namespace veltrax {

#if VELTRAX_LOCKSTEP

namespace {

using detail::LaneGroup;
using detail::WalkStep;

}  // namespace

VELTRAX_BEGIN_AVX2
namespace lanes_avx2 {
namespace {
using vpow::avx2::Isa;
using vpow::avx2::pow_kernel;
#include "driver/lockstep_steps-inl.hpp"
}  // namespace
}  // namespace lanes_avx2
VELTRAX_END_TARGET

VELTRAX_BEGIN_AVX512
namespace lanes_avx512 {
namespace {
using vpow::avx512::Isa;
using vpow::avx512::pow_kernel;
#include "driver/lockstep_steps-inl.hpp"
}  // namespace
}  // namespace lanes_avx512
VELTRAX_END_TARGET

namespace {

// A width with a table access: its lanes, the groups a member runs, and its
// vector steps.
template <vpow::TableAccess Access>
struct Avx2Lanes {
    static constexpr int kLanes = 4;
    VELTRAX_AVX2 static void evaluate(const CostTable& t, LaneGroup* const* groups, int count, unsigned* left_out) {
        lanes_avx2::evaluate<Access>(t, groups, count, left_out);
    }
    VELTRAX_AVX2 static unsigned golden_step(LaneGroup& s) { return lanes_avx2::golden_step(s); }
};

template <vpow::TableAccess Access>
struct Avx512Lanes {
    static constexpr int kLanes = 8;
    VELTRAX_AVX512 static void evaluate(const CostTable& t, LaneGroup* const* groups, int count,
                                        unsigned* left_out) {
        lanes_avx512::evaluate<Access>(t, groups, count, left_out);
    }
    VELTRAX_AVX512 static unsigned golden_step(LaneGroup& s) { return lanes_avx512::golden_step(s); }
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
template <class Width>
void queue_chunk(const CostTable& t, unsigned chunk, StartQueue& queue) {
    constexpr int kPoints = kStartsPerChunk + 1;
    constexpr int kGroups = (kPoints + Width::kLanes - 1) / Width::kLanes;
    const int first = static_cast<int>(chunk) * kStartsPerChunk;
    const int k0 = search_start_value(first);
    LaneGroup points[kGroups]{};
    LaneGroup* groups[kGroups];
    for (int i = 0; i < kGroups; ++i) groups[i] = &points[i];
    for (int p = 0; p < kPoints; ++p) {
        LaneGroup& g = points[p / Width::kLanes];
        g.du[p % Width::kLanes] = k0 + p;
        g.active |= 1u << (p % Width::kLanes);
    }
    unsigned left_out[kGroups];
    Width::evaluate(t, groups, kGroups, left_out);  // integers: every lane finite
    auto cost = [&](int p) { return points[p / Width::kLanes].value[p % Width::kLanes]; };
    for (int i = 0; i < kStartsPerChunk; ++i) queue.starts[i] = {first + i, cost(i), cost(i + 1)};
    queue.next = 0;
    queue.count = kStartsPerChunk;
}

// bracket_from up to its first evaluation, f(c).
void begin_walk(LaneGroup& s, int l, const PendingStart& p) {
    const int k = search_start_value(p.index);
    double a = k, b = k + 1, fa = p.fa, fb = p.fb;
    if (fb > fa) {
        double t = a; a = b; b = t;
        t = fa; fa = fb; fb = t;
    }
    s.a[l] = a; s.b[l] = b; s.fa[l] = fa; s.fb[l] = fb;
    s.c[l] = (b - a) * kMagnification + b;
    s.du[l] = s.c[l];
    s.awaits[l] = WalkStep::FirstC;
    s.walk_iterations[l] = 0;
    s.start[l] = p.index;
    s.active |= 1u << l;
}

// golden_section_minimise_known on the lane's bracket up to its first
// evaluation, f(x2) or f(x1).
void begin_golden(LaneGroup& s, int l) {
    const double a = s.a[l], b = s.b[l], c = s.c[l];
    s.x0[l] = a;
    s.x3[l] = c;
    if (std::fabs(c - b) > std::fabs(b - a)) {
        s.x1[l] = b;
        s.f1[l] = s.fb[l];
        s.x2[l] = b + kGoldenFraction * (c - b);
        s.du[l] = s.x2[l];
        s.evaluates_x2 |= 1u << l;
    } else {
        s.x2[l] = b;
        s.f2[l] = s.fb[l];
        s.x1[l] = b - kGoldenFraction * (b - a);
        s.du[l] = s.x1[l];
        s.evaluates_x2 &= ~(1u << l);
    }
    s.golden_iterations[l] = 0.0;
    s.in_golden |= 1u << l;
}

// bracket_from from the evaluation the lane awaited (its value in value[l])
// up to the next one, or into the golden section when the walk ends.
void advance_walk(LaneGroup& s, int l) {
    double a = s.a[l], b = s.b[l], c = s.c[l], fa = s.fa[l], fb = s.fb[l], fc = s.fc[l], u = s.u[l];
    double fu = s.value[l];
    int iter = s.walk_iterations[l];
    bool ended = false;
    bool shift = true;
    switch (s.awaits[l]) {
        case WalkStep::FirstC:
            fc = fu;
            shift = false;
            break;
        case WalkStep::ParabolaInside:
            if (fu < fc) {
                a = b; b = u; fa = fb; fb = fu;
                ended = true;
            } else if (fu > fb) {
                c = u; fc = fu;
                ended = true;
            } else {
                u = (c - b) * kMagnification + c;
                s.awaits[l] = WalkStep::ThenShift;
                s.u[l] = u;
                s.du[l] = u;
                return;
            }
            break;
        case WalkStep::ParabolaBeyond:
            if (fu < fc) {
                b = c; c = u;
                u = (c - b) * kMagnification + c;
                fb = fc; fc = fu;
                s.b[l] = b; s.c[l] = c; s.fb[l] = fb; s.fc[l] = fc;
                s.awaits[l] = WalkStep::ThenShift;
                s.u[l] = u;
                s.du[l] = u;
                return;
            }
            break;
        case WalkStep::ThenShift:
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
                s.awaits[l] = WalkStep::ParabolaInside;
            } else if ((c - u) * (u - ulim) > 0.0) {
                s.awaits[l] = WalkStep::ParabolaBeyond;
            } else {
                if ((u - ulim) * (ulim - c) >= 0.0)
                    u = ulim;
                else
                    u = (c - b) * kMagnification + c;
                s.awaits[l] = WalkStep::ThenShift;
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
void move_lane(LaneGroup& from, int l, LaneGroup& to, int m) {
    to.du[m] = from.du[l];
    to.x0[m] = from.x0[l]; to.x1[m] = from.x1[l]; to.x2[m] = from.x2[l]; to.x3[m] = from.x3[l];
    to.f1[m] = from.f1[l]; to.f2[m] = from.f2[l]; to.golden_iterations[m] = from.golden_iterations[l];
    to.a[m] = from.a[l]; to.b[m] = from.b[l]; to.c[m] = from.c[l];
    to.fa[m] = from.fa[l]; to.fb[m] = from.fb[l]; to.fc[m] = from.fc[l]; to.u[m] = from.u[l];
    to.walk_iterations[m] = from.walk_iterations[l];
    to.awaits[m] = from.awaits[l];
    to.start[m] = from.start[l];
    const unsigned bit = 1u << m;
    to.active |= bit;
    if (from.in_golden & (1u << l)) to.in_golden |= bit;
    if (from.evaluates_x2 & (1u << l)) to.evaluates_x2 |= bit; else to.evaluates_x2 &= ~bit;
    from.active &= ~(1u << l);
    from.in_golden &= ~(1u << l);
}

template <class Width>
void run_lanes(LaneGroup* storage, int group_count, const CostTable& t, unsigned chunk, SearchTeam::Claim& more,
               StartOutcome* outcomes) {
    constexpr unsigned kAll = (1u << Width::kLanes) - 1;
    StartQueue queue;
    queue_chunk<Width>(t, chunk, queue);
    bool claiming = true;
    auto take_start = [&](LaneGroup& s, int l) {
        if (queue.next == queue.count) {
            if (!claiming || !more.next(chunk)) {
                claiming = false;
                return false;
            }
            queue_chunk<Width>(t, chunk, queue);
        }
        begin_walk(s, l, queue.starts[queue.next++]);
        return true;
    };
    // groups[0 .. count - 1] have active lanes.
    LaneGroup* groups[LockstepLanes::kMaxGroups];
    int count = 0;
    for (int i = 0; i < group_count; ++i) {
        LaneGroup& s = storage[i];
        s.active = s.in_golden = s.evaluates_x2 = 0;
        for (int l = 0; l < Width::kLanes && take_start(s, l); ++l) {
        }
        if (s.active != 0) groups[count++] = &s;
    }
    while (count > 0) {
        // Every active lane awaits the cost at its du.
        unsigned left_out[LockstepLanes::kMaxGroups];
        Width::evaluate(t, groups, count, left_out);
        for (int i = 0; i < count; ++i) {
            LaneGroup& s = *groups[i];
            for (unsigned m = left_out[i]; m != 0; m &= m - 1) {
                const int l = __builtin_ctz(m);
                s.value[l] = evaluate_cost(t, s.du[l]);
            }
            const unsigned walking = s.active & ~s.in_golden;
            const unsigned ended = s.in_golden != 0 ? Width::golden_step(s) : 0u;
            for (unsigned m = walking; m != 0; m &= m - 1) advance_walk(s, __builtin_ctz(m));
            for (unsigned m = ended; m != 0; m &= m - 1) {
                const int l = __builtin_ctz(m);
                // The better interior point, as golden_section_loop returns it.
                outcomes[s.start[l]] =
                    s.f1[l] < s.f2[l] ? StartOutcome{s.f1[l], s.x1[l]} : StartOutcome{s.f2[l], s.x2[l]};
                s.active &= ~(1u << l);
                s.in_golden &= ~(1u << l);
                take_start(s, l);
            }
        }
        // Once no starts are left, the lanes still running move into as few
        // groups as hold them, and empty groups are no longer evaluated.
        if (!claiming) {
            int lanes = 0;
            for (int i = 0; i < count; ++i)
                for (unsigned m = groups[i]->active; m != 0; m &= m - 1) ++lanes;
            const int keep = (lanes + Width::kLanes - 1) / Width::kLanes;
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
    return path == vpow::PowPath::Avx512 ? 8 : 4;
}

void LockstepLanes::run(const CostTable& table, unsigned chunk, SearchTeam::Claim& more, StartOutcome* outcomes) {
    using vpow::TableAccess;
    const bool loads = access_ == TableAccess::Loads;
    const int starts = more.alone() ? kSearchStarts : share_;
    const int groups = std::min((starts + lanes_ - 1) / lanes_, kMaxGroups);
    if (lanes_ == 8 && loads)
        run_lanes<Avx512Lanes<TableAccess::Loads>>(groups_, groups, table, chunk, more, outcomes);
    else if (lanes_ == 8)
        run_lanes<Avx512Lanes<TableAccess::Gathers>>(groups_, groups, table, chunk, more, outcomes);
    else if (loads)
        run_lanes<Avx2Lanes<TableAccess::Loads>>(groups_, groups, table, chunk, more, outcomes);
    else
        run_lanes<Avx2Lanes<TableAccess::Gathers>>(groups_, groups, table, chunk, more, outcomes);
}

#else  // no vector paths

int lockstep_lanes(vpow::PowPath) { return 0; }

void LockstepLanes::run(const CostTable&, unsigned, SearchTeam::Claim&, StartOutcome*) {}

#endif

}  // namespace veltrax
