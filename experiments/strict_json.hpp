// JSON parsing that refuses duplicate keys, which the plain parser would
// resolve silently by keeping the last one.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

namespace veltrax::experiments {

// Parses `text`; a duplicate key anywhere, or text that is not JSON, throws
// veltrax::Error with id `error_id`. Messages name where the key is, e.g.
// "duplicate key 'sd' in population.body_mass" (array elements from 1).
nlohmann::json parse_json_strict(const std::string& text, const std::string& error_id = "veltrax:badScenario");

// "a string", "an array", ... for messages.
std::string json_kind(const nlohmann::json& v);

}  // namespace veltrax::experiments
