#include "cli/scenario.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

namespace veltrax::cli {
namespace {

using nlohmann::json;

[[noreturn]] void bad(const std::string& message) { throw Error("veltrax:badScenario", message); }

std::string kind_of(const json& v) {
    switch (v.type()) {
        case json::value_t::null: return "null";
        case json::value_t::boolean: return v.get<bool>() ? "true" : "false";
        case json::value_t::string: return "a string";
        case json::value_t::array: return "an array";
        case json::value_t::object: return "an object";
        case json::value_t::binary: return "binary data";
        case json::value_t::discarded: return "nothing";
        default: return "a number";
    }
}

// The fields of one gateway call. "description" is a free-text note.
const std::vector<std::string> kCallKeys = {"params", "numerator", "denominator", "model", "curve", "T", "description"};
const std::vector<std::string> kTopKeys = {"build", "calls", "params",      "numerator", "denominator",
                                           "model", "curve", "T",           "description"};

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

// Checks the types of the call fields that `object` sets; `where` names it in
// messages ("top level", "call 2").
void check_call_fields(const json& object, const std::string& where) {
    for (const char* key : {"params", "numerator", "denominator", "curve"})
        if (object.contains(key)) number_row(object.at(key), where + ": '" + key + "'");
    if (object.contains("T") && !object.at("T").is_null()) number_row(object.at("T"), where + ": 'T'");
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

// Parser callback that notes the first key an object gives twice (the parser
// itself keeps the last), and where: "top level", "call 2: 'model'", ...
class DuplicateKeys {
public:
    bool operator()(int /*depth*/, json::parse_event_t event, json& parsed) {
        switch (event) {
            case json::parse_event_t::object_start:
            case json::parse_event_t::array_start:
                count_element();
                frames_.push_back({event == json::parse_event_t::object_start, {}, {}, 0});
                break;
            case json::parse_event_t::key: {
                Frame& f = frames_.back();
                f.key = parsed.get<std::string>();
                if (!f.keys.insert(f.key).second && found_.empty()) found_ = where() + ": field '" + f.key + "' given twice";
                break;
            }
            case json::parse_event_t::object_end:
            case json::parse_event_t::array_end: frames_.pop_back(); break;
            case json::parse_event_t::value: count_element(); break;
        }
        return true;
    }
    const std::string& found() const { return found_; }

private:
    struct Frame {
        bool object;
        std::set<std::string> keys;
        std::string key;     // the latest key of an object
        std::size_t elements; // elements of an array so far
    };

    void count_element() {
        if (!frames_.empty() && !frames_.back().object) ++frames_.back().elements;
    }

    // The innermost object, named as the other messages name it.
    std::string where() const {
        std::vector<std::string> parts{"top level"};
        for (std::size_t i = 1; i < frames_.size(); ++i) {
            const Frame& parent = frames_[i - 1];
            parts.push_back(parent.object ? "'" + parent.key + "'" : "element " + std::to_string(parent.elements));
        }
        if (parts.size() >= 3 && parts[1] == "'calls'") {
            parts[2] = "call " + parts[2].substr(8);
            parts.erase(parts.begin(), parts.begin() + 2);
        }
        std::string s;
        for (const std::string& p : parts) s += (s.empty() ? "" : p.rfind("element ", 0) == 0 ? " " : ": ") + p;
        return s;
    }

    std::vector<Frame> frames_;
    std::string found_;
};

}  // namespace

Scenario parse_scenario(const std::string& text, const std::string& path) {
    json top;
    DuplicateKeys duplicates;
    try {
        top = json::parse(text, std::ref(duplicates));
    } catch (const json::exception& e) {
        // Drop the library's "[json.exception.parse_error.101] " prefix.
        std::string what = e.what();
        const std::size_t close = what.find("] ");
        if (what.rfind("[json.exception.", 0) == 0 && close != std::string::npos) what.erase(0, close + 2);
        bad("not valid JSON: " + what);
    }
    if (!duplicates.found().empty()) bad(duplicates.found());
    if (!top.is_object()) bad("the file must hold a JSON object, got " + kind_of(top));
    check_keys(top, kTopKeys, "top level");

    Scenario s;
    s.path = path;
    s.name = std::filesystem::path(path).stem().string();
    s.build = build_of(top);
    check_call_fields(top, "top level");

    if (!top.contains("calls")) {
        s.calls.push_back(gateway_inputs(top, "top level", false));
        return s;
    }
    const json& calls = top.at("calls");
    if (!calls.is_array()) bad("top level: 'calls' must be an array of objects, got " + kind_of(calls));
    if (calls.empty()) bad("top level: 'calls' is empty");
    for (std::size_t i = 0; i < calls.size(); ++i) {
        const std::string where = "call " + std::to_string(i + 1);
        const json& call = calls[i];
        if (!call.is_object()) bad(where + " must be an object, got " + kind_of(call));
        check_keys(call, kCallKeys, where);
        check_call_fields(call, where);
        s.calls.push_back(gateway_inputs(merged_call(top, call), where, true));
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
