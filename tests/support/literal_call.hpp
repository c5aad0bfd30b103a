// SPDX-License-Identifier: LGPL-2.1-or-later
// A call whose move search is the literal one (every evaluation where it is
// written), for comparison with the fast search.
#pragma once

#include <vector>

#include "api/internal.hpp"

namespace veltrax::testing {

inline std::vector<Matrix> literal_call(Simulation& sim, const std::vector<Matrix>& inputs) {
    core::RunOptions literal;
    literal.search = SearchMethod::Literal;
    return call_with_core_options(sim, inputs, 5, literal);
}

}  // namespace veltrax::testing
