// SPDX-License-Identifier: LGPL-2.1-or-later
#include "experiments/named_input.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <limits>

#include "api/errors.hpp"
#include "experiments/format.hpp"
#include "experiments/normal.hpp"
#include "experiments/population.hpp"
#include "experiments/strict_json.hpp"

namespace veltrax::experiments {

using json = nlohmann::json;
using Kind = InputRange::Kind;

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

[[noreturn]] void bad_scenario(const std::string& message) { throw Error("veltrax:badScenario", message); }

std::string num(double v) { return format_shortest(v); }

bool identifier_char(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }

// Reads "[12]" at `pos`; false when not there.
bool read_index(const std::string& t, std::size_t& pos, std::size_t& index) {
    if (pos >= t.size() || t[pos] != '[') return false;
    const std::size_t end = t.find(']', pos);
    const std::string digits = end == std::string::npos ? "" : t.substr(pos + 1, end - pos - 1);
    if (digits.empty() || digits.size() > 9 || !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) return false;
    index = std::stoul(digits);
    pos = end + 1;
    return true;
}

std::vector<FieldPath::Step> path_steps(const std::string& t) {
    std::vector<FieldPath::Step> steps;
    std::size_t pos = 0;
    while (pos < t.size()) {
        if (!steps.empty()) {
            FieldPath::Step index;
            if (read_index(t, pos, index.index)) {
                index.is_index = true;
                steps.push_back(index);
                continue;
            }
            if (t[pos] != '.') return {};
            ++pos;
        }
        const std::size_t begin = pos;
        while (pos < t.size() && identifier_char(t[pos])) ++pos;
        if (pos == begin) return {};
        steps.push_back({t.substr(begin, pos - begin), 0, false});
    }
    return steps;
}

double number_field(const json& v, const char* key, const std::string& where) {
    const json& f = v.at(key);
    if (!f.is_number()) bad_scenario(where + ": '" + key + "' must be a number, got " + json_kind(f));
    return f.get<double>();
}

bool is_whole(double v) { return std::isfinite(v) && std::trunc(v) == v && std::fabs(v) < 9007199254740992.0; }

double normal_cdf(double z) { return 0.5 * std::erfc(-z / std::sqrt(2.0)); }

}  // namespace

FieldPath parse_field_path(const std::string& text, const std::string& where, const std::string& id) {
    FieldPath p;
    p.text = text;
    p.steps = path_steps(text);
    if (p.steps.empty())
        throw Error(id, where + ": '" + text + "' is not a field name such as settings.control_weight, observer[1] "
                                "or population.body_mass");
    if (p.steps[0].key == "population") {
        for (int c = 0; c < kCovariates && p.steps.size() == 2 && !p.steps[1].is_index; ++c)
            if (p.steps[1].key == covariate_name(c)) p.covariate = c;
        if (p.covariate < 0) {
            std::string names;
            for (int c = 0; c < kCovariates; ++c) names += (c ? ", " : "") + std::string(covariate_name(c));
            throw Error(id, where + ": '" + text + "' names no population covariate (covariates: " + names + ")");
        }
    }
    return p;
}

const json* field_at(const json& scenario, const FieldPath& path) {
    const json* node = &scenario;
    for (const FieldPath::Step& s : path.steps) {
        if (s.is_index) {
            if (!node->is_array() || s.index >= node->size()) return nullptr;
            node = &(*node)[s.index];
        } else {
            if (!node->is_object() || !node->contains(s.key)) return nullptr;
            node = &node->at(s.key);
        }
    }
    return node;
}

void set_field(json& scenario, const FieldPath& path, double value, bool whole) {
    json* node = const_cast<json*>(field_at(scenario, path));
    if (!node) throw Error("veltrax:badDesign", "the scenario has no field '" + path.text + "'");
    *node = whole ? json(static_cast<long long>(value)) : json(value);
}

bool whole_number_field(const FieldPath& path) {
    const auto& s = path.steps;
    if (path.covariate >= 0) return path.covariate == static_cast<int>(Covariate::dead_time);
    if (s.size() >= 2 && s[s.size() - 2].key == "settings" && !s.back().is_index) {
        const std::string& k = s.back().key;
        return k == "samples" || k == "dead_time" || k == "a_order" || k == "b_order" || k == "rk4_steps";
    }
    if (s.size() >= 2 && s.back().is_index && s[s.size() - 2].key == "params") {
        const std::size_t i = s.back().index;
        return i == 0 || i == 2 || i == 4 || i == 5 || i == 7;
    }
    return false;
}

double InputRange::at(double u) const {
    switch (kind) {
        case Kind::uniform: return low + u * (high - low);
        case Kind::log_uniform: return std::exp(std::log(low) + u * (std::log(high) - std::log(low)));
        case Kind::integer: return std::min(high, low + std::floor(u * (high - low + 1.0)));
        case Kind::normal:
        case Kind::lognormal: break;
    }
    const bool log = kind == Kind::lognormal;
    const double mean = log ? std::log(centre) : centre;
    const double lo = log ? (low > 0.0 ? std::log(low) : -kInf) : low;
    const double hi = log ? std::log(high) : high;
    const double pa = lo == -kInf ? 0.0 : normal_cdf((lo - mean) / spread);
    const double pb = hi == kInf ? 1.0 : normal_cdf((hi - mean) / spread);
    double p = pa + u * (pb - pa);
    p = std::min(std::max(p, 0x1p-60), 1.0 - 0x1p-53);
    const double x = mean + spread * normal_quantile(p);
    return std::min(high, std::max(low, log ? std::exp(x) : x));
}

double InputRange::at_level(int level, int levels) const {
    if (kind == Kind::normal || kind == Kind::lognormal)
        return at((static_cast<double>(level) + 0.5) / static_cast<double>(levels));
    if (level == levels - 1) return high;
    return at(static_cast<double>(level) / static_cast<double>(levels - 1));
}

namespace {

void read_distribution(const json& v, const std::string& where, const std::string& id, InputRange& r) {
    const json& dist = v.at("dist");
    const std::string name = dist.is_string() ? dist.get<std::string>() : "";
    if (name == "normal") {
        check_known_fields(v, {"name", "dist", "mean", "sd", "min", "max"}, where);
        r.kind = Kind::normal;
        for (const char* k : {"mean", "sd"})
            if (!v.contains(k)) bad_scenario(where + " needs '" + k + "'");
        r.centre = number_field(v, "mean", where);
        r.spread = number_field(v, "sd", where);
        if (!(r.spread > 0.0) || !std::isfinite(r.spread) || !std::isfinite(r.centre))
            throw Error(id, where + ": 'sd' must be positive and 'mean' finite, got " + num(r.spread));
    } else if (name == "lognormal") {
        check_known_fields(v, {"name", "dist", "median", "sigma", "min", "max"}, where);
        r.kind = Kind::lognormal;
        for (const char* k : {"median", "sigma"})
            if (!v.contains(k)) bad_scenario(where + " needs '" + k + "'");
        r.centre = number_field(v, "median", where);
        r.spread = number_field(v, "sigma", where);
        if (!(r.centre > 0.0) || !(r.spread > 0.0) || !std::isfinite(r.centre) || !std::isfinite(r.spread))
            throw Error(id, where + ": 'median' and 'sigma' must be positive and finite, got " + num(r.centre) +
                                " and " + num(r.spread));
    } else {
        bad_scenario(where + ": 'dist' must be \"normal\" or \"lognormal\" (a uniform range is 'low' and 'high'), got " +
                     (dist.is_string() ? "\"" + name + "\"" : json_kind(dist)));
    }
    r.low = v.contains("min") ? number_field(v, "min", where) : -kInf;
    r.high = v.contains("max") ? number_field(v, "max", where) : kInf;
    if (!(r.low < r.high)) throw Error(id, where + ": 'min' must be below 'max', got " + num(r.low) + " and " + num(r.high));
}

void read_range(const json& v, const std::string& where, const std::string& id, bool whole_field, InputRange& r) {
    check_known_fields(v, {"name", "low", "high", "scale", "integer"}, where);
    for (const char* k : {"low", "high"})
        if (!v.contains(k)) bad_scenario(where + " needs '" + k + "' and 'high', or a 'dist'");
    r.low = number_field(v, "low", where);
    r.high = number_field(v, "high", where);
    if (!std::isfinite(r.low) || !std::isfinite(r.high) || !(r.low < r.high))
        throw Error(id, where + ": 'low' must be below 'high', got low " + num(r.low) + " and high " + num(r.high));
    bool integer = whole_field;
    if (v.contains("integer")) {
        if (!v.at("integer").is_boolean()) bad_scenario(where + ": 'integer' must be true or false");
        integer = v.at("integer").get<bool>();
        if (whole_field && !integer) throw Error(id, where + ": the field takes whole numbers; 'integer' cannot be false");
    }
    std::string scale = "linear";
    if (v.contains("scale")) {
        const json& s = v.at("scale");
        scale = s.is_string() ? s.get<std::string>() : "";
        if (scale != "linear" && scale != "log") bad_scenario(where + ": 'scale' must be \"linear\" or \"log\"");
    }
    if (integer) {
        if (scale == "log") throw Error(id, where + ": a whole-number input takes no 'scale': \"log\"");
        if (!is_whole(r.low) || !is_whole(r.high))
            throw Error(id, where + ": 'low' and 'high' of a whole-number input must be whole numbers, got " +
                                num(r.low) + " and " + num(r.high));
        r.kind = Kind::integer;
    } else if (scale == "log") {
        if (!(r.low > 0.0)) throw Error(id, where + ": 'low' must be positive with 'scale': \"log\", got " + num(r.low));
        r.kind = Kind::log_uniform;
    }
}

}  // namespace

NamedInput parse_named_input(const json& v, const std::string& where, const std::string& id, bool distributions) {
    if (!v.is_object()) bad_scenario(where + " must be an object such as {\"name\": \"settings.control_weight\", "
                                             "\"low\": 0.05, \"high\": 0.5}, got " + json_kind(v));
    if (!v.contains("name") || !v.at("name").is_string()) bad_scenario(where + " needs a 'name' (a string)");
    NamedInput in;
    in.name = v.at("name").get<std::string>();
    const std::string at = where + " ('" + in.name + "')";
    in.path = parse_field_path(in.name, at, id);
    const bool whole = whole_number_field(in.path);
    if (v.contains("dist")) {
        if (!distributions) bad_scenario(at + ": give 'low' and 'high' (no 'dist' here)");
        if (whole) throw Error(id, at + ": the field takes whole numbers; give 'low' and 'high' instead of a 'dist'");
        read_distribution(v, at, id, in.range);
    } else {
        read_range(v, at, id, whole, in.range);
    }
    return in;
}

nlohmann::ordered_json named_input_json(const NamedInput& in) {
    const InputRange& r = in.range;
    nlohmann::ordered_json j;
    j["name"] = in.name;
    switch (r.kind) {
        case Kind::uniform:
        case Kind::log_uniform:
        case Kind::integer:
            j["low"] = r.low;
            j["high"] = r.high;
            if (r.kind == Kind::log_uniform) j["scale"] = "log";
            if (r.kind == Kind::integer) j["integer"] = true;
            return j;
        case Kind::normal:
            j["dist"] = "normal";
            j["mean"] = r.centre;
            j["sd"] = r.spread;
            break;
        case Kind::lognormal:
            j["dist"] = "lognormal";
            j["median"] = r.centre;
            j["sigma"] = r.spread;
            break;
    }
    if (std::isfinite(r.low)) j["min"] = r.low;
    if (std::isfinite(r.high)) j["max"] = r.high;
    return j;
}

}  // namespace veltrax::experiments
