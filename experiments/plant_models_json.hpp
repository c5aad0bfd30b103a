// SPDX-License-Identifier: LGPL-2.1-or-later
// The plant models of a scenario file, at its top level:
//
//   "disturbances": [{"kind": "stimulation", "start": 150, "amplitude": 0.05},
//                    {"kind": "poisson", "start": 100, "end": 250, "rate": 0.02,
//                     "duration": 5, "low": 0.02, "high": 0.08}],
//   "sensor": {"time_constant": 3, "artefact_probability": 0.01, "artefact_amplitude": 0.2,
//              "dropout_probability": 0.01, "dropout_min": 2, "dropout_max": 6,
//              "delay": 1, "quantum": 0.01},
//   "actuator": {"rate_limit": 0.5, "quantum": 0.01, "boluses": [{"time": 50, "dose": 1}]},
//   "changes": [{"time": 150, "cardiac_output_factor": 0.7}]
//
// Every field of every block may be left out (api/plant_models.hpp gives
// the defaults and the meaning); docs/cli.md describes them.
#pragma once

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "api/plant_models.hpp"

namespace veltrax::experiments {

// The top-level fields of the plant models.
inline const char* const kPlantModelFields[] = {"disturbances", "sensor", "actuator", "changes"};

// The plant models of the top level `top`, none when it gives none of the
// fields. Throws veltrax::Error "veltrax:badScenario" for unknown or mistyped
// fields. Values out of range are left to check_plant_models.
std::optional<PlantModels> parse_plant_models(const nlohmann::json& top);

// The models as the JSON that parse_plant_models reads back.
nlohmann::ordered_json plant_models_json(const PlantModels& models);

}  // namespace veltrax::experiments
