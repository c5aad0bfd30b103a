// SPDX-License-Identifier: LGPL-2.1-or-later
// The three builds of the simulation. The values are the plug-ins' numbers.
#pragma once

namespace veltrax {

enum class Build : int {
    Preview = 1,      // veltrax1: the controller sees the set-point schedule ten samples ahead
    Base = 2,         // veltrax2: the controller sees the current set-point
    PreviewHold = 3,  // veltrax3: preview, and the estimator pauses around set-point changes
};

}  // namespace veltrax
