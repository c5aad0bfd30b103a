// SPDX-License-Identifier: LGPL-2.1-or-later
#include "experiments/controller_setup.hpp"

#include <vector>

#include "experiments/format.hpp"
#include "experiments/strict_json.hpp"

namespace veltrax::experiments {

namespace {

using nlohmann::json;

[[noreturn]] void bad(const std::string& message) { throw Error("veltrax:badScenario", message); }

double number(const json& object, const char* field, double fallback, const std::string& where) {
    if (!object.contains(field)) return fallback;
    const json& v = object.at(field);
    if (!v.is_number()) bad(where + ": '" + field + "' must be a number, got " + json_kind(v));
    return v.get<double>();
}

bool usable_name(const std::string& name) {
    if (name.empty() || name.size() > 64 || name == "." || name == "..") return false;
    for (char c : name)
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-' ||
              c == '.'))
            return false;
    return true;
}

Pid parse_pid(const json& object, const std::string& where) {
    check_known_fields(object, {"kind", "name", "kp", "ki", "kd", "filter_time", "anti_windup", "tracking_time"},
                       where);
    Pid pid;
    pid.kp = number(object, "kp", pid.kp, where);
    pid.ki = number(object, "ki", pid.ki, where);
    pid.kd = number(object, "kd", pid.kd, where);
    pid.filter_time = number(object, "filter_time", pid.filter_time, where);
    pid.tracking_time = number(object, "tracking_time", pid.tracking_time, where);
    if (object.contains("anti_windup")) {
        const json& a = object.at("anti_windup");
        if (a != "back_calculation" && a != "clamping")
            bad(where + ": 'anti_windup' must be \"back_calculation\" or \"clamping\", got " + a.dump());
        pid.anti_windup = a == "clamping" ? AntiWindup::Clamping : AntiWindup::BackCalculation;
    }
    try {
        check_pid(pid);
    } catch (const Error& e) {
        throw Error(e.id(), where + ": " + e.what());
    }
    return pid;
}

}  // namespace

ControllerSetup adaptive_controller(Build build) {
    ControllerSetup c;
    c.build = build;
    c.name = "veltrax" + std::to_string(static_cast<int>(build));
    return c;
}

ControllerSetup parse_controller(const json& object, Build scenario_build, const std::string& where) {
    if (!object.is_object()) bad(where + " must be an object, got " + json_kind(object));
    if (!object.contains("kind") || !object.at("kind").is_string())
        bad(where + " needs \"kind\": \"adaptive\" or \"pid\"");
    const std::string kind = object.at("kind").get<std::string>();
    ControllerSetup c;
    if (kind == "adaptive") {
        check_known_fields(object, {"kind", "name", "build"}, where);
        Build build = scenario_build;
        if (object.contains("build")) {
            const json& b = object.at("build");
            if (!b.is_number_integer() || b.get<long long>() < 1 || b.get<long long>() > 3)
                bad(where + ": 'build' must be 1, 2 or 3, got " + b.dump());
            build = static_cast<Build>(b.get<int>());
        }
        c = adaptive_controller(build);
    } else if (kind == "pid") {
        c.pid = parse_pid(object, where);
        c.name = "pid";
    } else {
        bad(where + ": 'kind' must be \"adaptive\" or \"pid\", got \"" + kind + "\"");
    }
    if (object.contains("name")) {
        const json& n = object.at("name");
        if (!n.is_string() || !usable_name(n.get<std::string>()))
            bad(where + ": 'name' must be 1 to 64 letters, digits, '_', '-' or '.', got " + n.dump());
        c.name = n.get<std::string>();
    }
    return c;
}

nlohmann::ordered_json controller_json(const ControllerSetup& c) {
    nlohmann::ordered_json j;
    j["name"] = c.name;
    if (c.user) {
        j["kind"] = "user";
        return j;
    }
    if (c.adaptive()) {
        j["kind"] = "adaptive";
        j["build"] = static_cast<int>(c.build);
        return j;
    }
    const Pid& p = *c.pid;
    j["kind"] = "pid";
    j["kp"] = json_number(p.kp);
    j["ki"] = json_number(p.ki);
    j["kd"] = json_number(p.kd);
    j["filter_time"] = json_number(p.filter_time);
    j["anti_windup"] = p.anti_windup == AntiWindup::Clamping ? "clamping" : "back_calculation";
    j["tracking_time"] = json_number(p.tracking_time);
    return j;
}

std::shared_ptr<const Controller> make_controller(const ControllerSetup& c) {
    if (c.user) throw Error("veltrax:badController", "controller '" + c.name + "' is the user's own; it runs where it is defined");
    if (c.adaptive()) return nullptr;
    return std::make_shared<PidController>(*c.pid);
}

}  // namespace veltrax::experiments
