// SPDX-License-Identifier: LGPL-2.1-or-later
// What the columns of sweep.csv hold, in words and units, for the report's
// axis titles and the store's variable attributes. Time is in the units of
// the recorded time column t (minutes for the built-in model, whose sample
// period is 60 model seconds), outputs in the measurement's range [0, 1],
// control in the units of the control signal u.
#pragma once

#include <string>

namespace veltrax::experiments {

struct ColumnLabel {
    std::string title;  // "integral of absolute error"
    std::string unit;   // "output × time"; empty: none
};

// The label of a column of sweep.csv; the column's own name and no unit for
// one not described.
ColumnLabel column_label(const std::string& column);

// "TITLE (UNIT)" or "TITLE".
std::string axis_title(const std::string& column);

}  // namespace veltrax::experiments
