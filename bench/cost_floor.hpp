// SPDX-License-Identifier: LGPL-2.1-or-later
// The least time per power of a cost evaluation in vector lanes: the power
// kernel with the cost's own arithmetic around each power (the moving
// terms' w, the output's division, the squared errors' sum), on full
// vectors and without the search (bench/cost_floor-inl.hpp).
#pragma once

#include "numeric/vpow/pow.hpp"

namespace veltrax::bench {

// Seconds per power on `path` (AVX2 or AVX-512, usable here) with its
// table access: the fastest of a few rounds over 1024 moves.
double cost_floor_seconds_per_value(vpow::PowPath path, vpow::TableAccess access);

}  // namespace veltrax::bench
