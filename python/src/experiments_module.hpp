// SPDX-License-Identifier: LGPL-2.1-or-later
// veltrax._core.experiments: scenarios, run folders and sweeps with the
// command-line tool's own code, and the values that the package shares with
// it (seed range, column names, set-point schedules).
#pragma once

#include <pybind11/pybind11.h>

// Adds the submodule "experiments" to the compiled module.
void register_experiments(pybind11::module_& core);
