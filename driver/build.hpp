// SPDX-License-Identifier: LGPL-2.1-or-later
// The three builds of the simulation. The values are the plug-ins' numbers:
// veltrax1 is Preview, veltrax2 Base, veltrax3 PreviewHold.
#pragma once

namespace veltrax::core {

enum class Build : int {
    Preview = 1,      // the controller sees the set-point schedule ten samples ahead
    Base = 2,         // the controller sees the current set-point
    PreviewHold = 3,  // preview, and the estimator pauses around set-point changes
};

}  // namespace veltrax::core
