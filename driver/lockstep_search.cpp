// SPDX-License-Identifier: LGPL-2.1-or-later
// The lock-step move search (driver/lockstep_search.hpp). The vector
// evaluation of the cost and the golden-section step are written once
// (driver/lockstep_steps-inl.hpp) and compiled for AVX2 and for AVX-512, and
// so are the scalar steps of single lanes and the loop that drives them
// (driver/lockstep_lanes-inl.hpp), which then call the vector steps directly.
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

// A start waiting for a lane, with the costs at its integer end points.
struct PendingStart {
    int index;
    double fa, fb;
};

struct StartQueue {
    PendingStart starts[kSearchStarts];
    int next = 0, count = 0;
};

}  // namespace

VELTRAX_BEGIN_AVX2
namespace lanes_avx2 {
namespace {
using vpow::avx2::Isa;
using vpow::avx2::pow_kernel;
#include "driver/lockstep_steps-inl.hpp"
#include "driver/lockstep_lanes-inl.hpp"
}  // namespace
}  // namespace lanes_avx2
VELTRAX_END_TARGET

VELTRAX_BEGIN_AVX512
namespace lanes_avx512 {
namespace {
using vpow::avx512::Isa;
using vpow::avx512::pow_kernel;
#include "driver/lockstep_steps-inl.hpp"
#include "driver/lockstep_lanes-inl.hpp"
}  // namespace
}  // namespace lanes_avx512
VELTRAX_END_TARGET

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
        lanes_avx512::run_lanes<TableAccess::Loads>(groups_, groups, starts, table, chunk, more, outcomes);
    else if (lanes_ == 8)
        lanes_avx512::run_lanes<TableAccess::Gathers>(groups_, groups, starts, table, chunk, more, outcomes);
    else if (loads)
        lanes_avx2::run_lanes<TableAccess::Loads>(groups_, groups, starts, table, chunk, more, outcomes);
    else
        lanes_avx2::run_lanes<TableAccess::Gathers>(groups_, groups, starts, table, chunk, more, outcomes);
}

#else  // no vector paths

int lockstep_lanes(vpow::PowPath) { return 0; }

void LockstepLanes::run(const CostTable&, unsigned, SearchTeam::Claim&, StartOutcome*) {}

#endif

}  // namespace veltrax
