// SPDX-License-Identifier: LGPL-2.1-or-later
// The values that a sensitivity study varies and a tuning chooses, named by
// their place in the scenario file:
//
//   settings.control_weight     keys joined by '.', array elements as [i] from 0:
//   curve.midpoint  process.body_mass  observer[1]  params[1]  calls[1].settings.u_max
//   controller.kp  disturbances[0].amplitude       any number the file holds
//   population.body_mass         a population covariate: the field it replaces, in every call
//
// and the range or distribution each value takes.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace veltrax::experiments {

struct FieldPath {
    struct Step {
        std::string key;        // an object's field, or
        std::size_t index = 0;  // an array's element
        bool is_index = false;
    };
    std::string text;  // as written
    std::vector<Step> steps;
    int covariate = -1;  // population.NAME: the covariate (experiments/population.hpp), else -1
};

// Reads a name as above. Throws veltrax::Error `id` "WHERE: ..." for one
// that is malformed or names no covariate after "population.".
FieldPath parse_field_path(const std::string& text, const std::string& where, const std::string& id);

// The value at the path in a scenario file's JSON; null when the file has
// no such place. (Not for covariates.)
const nlohmann::json* field_at(const nlohmann::json& scenario, const FieldPath& path);

// Puts `value` there (a whole number as a JSON integer); the place must exist.
void set_field(nlohmann::json& scenario, const FieldPath& path, double value, bool whole);

// The fields that take whole numbers: settings.samples, dead_time, a_order,
// b_order and rk4_steps (also in a call's settings), the integer elements of
// params (1, 3, 5, 6 and 8 counted from 1), population.dead_time.
bool whole_number_field(const FieldPath& path);

// The values one input takes, from a point u of (0, 1) (a quasi-random
// design) or level l of p (a Morris grid).
struct InputRange {
    enum class Kind { uniform, log_uniform, integer, normal, lognormal };
    Kind kind = Kind::uniform;
    // uniform, log_uniform, integer: the range, inclusive; normal and
    // lognormal: the truncation (infinite where none).
    double low = 0.0, high = 1.0;
    double centre = 0.0, spread = 1.0;  // normal: mean and sd; lognormal: median and sigma of the log

    // uniform: low + u (high - low); log_uniform: the same in the logarithm;
    // integer: low + floor(u (high - low + 1)), at most high, so that every
    // whole number of the range is equally likely; normal and lognormal:
    // the quantile u of the truncated distribution.
    double at(double u) const;
    // The grid value x = l / (p - 1) as a value: uniform, log_uniform and
    // integer as at(x) (x = 1 gives high); normal and lognormal the quantile
    // of the level's midpoint, (l + 0.5) / p.
    double at_level(int level, int levels) const;
};

struct NamedInput {
    std::string name;  // the path as written
    FieldPath path;
    InputRange range;
};

// One input of a "sensitivity" or "tune" block:
//   {"name": PATH, "low": a, "high": b}                 uniform over [a, b]
//     optional "scale": "log" (log-uniform, a > 0), "integer": true or false
//     (default: whether the field takes whole numbers)
//   {"name": PATH, "dist": "normal", "mean": m, "sd": s, "min": .., "max": ..}
//   {"name": PATH, "dist": "lognormal", "median": m, "sigma": s, "min": .., "max": ..}
// (distributions only where `distributions`). `where` names the input in
// messages. Unknown or mistyped fields throw veltrax::Error
// "veltrax:badScenario"; values out of range (low >= high, sd <= 0, ...)
// throw `id`, naming the field.
NamedInput parse_named_input(const nlohmann::json& v, const std::string& where, const std::string& id,
                             bool distributions);

// The input as parse_named_input reads it back, with its kind written out.
nlohmann::ordered_json named_input_json(const NamedInput& input);

}  // namespace veltrax::experiments
