// SPDX-License-Identifier: LGPL-2.1-or-later
// veltrax._core.sensitivity: the experiments library's sensitivity designs,
// their indices and the tuning, for veltrax.sensitivity and veltrax.tune.
#pragma once

#include <pybind11/pybind11.h>

// Adds the submodule "sensitivity" to the compiled module.
void register_sensitivity(pybind11::module_& core);
