// SPDX-License-Identifier: LGPL-2.1-or-later
// Standard normal quantile in fixed arithmetic (the same bits wherever the
// same C library runs), for turning uniform draws into normal ones.
#pragma once

namespace veltrax::experiments {

// The z with P(Z <= z) = p for a standard normal Z, 0 < p < 1; relative error
// below 1.2e-9. A rational approximation in the centre and in each tail in
// sqrt(-2 log q); p outside (0, 1) gives NaN.
double normal_quantile(double p);

}  // namespace veltrax::experiments
