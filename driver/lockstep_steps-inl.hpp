// SPDX-License-Identifier: LGPL-2.1-or-later
// The vector steps of the lock-step search, written once over the traits type
// Isa of an instruction set (numeric/vpow/target.hpp): included by
// driver/lockstep_search.cpp inside a namespace and target region of each
// set, where Isa and pow_kernel are that set's. No include guard, no includes.

// value[l] = evaluate_cost(t, du[l]) in each group for its active lanes whose
// du is finite; left_out[i] receives group i's active lanes that were not
// evaluated (du infinite or NaN), for the scalar cost. With `ended`, each
// group's golden lanes then take their step (golden_step), and ended[i]
// receives the lanes whose search has ended, or kGoldenPending when a golden
// lane awaits the scalar cost. The terms' powers are
// computed packed: every w above 0, of every term and group, goes into one
// array, whose full vectors the power kernel takes two at a time (only the
// last vector has lanes without a value); each term then takes its powers
// back, and each lane sums its terms in their order. (Dividing in the packed
// array instead measured slower.)
// One step of golden_section_loop in every golden lane: the value just
// evaluated, v, becomes f2 (lanes that evaluated x2) or f1, then the loop
// test, then the next interior point. Returns the golden lanes whose loop has
// ended.
inline unsigned golden_step(LaneGroup& s, Isa::Vec v) {
    using Vec = Isa::Vec;
    using Mask = Isa::Mask;
    const Mask golden = Isa::mask_of(s.in_golden), at_x2 = Isa::mask_of(s.evaluates_x2);
    const Vec f2 = Isa::blend(Isa::both(golden, at_x2), Isa::load(s.f2), v);
    const Vec f1 = Isa::blend(Isa::first_not_second(golden, at_x2), Isa::load(s.f1), v);
    const Vec x0 = Isa::load(s.x0), x1 = Isa::load(s.x1);
    const Vec x2 = Isa::load(s.x2), x3 = Isa::load(s.x3);
    const Vec iterations = Isa::load(s.golden_iterations);
    const Vec width = Isa::abs(Isa::sub(x3, x0));
    Mask go_on = Isa::compare_in<_CMP_GT_OQ>(
        golden, width, Isa::mul(Isa::set1(kSearchTolerance), Isa::add(Isa::abs(x1), Isa::abs(x2))));
    go_on = Isa::compare_in<_CMP_GT_OQ>(go_on, width, Isa::set1(kGoldenAbsoluteFloor));
    go_on = Isa::compare_in<_CMP_LT_OQ>(go_on, iterations, Isa::set1(kMaxGoldenIterations));
    const Mask go_right = Isa::compare_in<_CMP_LT_OQ>(go_on, f2, f1);
    const Mask go_left = Isa::first_not_second(go_on, go_right);
    const Vec ratio = Isa::set1(kGoldenRatio), fraction = Isa::set1(kGoldenFraction);
    // Right: x0 = x1, x1 = x2, x2 = R x1 + F x3. Left: x3 = x2, x2 = x1, x1 = R x2 + F x0.
    const Vec new2 = Isa::add(Isa::mul(ratio, x2), Isa::mul(fraction, x3));
    const Vec new1 = Isa::add(Isa::mul(ratio, x1), Isa::mul(fraction, x0));
    Isa::store(s.x0, Isa::blend(go_right, x0, x1));
    Isa::store(s.x3, Isa::blend(go_left, x3, x2));
    Isa::store(s.x1, Isa::blend(go_right, Isa::blend(go_left, x1, new1), x2));
    Isa::store(s.x2, Isa::blend(go_right, Isa::blend(go_left, x2, x1), new2));
    Isa::store(s.f1, Isa::blend(go_right, f1, f2));
    Isa::store(s.f2, Isa::blend(go_left, f2, f1));
    const Vec du = Isa::load(s.du);
    Isa::store(s.du, Isa::blend(go_right, Isa::blend(go_left, du, new1), new2));
    Isa::store(s.golden_iterations, Isa::add_where(go_on, iterations, Isa::set1(1.0)));
    const unsigned on = Isa::lanes_of(go_on);
    s.evaluates_x2 = (s.evaluates_x2 & ~on) | Isa::lanes_of(go_right);
    return s.in_golden & ~on;
}

// What evaluate leaves in ended[i] for a group whose golden step waits for
// the scalar cost of a lane.
constexpr unsigned kGoldenPending = ~0u;

template <vpow::TableAccess Access>
inline void evaluate(const CostTable& t, LaneGroup* const* g, int groups, unsigned* left_out,
                     unsigned* ended = nullptr) {
    using Vec = Isa::Vec;
    using Mask = Isa::Mask;
    constexpr int kLanes = Isa::kLanes;
    constexpr int kMaxGroups = LockstepLanes::kMaxGroups;
    unsigned finite[kMaxGroups];
    for (int i = 0; i < groups; ++i) {
        const Mask ok = Isa::compare_in<_CMP_LE_OQ>(Isa::mask_of(g[i]->active), Isa::abs(Isa::load(g[i]->du)),
                                                    Isa::set1(DBL_MAX));
        finite[i] = Isa::lanes_of(ok);
    }
    // w of every term and group; those above 0 (or NaN, as the scalar test
    // !(w <= 0) takes them) packed into `powers`, term k of group i from
    // at[k][i] on.
    alignas(64) double powers[(kHorizonEnd * kMaxGroups + 2) * kLanes];
    Mask on[kHorizonEnd][kMaxGroups];
    int at[kHorizonEnd][kMaxGroups];
    int count = 0;
    const Vec zero = Isa::zero();
    for (int k = t.first_moving; k < kHorizonEnd; ++k) {
        const Vec step = Isa::set1(t.step_coef[k]), free = Isa::set1(t.free_response[k]);
        for (int i = 0; i < groups; ++i) {
            const Vec w = Isa::add(Isa::mul(step, Isa::load(g[i]->du)), free);
            on[k][i] = Isa::compare_in<_CMP_NLE_UQ>(Isa::mask_of(finite[i]), w, zero);
            at[k][i] = count;
            if (Isa::lanes_of(on[k][i]) == Isa::kAllLanes) {
                Isa::storeu(powers + count, w);
                count += kLanes;
            } else {
                count += Isa::pack(powers + count, on[k][i], w);
            }
        }
    }
    // The powers in place, two vectors at a time.
    const int vectors = (count + kLanes - 1) / kLanes;
    for (int l = count; l < vectors * kLanes; ++l) powers[l] = 1.0;
    int v = 0;
    for (; v + 2 <= vectors; v += 2) {
        const Vec a = pow_kernel<Access>(Isa::load(powers + v * kLanes), t.exponent);
        const Vec b = pow_kernel<Access>(Isa::load(powers + (v + 1) * kLanes), t.exponent);
        Isa::store(powers + v * kLanes, a);
        Isa::store(powers + (v + 1) * kLanes, b);
    }
    if (v < vectors) Isa::store(powers + v * kLanes, pow_kernel<Access>(Isa::load(powers + v * kLanes), t.exponent));
    // The sums, each group's terms in their order; a term whose w is not above
    // 0 has output 0.
    const Vec cp = Isa::set1(t.midpoint_power), weight = Isa::set1(t.weight);
    for (int i = 0; i < groups; ++i) {
        Vec j = Isa::set1(t.fixed_sum);
        for (int k = t.first_moving; k < kHorizonEnd; ++k) {
            const Vec wp = Isa::lanes_of(on[k][i]) == Isa::kAllLanes ? Isa::loadu(powers + at[k][i])
                                                                     : Isa::unpack(on[k][i], powers + at[k][i]);
            const Vec e = Isa::sub(Isa::set1(t.reference[k]), Isa::div_or_zero(on[k][i], wp, Isa::add(cp, wp)));
            j = Isa::add(Isa::mul(e, e), j);
        }
        const Vec du = Isa::load(g[i]->du);
        const Vec value = Isa::add(Isa::mul(weight, Isa::mul(du, du)), j);
        Isa::store_lanes(g[i]->value, Isa::mask_of(finite[i]), value);
        left_out[i] = g[i]->active & ~finite[i];
        if (ended == nullptr) continue;
        if ((left_out[i] & g[i]->in_golden) != 0)
            ended[i] = kGoldenPending;
        else
            ended[i] = g[i]->in_golden != 0 ? golden_step(*g[i], value) : 0u;
    }
}
