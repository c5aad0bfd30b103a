// SPDX-License-Identifier: LGPL-2.1-or-later
// The cost's own arithmetic around each power, in full vectors, written once
// over the traits type Isa like numeric/vpow/kernel-inl.hpp and included in
// bench/cost_floor.cpp inside each instruction set's namespace and target
// region. No include guard, no includes.

// For each vector of moves in du[0 .. n) (n a multiple of the lanes) and
// each of the terms: w = g du + f, its power, the output wp / (cp + wp), and
// the sum of the squared errors, stored per move. No lane is left out and
// nothing is searched: the least work a cost evaluation in lanes does.
template <vpow::TableAccess Access>
void cost_sums(const double* du, std::size_t n, const FloorTerms& t, double* out) {
    using Vec = Isa::Vec;
    const Vec cp = Isa::set1(t.midpoint_power);
    for (std::size_t i = 0; i < n; i += Isa::kLanes) {
        const Vec d = Isa::loadu(du + i);
        Vec wp[FloorTerms::kTerms];
        for (int k = 0; k < FloorTerms::kTerms; k += 2) {
            wp[k] = pow_kernel<Access>(Isa::add(Isa::mul(Isa::set1(t.step[k]), d), Isa::set1(t.free[k])), t.exponent);
            wp[k + 1] = pow_kernel<Access>(Isa::add(Isa::mul(Isa::set1(t.step[k + 1]), d), Isa::set1(t.free[k + 1])),
                                           t.exponent);
        }
        Vec j = Isa::zero();
        for (int k = 0; k < FloorTerms::kTerms; ++k) {
            const Vec e = Isa::sub(Isa::set1(t.reference[k]), Isa::div(wp[k], Isa::add(cp, wp[k])));
            j = Isa::add(Isa::mul(e, e), j);
        }
        Isa::storeu(out + i, j);
    }
}
