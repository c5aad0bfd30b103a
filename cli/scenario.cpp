// SPDX-License-Identifier: LGPL-2.1-or-later
#include "cli/scenario.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "experiments/expand.hpp"
#include "experiments/strict_json.hpp"

namespace veltrax::cli {
namespace {

using nlohmann::json;

[[noreturn]] void bad(const std::string& message) { throw Error("veltrax:badScenario", message); }

std::string kind_of(const json& v) { return experiments::json_kind(v); }

// The fields of one gateway call. "description" is a free-text note.
const std::vector<std::string> kCallKeys = {"params", "numerator", "denominator", "model",
                                            "curve",  "T",         "setpoint",    "description"};
const std::vector<std::string> kTopKeys = {"build", "calls", "params",   "numerator", "denominator", "model",
                                           "curve", "T",     "setpoint", "seed",      "population",  "description"};

bool contains(const std::vector<std::string>& keys, const std::string& key) {
    return std::find(keys.begin(), keys.end(), key) != keys.end();
}

std::string joined(const std::vector<std::string>& keys) {
    std::string s;
    for (const std::string& k : keys) s += (s.empty() ? "" : ", ") + k;
    return s;
}

void check_keys(const json& object, const std::vector<std::string>& known, const std::string& where) {
    for (auto it = object.begin(); it != object.end(); ++it)
        if (!contains(known, it.key()))
            bad(where + ": unknown field '" + it.key() + "' (known: " + joined(known) + ")");
}

Matrix number_row(const json& v, const std::string& where) {
    if (!v.is_array()) bad(where + " must be an array of numbers, got " + kind_of(v));
    std::vector<double> values;
    values.reserve(v.size());
    for (std::size_t i = 0; i < v.size(); ++i) {
        if (!v[i].is_number())
            bad(where + " element " + std::to_string(i + 1) + " must be a number, got " + kind_of(v[i]));
        values.push_back(v[i].get<double>());
    }
    const std::size_t n = values.size();
    return Matrix(1, n, std::move(values));
}

double number(const json& object, const char* key, const std::string& where) {
    if (!object.contains(key)) bad(where + " needs '" + key + "'");
    const json& v = object.at(key);
    if (!v.is_number()) bad(where + "." + key + " must be a number, got " + kind_of(v));
    return v.get<double>();
}

// "setpoint": [[time, value], [time, value, "after"], [time, value, "ramp"], ...].
SetpointSchedule schedule_of(const json& v, const std::string& where) {
    const std::string form = " must be an array of steps [time, value], optionally with \"after\" and/or \"ramp\"";
    if (!v.is_array()) bad(where + form + ", got " + kind_of(v));
    SetpointSchedule schedule;
    for (std::size_t i = 0; i < v.size(); ++i) {
        const json& step = v[i];
        const std::string at = where + " step " + std::to_string(i + 1);
        if (!step.is_array() || step.size() < 2 || step.size() > 4)
            bad(at + " must be [time, value], optionally with \"after\" and/or \"ramp\", got " +
                (step.is_array() ? "an array of " + std::to_string(step.size()) + " elements" : kind_of(step)));
        SetpointStep s;
        if (!step[0].is_number()) bad(at + ": the time must be a number, got " + kind_of(step[0]));
        if (!step[1].is_number()) bad(at + ": the value must be a number, got " + kind_of(step[1]));
        s.time = step[0].get<double>();
        s.value = step[1].get<double>();
        for (std::size_t j = 2; j < step.size(); ++j) {
            const std::string flag = step[j].is_string() ? step[j].get<std::string>() : "";
            bool* target = flag == "after" ? &s.after : flag == "ramp" ? &s.ramp : nullptr;
            if (!target)
                bad(at + ": element " + std::to_string(j + 1) + " must be \"after\" or \"ramp\", got " +
                    (step[j].is_string() ? "\"" + flag + "\"" : kind_of(step[j])));
            if (*target) bad(at + ": \"" + flag + "\" given twice");
            *target = true;
        }
        schedule.steps.push_back(s);
    }
    try {
        check_setpoint_schedule(schedule);
    } catch (const Error& e) {
        throw Error(e.id(), where + ": " + e.what());
    }
    return schedule;
}

long seed_of(const json& v) {
    const std::string form = "top level: 'seed' must be an integer from 1 to " + std::to_string(Simulation::kMaxSeed);
    if (!v.is_number()) bad(form + ", got " + kind_of(v));
    if (!v.is_number_integer() || v.get<long long>() < 1 || v.get<long long>() > Simulation::kMaxSeed)
        throw Error("veltrax:badSeed", form + ", got " + v.dump());
    return static_cast<long>(v.get<long long>());
}

// Checks the types of the call fields that `object` sets; `where` names it in
// messages ("top level", "call 2").
void check_call_fields(const json& object, const std::string& where) {
    for (const char* key : {"params", "numerator", "denominator", "curve"})
        if (object.contains(key)) number_row(object.at(key), where + ": '" + key + "'");
    if (object.contains("T") && !object.at("T").is_null()) number_row(object.at("T"), where + ": 'T'");
    if (object.contains("setpoint") && !object.at("setpoint").is_null())
        schedule_of(object.at("setpoint"), where + ": 'setpoint'");
    if (object.contains("description") && !object.at("description").is_string())
        bad(where + ": 'description' must be a string, got " + kind_of(object.at("description")));
    if (object.contains("model")) {
        const json& model = object.at("model");
        const std::string at = where + ": 'model'";
        if (!model.is_object()) bad(at + " must be an object with body_mass and cardiac_output, got " + kind_of(model));
        check_keys(model, {"body_mass", "cardiac_output"}, at);
        number(model, "body_mass", at);
        number(model, "cardiac_output", at);
        if (object.contains("numerator") || object.contains("denominator"))
            bad(where + ": give either 'model' or 'numerator' and 'denominator', not both");
    }
}

// The call's own fields over the top-level defaults. A process given in the
// call (model, or numerator/denominator) replaces the inherited one.
json merged_call(const json& top, const json& call) {
    json m = json::object();
    for (auto it = top.begin(); it != top.end(); ++it)
        if (contains(kCallKeys, it.key())) m[it.key()] = it.value();
    if (call.contains("model")) {
        m.erase("numerator");
        m.erase("denominator");
    }
    if (call.contains("numerator") || call.contains("denominator")) m.erase("model");
    for (auto it = call.begin(); it != call.end(); ++it) m[it.key()] = it.value();
    return m;
}

std::vector<Matrix> gateway_inputs(const json& c, const std::string& where, bool inherits) {
    const std::string missing = inherits ? " (neither in the call nor at the top level)" : "";
    if (!c.contains("params")) bad(where + ": no 'params'" + missing);
    if (!c.contains("curve")) bad(where + ": no 'curve'" + missing);
    std::vector<Matrix> in;
    in.push_back(number_row(c.at("params"), where + ": 'params'"));
    if (c.contains("model")) {
        const json& model = c.at("model");
        in.push_back(Matrix::row({number(model, "body_mass", where), number(model, "cardiac_output", where)}));
        in.emplace_back(1, 0);  // an empty denominator selects the built-in model
    } else {
        if (!c.contains("numerator") || !c.contains("denominator"))
            bad(where + ": no process: give 'model', or 'numerator' and 'denominator'" + missing);
        in.push_back(number_row(c.at("numerator"), where + ": 'numerator'"));
        in.push_back(number_row(c.at("denominator"), where + ": 'denominator'"));
    }
    in.push_back(number_row(c.at("curve"), where + ": 'curve'"));
    if (c.contains("T") && !c.at("T").is_null()) in.push_back(number_row(c.at("T"), where + ": 'T'"));
    return in;
}

Build build_of(const json& top) {
    if (!top.contains("build")) bad("top level: no 'build' (1, 2 or 3)");
    const json& b = top.at("build");
    if (!b.is_number_integer() || b.get<long long>() < 1 || b.get<long long>() > 3)
        bad("top level: 'build' must be 1, 2 or 3, got " + (b.is_number() ? b.dump() : kind_of(b)));
    return static_cast<Build>(b.get<int>());
}

// The schedule of a merged call: null or absent, the built-in one.
std::optional<SetpointSchedule> call_schedule(const json& c, const std::string& where) {
    if (!c.contains("setpoint") || c.at("setpoint").is_null()) return std::nullopt;
    return schedule_of(c.at("setpoint"), where + ": 'setpoint'");
}

}  // namespace

Scenario parse_scenario(const std::string& text, const std::string& path) {
    const json top = experiments::parse_json_strict(text, "veltrax:badScenario");
    if (!top.is_object()) bad("the file must hold a JSON object, got " + kind_of(top));
    check_keys(top, kTopKeys, "top level");

    Scenario s;
    s.path = path;
    s.name = std::filesystem::path(path).stem().string();
    s.build = build_of(top);
    check_call_fields(top, "top level");
    if (top.contains("seed")) s.seed = seed_of(top.at("seed"));

    if (!top.contains("calls")) {
        s.calls.push_back(gateway_inputs(top, "top level", false));
        s.schedules.push_back(call_schedule(top, "top level"));
    } else {
        const json& calls = top.at("calls");
        if (!calls.is_array()) bad("top level: 'calls' must be an array of objects, got " + kind_of(calls));
        if (calls.empty()) bad("top level: 'calls' is empty");
        for (std::size_t i = 0; i < calls.size(); ++i) {
            const std::string where = "call " + std::to_string(i + 1);
            const json& call = calls[i];
            if (!call.is_object()) bad(where + " must be an object, got " + kind_of(call));
            check_keys(call, kCallKeys, where);
            check_call_fields(call, where);
            const json merged = merged_call(top, call);
            s.calls.push_back(gateway_inputs(merged, where, true));
            s.schedules.push_back(call_schedule(merged, where));
        }
    }
    if (top.contains("population")) {
        s.population = experiments::parse_population(top.at("population"), "population");
        experiments::check_population_fits(s.calls, *s.population);
    }
    return s;
}

Scenario load_scenario(const std::string& path) {
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) bad("cannot read the file: it is a folder");
    std::ifstream in(path, std::ios::binary);
    if (!in) bad(std::string("cannot read the file: ") + std::strerror(errno));
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) bad("cannot read the file");
    return parse_scenario(text.str(), path);
}

}  // namespace veltrax::cli
