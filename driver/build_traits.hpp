// SPDX-License-Identifier: LGPL-2.1-or-later
// What tells the builds apart, at compile time.
#pragma once

#include "driver/build.hpp"

namespace veltrax {

template <core::Build B>
struct BuildTraits {
    static constexpr bool preview = B != core::Build::Base;
    static constexpr bool estimation_hold = B == core::Build::PreviewHold;
    // veltrax1 records the cost of the applied move instead of the dose.
    static constexpr bool records_applied_cost = B == core::Build::Preview;
};

}  // namespace veltrax
