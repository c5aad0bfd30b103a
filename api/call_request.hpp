// SPDX-License-Identifier: LGPL-2.1-or-later
// Settings as the core's decoded call: for the plug-ins' gateways and the
// API's own calls, not for users.
#pragma once

#include "api/settings.hpp"
#include "driver/arguments.hpp"

namespace veltrax {

// The core's request for these settings; checks them first (check_settings).
CallRequest call_request(const Settings& settings);

// The request of a gateway call: `count` positional inputs and `outputs`
// requested outputs. Throws veltrax::Error as the plug-ins report it.
CallRequest call_request(int count, const InputView* inputs, int outputs);

}  // namespace veltrax
