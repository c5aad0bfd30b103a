// SPDX-License-Identifier: LGPL-2.1-or-later
#include "experiments/plant_models_json.hpp"

#include <cmath>

#include "api/errors.hpp"
#include "experiments/strict_json.hpp"

namespace veltrax::experiments {

namespace {

using json = nlohmann::json;

[[noreturn]] void bad(const std::string& message) { throw Error("veltrax:badScenario", message); }

void read(const json& o, const char* key, const std::string& where, double& out) {
    if (!o.contains(key)) return;
    const json& v = o.at(key);
    if (!v.is_number()) bad(where + ": '" + key + "' must be a number, got " + json_kind(v));
    out = v.get<double>();
}

void read(const json& o, const char* key, const std::string& where, int& out) {
    if (!o.contains(key)) return;
    const json& v = o.at(key);
    if (!v.is_number_integer()) bad(where + ": '" + key + "' must be an integer, got " + json_kind(v));
    const long long x = v.get<long long>();
    if (x < -1000000000LL || x > 1000000000LL) bad(where + ": '" + key + "' is out of range");
    out = static_cast<int>(x);
}

const json& object_at(const json& o, const char* key, const std::string& where) {
    const json& v = o.at(key);
    if (!v.is_object()) bad(where + ": '" + key + "' must be an object, got " + json_kind(v));
    return v;
}

const json& array_at(const json& o, const char* key, const std::string& where) {
    const json& v = o.at(key);
    if (!v.is_array()) bad(where + ": '" + key + "' must be an array, got " + json_kind(v));
    return v;
}

struct KindName {
    DisturbanceKind kind;
    const char* name;
};
constexpr KindName kKinds[] = {{DisturbanceKind::Step, "step"},
                               {DisturbanceKind::Ramp, "ramp"},
                               {DisturbanceKind::Pulse, "pulse"},
                               {DisturbanceKind::Stimulation, "stimulation"},
                               {DisturbanceKind::Poisson, "poisson"}};

Disturbance read_disturbance(const json& d, const std::string& where) {
    if (!d.is_object()) bad(where + " must be an object, got " + json_kind(d));
    check_known_fields(d, {"kind", "start", "amplitude", "rise", "duration", "fall", "end", "rate", "low", "high"},
                       where);
    if (!d.contains("kind") || !d.at("kind").is_string()) bad(where + ": 'kind' must be one of step, ramp, pulse, stimulation, poisson");
    const std::string kind = d.at("kind").get<std::string>();
    Disturbance x;
    bool known = false;
    for (const KindName& k : kKinds)
        if (kind == k.name) {
            x.kind = k.kind;
            known = true;
        }
    if (!known) bad(where + ": 'kind' must be one of step, ramp, pulse, stimulation, poisson, got '" + kind + "'");
    if (x.kind == DisturbanceKind::Stimulation) x = stimulation(0.0, 0.0);
    if (x.kind == DisturbanceKind::Pulse || x.kind == DisturbanceKind::Poisson) {
        if (!d.contains("duration")) bad(where + ": a " + kind + " needs 'duration'");
    }
    if (x.kind == DisturbanceKind::Ramp && !d.contains("rise")) bad(where + ": a ramp needs 'rise'");
    read(d, "start", where, x.start);
    read(d, "amplitude", where, x.amplitude);
    read(d, "rise", where, x.rise);
    read(d, "duration", where, x.duration);
    read(d, "fall", where, x.fall);
    read(d, "end", where, x.end);
    read(d, "rate", where, x.rate);
    read(d, "low", where, x.low);
    read(d, "high", where, x.high);
    return x;
}

void read_sensor(const json& s, const std::string& where, SensorModel& x) {
    check_known_fields(s, {"time_constant", "artefact_probability", "artefact_amplitude", "dropout_probability",
                           "dropout_min", "dropout_max", "delay", "quantum"},
                       where);
    read(s, "time_constant", where, x.time_constant);
    read(s, "artefact_probability", where, x.artefact_probability);
    read(s, "artefact_amplitude", where, x.artefact_amplitude);
    read(s, "dropout_probability", where, x.dropout_probability);
    read(s, "dropout_min", where, x.dropout_min);
    x.dropout_max = x.dropout_min;
    read(s, "dropout_max", where, x.dropout_max);
    read(s, "delay", where, x.delay);
    read(s, "quantum", where, x.quantum);
}

void read_actuator(const json& a, const std::string& where, ActuatorModel& x) {
    check_known_fields(a, {"rate_limit", "quantum", "boluses"}, where);
    read(a, "rate_limit", where, x.rate_limit);
    read(a, "quantum", where, x.quantum);
    if (!a.contains("boluses")) return;
    const json& list = array_at(a, "boluses", where);
    for (std::size_t k = 0; k < list.size(); ++k) {
        const std::string at = where + ": 'boluses' element " + std::to_string(k + 1);
        if (!list[k].is_object()) bad(at + " must be an object, got " + json_kind(list[k]));
        check_known_fields(list[k], {"time", "dose"}, at);
        Bolus b;
        if (!list[k].contains("time") || !list[k].contains("dose")) bad(at + " needs 'time' and 'dose'");
        read(list[k], "time", at, b.time);
        read(list[k], "dose", at, b.dose);
        x.boluses.push_back(b);
    }
}

PlantChange read_change(const json& c, const std::string& where) {
    if (!c.is_object()) bad(where + " must be an object, got " + json_kind(c));
    check_known_fields(c, {"time", "cardiac_output", "cardiac_output_factor", "body_mass", "gain"}, where);
    if (!c.contains("time")) bad(where + " needs 'time'");
    PlantChange x;
    read(c, "time", where, x.time);
    read(c, "cardiac_output", where, x.cardiac_output);
    read(c, "cardiac_output_factor", where, x.cardiac_output_factor);
    read(c, "body_mass", where, x.body_mass);
    read(c, "gain", where, x.gain);
    return x;
}

void put(nlohmann::ordered_json& o, const char* key, double v, double none) {
    if (!(v == none) && !(std::isnan(v) && std::isnan(none))) o[key] = v;
}

}  // namespace

std::optional<PlantModels> parse_plant_models(const json& top) {
    bool any = false;
    for (const char* key : kPlantModelFields) any = any || top.contains(key);
    if (!any) return std::nullopt;
    PlantModels m;
    if (top.contains("disturbances")) {
        const json& list = array_at(top, "disturbances", "top level");
        for (std::size_t k = 0; k < list.size(); ++k)
            m.disturbances.push_back(read_disturbance(list[k], "'disturbances' element " + std::to_string(k + 1)));
    }
    if (top.contains("sensor")) read_sensor(object_at(top, "sensor", "top level"), "'sensor'", m.sensor);
    if (top.contains("actuator")) read_actuator(object_at(top, "actuator", "top level"), "'actuator'", m.actuator);
    if (top.contains("changes")) {
        const json& list = array_at(top, "changes", "top level");
        for (std::size_t k = 0; k < list.size(); ++k)
            m.changes.push_back(read_change(list[k], "'changes' element " + std::to_string(k + 1)));
    }
    return m;
}

nlohmann::ordered_json plant_models_json(const PlantModels& m) {
    nlohmann::ordered_json o = nlohmann::ordered_json::object();
    const Disturbance plain;
    if (!m.disturbances.empty()) {
        o["disturbances"] = nlohmann::ordered_json::array();
        for (const Disturbance& d : m.disturbances) {
            nlohmann::ordered_json j;
            for (const KindName& k : kKinds)
                if (k.kind == d.kind) j["kind"] = k.name;
            j["start"] = d.start;
            j["amplitude"] = d.amplitude;
            j["rise"] = d.rise;
            put(j, "duration", d.duration, plain.duration);
            j["fall"] = d.fall;
            if (d.kind == DisturbanceKind::Poisson) {
                put(j, "end", d.end, plain.end);
                j["rate"] = d.rate;
                j["low"] = d.low;
                j["high"] = d.high;
            }
            o["disturbances"].push_back(j);
        }
    }
    const SensorModel& s = m.sensor;
    nlohmann::ordered_json sensor = {{"time_constant", s.time_constant},
                                     {"artefact_probability", s.artefact_probability},
                                     {"artefact_amplitude", s.artefact_amplitude},
                                     {"dropout_probability", s.dropout_probability},
                                     {"dropout_min", s.dropout_min},
                                     {"dropout_max", s.dropout_max},
                                     {"delay", s.delay},
                                     {"quantum", s.quantum}};
    o["sensor"] = sensor;
    nlohmann::ordered_json actuator = {{"rate_limit", m.actuator.rate_limit}, {"quantum", m.actuator.quantum}};
    actuator["boluses"] = nlohmann::ordered_json::array();
    for (const Bolus& b : m.actuator.boluses) actuator["boluses"].push_back({{"time", b.time}, {"dose", b.dose}});
    o["actuator"] = actuator;
    if (!m.changes.empty()) {
        o["changes"] = nlohmann::ordered_json::array();
        const double none = std::nan("");
        for (const PlantChange& c : m.changes) {
            nlohmann::ordered_json j = {{"time", c.time}};
            put(j, "cardiac_output", c.cardiac_output, none);
            put(j, "cardiac_output_factor", c.cardiac_output_factor, none);
            put(j, "body_mass", c.body_mass, none);
            put(j, "gain", c.gain, none);
            o["changes"].push_back(j);
        }
    }
    return o;
}

}  // namespace veltrax::experiments
