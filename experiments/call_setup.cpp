// SPDX-License-Identifier: LGPL-2.1-or-later
#include "experiments/call_setup.hpp"

#include <cmath>
#include <cstdint>
#include <limits>

#include "experiments/setpoint_json.hpp"
#include "experiments/strict_json.hpp"

namespace veltrax::experiments {

namespace {

using json = nlohmann::json;

[[noreturn]] void bad(const std::string& message) { throw Error("veltrax:badScenario", message); }

const std::vector<std::string> kSettingsFields = {"samples", "control_weight", "dead_time", "u_max",   "a_order",
                                                  "b_order", "noise",          "rk4_steps", "rk4_step"};
const std::vector<std::string> kNoiseFields = {"kind", "amplitude"};
const std::vector<std::string> kCurveFields = {"plant_midpoint", "midpoint", "plant_exponent", "exponent"};
const std::vector<std::string> kTransferFunctionFields = {"numerator", "denominator"};
const std::vector<std::string> kBodyFields = {"body_mass", "cardiac_output"};

bool given(const json& object, const char* key) { return object.contains(key) && !object.at(key).is_null(); }

// ---- positional parts ---------------------------------------------------

Matrix number_row(const json& v, const std::string& where) {
    if (!v.is_array()) bad(where + " must be an array of numbers, got " + json_kind(v));
    if (v.size() > kMaxCallNumbers)
        bad(where + " must have at most " + std::to_string(kMaxCallNumbers) + " elements, got " +
            std::to_string(v.size()));
    std::vector<double> values;
    values.reserve(v.size());
    for (std::size_t i = 0; i < v.size(); ++i) {
        if (!v[i].is_number())
            bad(where + " element " + std::to_string(i + 1) + " must be a number, got " + json_kind(v[i]));
        values.push_back(v[i].get<double>());
    }
    const std::size_t n = values.size();
    return Matrix(1, n, std::move(values));
}

double number(const json& object, const char* key, const std::string& where) {
    if (!object.contains(key)) bad(where + " needs '" + key + "'");
    const json& v = object.at(key);
    if (!v.is_number()) bad(where + "." + key + " must be a number, got " + json_kind(v));
    return v.get<double>();
}

// "model": {"body_mass": ..., "cardiac_output": ...}, the older way to write
// the built-in model's numerator.
void check_model(const json& object, const std::string& where) {
    const json& model = object.at("model");
    const std::string at = where + ": 'model'";
    if (!model.is_object()) bad(at + " must be an object with body_mass and cardiac_output, got " + json_kind(model));
    check_known_fields(model, kBodyFields, at);
    number(model, "body_mass", at);
    number(model, "cardiac_output", at);
    if (object.contains("numerator") || object.contains("denominator"))
        bad(where + ": give either 'model' or 'numerator' and 'denominator', not both");
}

// ---- named parts --------------------------------------------------------
// Each reader checks the fields present and, when `complete`, that every
// field is there; the field's name in messages is its path ("settings.noise.kind").

struct Named {
    const json& object;
    const std::string& where;  // "call 2"
    std::string path;          // "settings"
    bool complete;

    const json* field(const std::string& key) const {
        if (object.contains(key)) return &object.at(key);
        if (complete) bad(where + ": '" + path + "' needs '" + key + "'");
        return nullptr;
    }
    std::string name(const std::string& key) const { return "'" + path + "." + key + "'"; }

    void read(const std::string& key, double& out) const {
        if (const json* v = field(key)) {
            if (!v->is_number()) bad(where + ": " + name(key) + " must be a number, got " + json_kind(*v));
            out = v->get<double>();
        }
    }
    // A whole number in [lo, hi].
    template <class Int>
    void read_whole(const std::string& key, Int& out, double lo, double hi) const {
        const json* v = field(key);
        if (!v) return;
        if (!v->is_number()) bad(where + ": " + name(key) + " must be a whole number, got " + json_kind(*v));
        const double d = v->get<double>();
        if (std::trunc(d) != d || d < lo || d > hi)
            bad(where + ": " + name(key) + " must be a whole number from " + json(static_cast<long long>(lo)).dump() +
                " to " + json(static_cast<long long>(hi)).dump() + ", got " + v->dump());
        out = v->is_number_integer() ? static_cast<Int>(v->get<long long>()) : static_cast<Int>(d);
    }
    void read(const std::string& key, std::vector<double>& out) const {
        if (const json* v = field(key)) out = number_row(*v, where + ": " + name(key)).data;
    }
    Named nested(const std::string& key, const json& value) const { return {value, where, path + "." + key, complete}; }
};

void check_object(const json& v, const std::string& where, const std::string& path, const std::vector<std::string>& fields) {
    if (!v.is_object()) bad(where + ": '" + path + "' must be an object, got " + json_kind(v));
    check_known_fields(v, fields, where + ": '" + path + "'");
}

void read_noise(const Named& n, Noise& out) {
    check_object(n.object, n.where, n.path, kNoiseFields);
    if (const json* kind = n.field("kind")) {
        if (!kind->is_string())
            bad(n.where + ": " + n.name("kind") + " must be \"uniform\" or \"gaussian\", got " + json_kind(*kind));
        try {
            out.kind = noise_kind_named(kind->get<std::string>(), n.name("kind"));
        } catch (const Error& e) {
            bad(n.where + ": " + e.what());
        }
    }
    n.read("amplitude", out.amplitude);
}

constexpr double kIntMin = std::numeric_limits<std::int32_t>::min();
constexpr double kIntMax = std::numeric_limits<std::int32_t>::max();

void read_settings(const Named& n, Settings& out) {
    check_object(n.object, n.where, n.path, kSettingsFields);
    n.read_whole("samples", out.samples, -9007199254740992.0, 9007199254740992.0);
    n.read("control_weight", out.control_weight);
    n.read_whole("dead_time", out.dead_time, kIntMin, kIntMax);
    n.read("u_max", out.u_max);
    n.read_whole("a_order", out.a_order, kIntMin, kIntMax);
    n.read_whole("b_order", out.b_order, kIntMin, kIntMax);
    if (const json* noise = n.field("noise")) read_noise(n.nested("noise", *noise), out.noise);
    n.read_whole("rk4_steps", out.rk4_steps, kIntMin, kIntMax);
    n.read("rk4_step", out.rk4_step);
}

void read_curve(const Named& n, Curve& out) {
    check_object(n.object, n.where, n.path, kCurveFields);
    n.read("plant_midpoint", out.plant_midpoint);
    n.read("midpoint", out.midpoint);
    n.read("plant_exponent", out.plant_exponent);
    n.read("exponent", out.exponent);
}

// A process is given whole: a transfer function or a body.
Process read_process(const json& v, const std::string& where) {
    std::vector<std::string> both = kTransferFunctionFields;
    both.insert(both.end(), kBodyFields.begin(), kBodyFields.end());
    check_object(v, where, "process", both);
    const bool transfer = v.contains("numerator") || v.contains("denominator");
    const bool body = v.contains("body_mass") || v.contains("cardiac_output");
    if (transfer == body)
        bad(where + ": 'process' holds either numerator and denominator (a transfer function) or body_mass and "
                    "cardiac_output (the built-in model)" + std::string(transfer ? ", not both" : ""));
    const Named n{v, where, "process", true};
    if (transfer) {
        TransferFunction tf;
        n.read("numerator", tf.numerator);
        n.read("denominator", tf.denominator);
        return tf;
    }
    BodyModel b;
    n.read("body_mass", b.body_mass);
    n.read("cardiac_output", b.cardiac_output);
    return b;
}

std::array<double, 3> read_observer(const json& v, const std::string& where) {
    if (!v.is_array() || v.size() != 3)
        bad(where + ": 'observer' must be an array of 3 numbers [t0, t1, t2], got " +
            (v.is_array() ? "an array of " + std::to_string(v.size()) + " elements" : json_kind(v)));
    const Matrix m = number_row(v, where + ": 'observer'");
    return {m.data[0], m.data[1], m.data[2]};
}

void refuse_both(const json& object, const std::string& where, const char* named,
                 std::initializer_list<const char*> positional, const char* positional_words) {
    if (!object.contains(named)) return;
    for (const char* key : positional)
        if (object.contains(key))
            bad(where + ": give either '" + named + "' or " + positional_words + ", not both");
}

// Field by field: `over` on `base`, objects within merged too.
void merge_into(json& base, const json& over) {
    for (auto it = over.begin(); it != over.end(); ++it) {
        json* field = base.contains(it.key()) ? &base[it.key()] : nullptr;
        if (field && field->is_object() && it.value().is_object())
            merge_into(*field, it.value());
        else
            base[it.key()] = it.value();
    }
}

// Any error of the simulation's checks, kept for the call's turn.
template <class Check>
std::optional<CallError> rejection(Check&& check) {
    try {
        check();
    } catch (const Error& e) {
        return CallError{e.id(), e.what()};
    }
    return std::nullopt;
}

}  // namespace

CallSetup call_setup_of_inputs(std::vector<Matrix> inputs) {
    CallSetup setup;
    setup.given_positionally = true;
    setup.rejected = rejection([&] { setup.settings = settings_from_inputs(inputs); });
    setup.inputs = std::move(inputs);
    return setup;
}

void check_call_fields(const json& object, const std::string& where) {
    for (const char* key : {"params", "numerator", "denominator"})
        if (object.contains(key)) number_row(object.at(key), where + ": '" + key + "'");
    if (given(object, "T")) number_row(object.at("T"), where + ": 'T'");
    if (object.contains("curve")) {
        const json& curve = object.at("curve");
        Curve scratch;
        if (curve.is_object())
            read_curve({curve, where, "curve", false}, scratch);
        else
            number_row(curve, where + ": 'curve'");
    }
    if (object.contains("settings")) {
        Settings scratch;
        read_settings({object.at("settings"), where, "settings", false}, scratch);
    }
    if (object.contains("process")) read_process(object.at("process"), where);
    if (given(object, "observer")) read_observer(object.at("observer"), where);
    if (given(object, "setpoint")) parse_setpoint(object.at("setpoint"), where + ": 'setpoint'");
    if (object.contains("description") && !object.at("description").is_string())
        bad(where + ": 'description' must be a string, got " + json_kind(object.at("description")));
    if (object.contains("model")) check_model(object, where);
    refuse_both(object, where, "settings", {"params"}, "'params'");
    refuse_both(object, where, "process", {"numerator", "denominator"}, "'numerator' and 'denominator'");
    refuse_both(object, where, "process", {"model"}, "'model'");
    refuse_both(object, where, "observer", {"T"}, "'T'");
}

json merged_call(const json& top, const json& call) {
    // The inherited fields that a field of the call replaces: the other forms of its part.
    static const std::vector<std::pair<std::string, std::vector<std::string>>> kReplaces = {
        {"settings", {"params"}},
        {"params", {"settings"}},
        {"process", {"model", "numerator", "denominator"}},
        {"model", {"process", "numerator", "denominator"}},
        {"numerator", {"process", "model"}},
        {"denominator", {"process", "model"}},
        {"observer", {"T"}},
        {"T", {"observer"}},
    };
    json m = json::object();
    for (const char* key : {"settings", "params", "process", "numerator", "denominator", "model", "curve", "observer",
                            "T", "setpoint", "description"})
        if (top.contains(key)) m[key] = top.at(key);
    for (const auto& [key, others] : kReplaces)
        if (call.contains(key))
            for (const std::string& other : others) m.erase(other);
    // Named settings and curves are refined field by field.
    for (auto it = call.begin(); it != call.end(); ++it) {
        const bool refine = (it.key() == "settings" || it.key() == "curve") && m.contains(it.key()) &&
                            m.at(it.key()).is_object() && it.value().is_object();
        if (refine)
            merge_into(m[it.key()], it.value());
        else
            m[it.key()] = it.value();
    }
    return m;
}

CallSetup call_setup(const json& c, const std::string& where, bool inherits) {
    const std::string missing = inherits ? " (neither in the call nor at the top level)" : "";
    Settings named;  // the named parts over the defaults
    std::optional<Matrix> positional[5];  // the parts given positionally
    bool any_named = false;

    if (c.contains("settings")) {
        read_settings({c.at("settings"), where, "settings", true}, named);
        any_named = true;
    } else if (c.contains("params")) {
        positional[0] = number_row(c.at("params"), where + ": 'params'");
    } else {
        bad(where + ": no 'params' or 'settings'" + missing);
    }
    if (!c.contains("curve")) bad(where + ": no 'curve'" + missing);
    if (c.at("curve").is_object()) {
        read_curve({c.at("curve"), where, "curve", true}, named.curve);
        any_named = true;
    } else {
        positional[3] = number_row(c.at("curve"), where + ": 'curve'");
    }
    if (c.contains("process")) {
        named.process = read_process(c.at("process"), where);
        any_named = true;
    } else if (c.contains("model")) {
        const json& model = c.at("model");
        positional[1] = Matrix::row({number(model, "body_mass", where), number(model, "cardiac_output", where)});
        positional[2] = Matrix(1, 0);  // an empty denominator selects the built-in model
    } else if (c.contains("numerator") && c.contains("denominator")) {
        positional[1] = number_row(c.at("numerator"), where + ": 'numerator'");
        positional[2] = number_row(c.at("denominator"), where + ": 'denominator'");
    } else {
        bad(where + ": no process: give 'process', 'model', or 'numerator' and 'denominator'" + missing);
    }
    const bool filter = given(c, "observer") || given(c, "T");
    if (given(c, "observer")) {
        named.observer = read_observer(c.at("observer"), where);
        any_named = true;
    } else if (given(c, "T")) {
        positional[4] = number_row(c.at("T"), where + ": 'T'");
    }

    CallSetup setup;
    if (given(c, "setpoint"))
        setup.setpoint =
            std::make_shared<const SetpointSchedule>(parse_setpoint(c.at("setpoint"), where + ": 'setpoint'"));
    setup.inputs = inputs_of(named);
    for (int i = 0; i < 5; ++i) {
        if (!positional[i]) continue;
        setup.inputs[i] = std::move(*positional[i]);
        setup.given_positionally = true;
    }
    if (!filter) setup.inputs.pop_back();
    if (!setup.given_positionally) {
        setup.settings = named;
        setup.rejected = rejection([&] { check_settings(named); });
    } else {
        // Named parts are checked by name first; the plug-ins' conversion
        // then checks the positional ones.
        setup.rejected = rejection([&] {
            if (any_named) check_settings(named);
            setup.settings = settings_from_inputs(setup.inputs);
        });
    }
    return setup;
}

}  // namespace veltrax::experiments
