// SPDX-License-Identifier: LGPL-2.1-or-later
// JSON parsing that refuses duplicate keys, which the plain parser would
// resolve silently by keeping the last one.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace veltrax::experiments {

// Parses `text`; a duplicate key anywhere, or text that is not JSON, throws
// veltrax::Error with id `error_id`. Messages name the object as the other
// scenario messages do, e.g. "'population': 'body_mass': field 'sd' given
// twice", "call 2: 'model': field 'body_mass' given twice" (elements of the
// top-level "calls" are calls; array elements count from 1).
nlohmann::json parse_json_strict(const std::string& text, const std::string& error_id = "veltrax:badScenario");

// "a string", "an array", ... for messages.
std::string json_kind(const nlohmann::json& v);

// Throws veltrax::Error "veltrax:badScenario" for a field of `object` that
// is not in `known`: "WHERE: unknown field 'x' (known: a, b)".
void check_known_fields(const nlohmann::json& object, const std::vector<std::string>& known, const std::string& where);

}  // namespace veltrax::experiments
