// SPDX-License-Identifier: LGPL-2.1-or-later
// Controllers and plants for Python: built-in controllers from the package's
// dicts, a Python callable as a Controller, and veltrax._core.Plant.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "api/veltrax.hpp"

namespace veltrax::python {

// A controller that the package hands over: a dict of a built-in kind
// ({"kind": "pid", "kp": ..., ...}) or a callable, called with an
// Observation per sample period and returning a real number.
std::unique_ptr<Controller> controller_of(const pybind11::object& setup);

// True for a callable (which runs with the interpreter lock held).
bool is_python_controller(const Controller* controller);

// Named settings as the package hands them over (a dict of the fields).
Settings settings_of(const pybind11::dict& d);

// Plant models from the JSON of a scenario file's blocks ("disturbances",
// "sensor", "actuator", "changes" of one object), keyed by (seed,
// individual); none for no text.
std::optional<PlantModels> plant_models_of(const std::optional<std::string>& json, std::uint64_t seed,
                                           std::uint64_t individual);

// Registers Observation, Plant and step_plants in veltrax._core.
void register_control(pybind11::module_& core);

}  // namespace veltrax::python
