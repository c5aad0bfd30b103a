// SPDX-License-Identifier: LGPL-2.1-or-later
// The lock-step move search: the starts of the fast search run side by
// side in 4 (AVX2) or 8 (AVX-512) lanes, one start to a lane, and the lanes'
// cost evaluations are done together as one vector evaluation of the cost
// table. Each lane does exactly the scalar sequence of its start - the walk
// of bracket_from, then the golden section of golden_section_minimise_known
// (numeric/minimiser.hpp), each evaluation at the same abscissa and each step
// with the same operations - so every start ends with the bits of the scalar
// search. A lane whose start has finished records it and takes the next
// start; a member of the search team claims a further chunk of starts when
// it has none left.
#pragma once

#include <cstdint>

#include "controller/cost.hpp"
#include "driver/search_starts.hpp"
#include "driver/search_team.hpp"
#include "numeric/vpow/pow.hpp"

namespace veltrax {

// Lanes of the lock-step search on a power-function path: 8 for AVX-512, 4
// for AVX2, 0 (no lock-step search) for the scalar path or a path that is
// not usable here.
int lockstep_lanes(vpow::PowPath path);

namespace detail {

// What a walking lane's pending evaluation is for, in bracket_from's order.
enum class WalkStep : std::uint8_t {
    FirstC,          // f(c), before the loop
    ParabolaInside,  // f(u) for the parabola's u between b and c
    ParabolaBeyond,  // f(u) for the parabola's u beyond c, short of the limit
    ThenShift,       // f(u), after which the three points shift
};

// The state of a group of up to eight lanes. Arrays hold one value per lane;
// bit l of a lane set stands for lane l.
struct alignas(64) LaneGroup {
    static constexpr int kMaxLanes = 8;
    double du[kMaxLanes];     // the abscissa each lane evaluates next
    double value[kMaxLanes];  // its cost, once evaluated
    // Golden section: [x0, x3] with interior points x1, x2 (costs f1, f2)
    // and the loop iterations begun.
    double x0[kMaxLanes], x1[kMaxLanes], x2[kMaxLanes], x3[kMaxLanes];
    double f1[kMaxLanes], f2[kMaxLanes], golden_iterations[kMaxLanes];
    // Bracket walk: a, b, c with their costs, the trial point u, the
    // iterations done and the evaluation awaited.
    double a[kMaxLanes], b[kMaxLanes], c[kMaxLanes];
    double fa[kMaxLanes], fb[kMaxLanes], fc[kMaxLanes], u[kMaxLanes];
    int walk_iterations[kMaxLanes];
    WalkStep awaits[kMaxLanes];
    int start[kMaxLanes];       // start index of each lane
    unsigned active = 0;        // lanes that run a start
    unsigned in_golden = 0;     // of those, the lanes in the golden section
    unsigned evaluates_x2 = 0;  // golden lanes that evaluate x2 (the others x1)
};

}  // namespace detail

// The lanes of one member of the search team, in groups of 4 or 8 whose
// evaluations overlap in the CPU (the next evaluation of a lane waits for its
// last one, a long chain that a single group leaves mostly waiting).
class LockstepLanes {
public:
    static constexpr int kMaxGroups = (kSearchStarts + 3) / 4;

    // lanes: lockstep_lanes() of a usable path, 4 or 8; access: how its
    // power kernel reads the tables; share: how many starts it runs at once
    // on a team (all of them when the caller runs a job alone).
    LockstepLanes(int lanes, vpow::TableAccess access, int share) : lanes_(lanes), access_(access), share_(share) {}

    // Searches the starts of chunk `chunk` and of every chunk that `more`
    // hands out, and writes each start's outcome to outcomes[start index].
    void run(const CostTable& table, unsigned chunk, SearchTeam::Claim& more, StartOutcome* outcomes);

private:
    int lanes_;
    vpow::TableAccess access_;
    int share_;
    detail::LaneGroup groups_[kMaxGroups]{};
};

}  // namespace veltrax
