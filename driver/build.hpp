// The three builds of the simulation and what tells them apart.
#pragma once

namespace veltrax {

enum class Build : int {
    V1 = 1,  // set-point preview
    V2 = 2,  // base build
    V3 = 3,  // set-point preview and estimation hold
};

template <Build B>
struct BuildTraits {
    static constexpr bool preview = B != Build::V2;
    static constexpr bool estimation_hold = B == Build::V3;
    // veltrax1 records the cost of the applied move instead of the dose.
    static constexpr bool records_applied_cost = B == Build::V1;
};

}  // namespace veltrax
