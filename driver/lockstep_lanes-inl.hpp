// SPDX-License-Identifier: LGPL-2.1-or-later
// The scalar steps of single lanes (the bracket walk, which branches
// differently in every lane, and the hand-out of starts) and the loop that
// drives a member's lanes, written once over the traits type Isa like
// driver/lockstep_steps-inl.hpp and included after it in the same namespace
// and target region, so that the loop calls the vector steps directly. No
// include guard, no includes.

// Queues the starts of chunks[0 .. n - 1]. The starts of a chunk share
// their integer end points, k0 .. k0 + 5; those of all the chunks are
// evaluated together, in the groups of `scratch` (as many as the points
// need, at most LockstepLanes::kMaxGroups at a time).
template <vpow::TableAccess Access>
void queue_chunks(const CostTable& t, const unsigned* chunks, int n, LaneGroup* scratch, StartQueue& queue) {
    constexpr int kPoints = kStartsPerChunk + 1;
    constexpr int kChunksAtOnce = LockstepLanes::kMaxGroups * Isa::kLanes / kPoints;
    queue.next = queue.count = 0;
    for (int done = 0; done < n; done += kChunksAtOnce) {
        const int chunks_now = std::min(n - done, kChunksAtOnce);
        const int group_count = (chunks_now * kPoints + Isa::kLanes - 1) / Isa::kLanes;
        LaneGroup* groups[LockstepLanes::kMaxGroups];
        for (int i = 0; i < group_count; ++i) {
            groups[i] = &scratch[i];
            scratch[i].active = scratch[i].in_golden = 0;
        }
        for (int p = 0; p < chunks_now * kPoints; ++p) {
            LaneGroup& g = scratch[p / Isa::kLanes];
            const int first = static_cast<int>(chunks[done + p / kPoints]) * kStartsPerChunk;
            g.du[p % Isa::kLanes] = search_start_value(first) + p % kPoints;
            g.active |= 1u << (p % Isa::kLanes);
        }
        unsigned left_out[LockstepLanes::kMaxGroups];
        evaluate<Access>(t, groups, group_count, left_out);  // integers: every lane finite
        auto cost = [scratch](int p) { return scratch[p / Isa::kLanes].value[p % Isa::kLanes]; };
        for (int c = 0; c < chunks_now; ++c) {
            const int first = static_cast<int>(chunks[done + c]) * kStartsPerChunk;
            for (int i = 0; i < kStartsPerChunk; ++i)
                queue.starts[queue.count++] = {first + i, cost(c * kPoints + i), cost(c * kPoints + i + 1)};
        }
    }
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

// Runs a member's lanes: see LockstepLanes::run. `share` is how many starts
// the lanes take at first (all of them when the caller runs the job alone).
template <vpow::TableAccess Access>
void run_lanes(LaneGroup* storage, int group_count, int share, const CostTable& t, unsigned chunk,
               SearchTeam::Claim& more, StartOutcome* outcomes) {
    constexpr unsigned kAll = (1u << Isa::kLanes) - 1;
    // The chunks of the member's share, claimed and evaluated at once, its
    // storage serving as scratch before the lanes take their starts.
    StartQueue queue;
    unsigned chunks[kSearchChunks] = {chunk};
    int claimed = 1;
    bool claiming = true;
    while (claimed * kStartsPerChunk < share && (claiming = more.next(chunks[claimed]))) ++claimed;
    queue_chunks<Access>(t, chunks, claimed, storage, queue);
    auto take_start = [&](LaneGroup& s, int l) {
        if (queue.next == queue.count) {
            if (!claiming || !more.next(chunk)) {
                claiming = false;
                return false;
            }
            LaneGroup scratch[(kStartsPerChunk + Isa::kLanes) / Isa::kLanes]{};
            queue_chunks<Access>(t, &chunk, 1, scratch, queue);
        }
        begin_walk(s, l, queue.starts[queue.next++]);
        return true;
    };
    // The lanes take the member's share of the starts, no more: a start
    // claimed beyond it would wait for a lane while the other members, left
    // with fewer, finish early.
    LaneGroup* groups[LockstepLanes::kMaxGroups];
    int count = 0;
    for (int i = 0; i < group_count; ++i) {
        LaneGroup& s = storage[i];
        s.active = s.in_golden = s.evaluates_x2 = 0;
        for (int l = 0; l < Isa::kLanes && share > 0 && take_start(s, l); ++l) --share;
        if (s.active != 0) groups[count++] = &s;
    }
    while (count > 0) {
        // Every active lane awaits the cost at its du.
        unsigned left_out[LockstepLanes::kMaxGroups], golden_ended[LockstepLanes::kMaxGroups];
        evaluate<Access>(t, groups, count, left_out, golden_ended);
        for (int i = 0; i < count; ++i) {
            LaneGroup& s = *groups[i];
            for (unsigned m = left_out[i]; m != 0; m &= m - 1) {
                const int l = __builtin_ctz(m);
                s.value[l] = evaluate_cost(t, s.du[l]);
            }
            const unsigned walking = s.active & ~s.in_golden;
            const unsigned ended =
                golden_ended[i] == kGoldenPending ? golden_step(s, Isa::load(s.value)) : golden_ended[i];
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
            for (int i = 0; i < count; ++i) lanes += __builtin_popcount(groups[i]->active);
            const int keep = (lanes + Isa::kLanes - 1) / Isa::kLanes;
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
