// SPDX-License-Identifier: LGPL-2.1-or-later
// Settings as the core's decoded call, and the positional inputs as a host
// hands them over: for the plug-ins' gateways and the API's own calls, not
// for users (not installed).
#pragma once

#include <cstddef>

#include "api/settings.hpp"
#include "driver/arguments.hpp"

namespace veltrax {

// One positional input as a host hands it over: column-major doubles and the
// shape.
struct InputView {
    const double* data = nullptr;
    std::size_t rows = 0;
    std::size_t cols = 0;
    std::size_t numel() const { return rows * cols; }
};

// The positional inputs of a call (parameter vector, numerator, denominator,
// curve parameters[, filter polynomial T]) as named settings: the one
// conversion that the plug-ins, the C++ and Python positional calls and
// scenario files share. Integer parameters are truncated toward zero, exactly
// 10 columns of the parameter vector select Gaussian noise, an empty
// denominator selects the built-in model; T is read from exactly five
// inputs. Throws veltrax::Error as the plug-ins report it, naming the input by
// its position.
Settings settings_from_inputs(int count, const InputView* inputs);

// The core's request for these settings; checks them first (check_settings).
CallRequest call_request(const Settings& settings);

// The request of a plant and a loop without the adaptive controller: the
// plant's fields checked (a dead time up to kMaxPlantDeadTime) and, with
// `samples`, the number of sample periods; the controller's fields are
// taken as they are and not read.
CallRequest plant_request(const Settings& settings, bool samples);

// The request of a gateway call: `count` positional inputs and `outputs`
// requested outputs. Throws veltrax::Error as the plug-ins report it.
CallRequest call_request(int count, const InputView* inputs, int outputs);

}  // namespace veltrax
