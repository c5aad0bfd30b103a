// SPDX-License-Identifier: LGPL-2.1-or-later
#include "experiments/strict_json.hpp"

#include <set>
#include <vector>

#include "api/errors.hpp"

namespace veltrax::experiments {

using json = nlohmann::json;

namespace {

struct Frame {
    bool array = false;
    std::string label;  // how the parent names this value
    std::set<std::string> keys;
    std::size_t elements = 0;
    std::string key;  // last key read, for the next value's label
};

// Where the innermost object is, as scenario messages name it: "top level",
// "'population': 'body_mass'", "call 2: 'model'" (an element of the top-level
// "calls"), "'scenarios' element 3".
std::string path_of(const std::vector<Frame>& stack) {
    std::vector<std::string> parts;
    for (std::size_t i = 1; i < stack.size(); ++i) {
        const std::string& l = stack[i].label;
        const bool element = stack[i - 1].array;
        if (element && i == 2 && stack[1].label == "calls")
            parts.back() = "call " + l.substr(8);
        else
            parts.push_back(element ? l : "'" + l + "'");
    }
    if (parts.empty()) return "top level";
    std::string p;
    for (const std::string& part : parts)
        p += (p.empty() ? "" : part.rfind("element ", 0) == 0 ? " " : ": ") + part;
    return p;
}

}  // namespace

std::string json_kind(const json& v) {
    switch (v.type()) {
        case json::value_t::null: return "null";
        case json::value_t::object: return "an object";
        case json::value_t::array: return "an array";
        case json::value_t::string: return "a string";
        case json::value_t::boolean: return v.get<bool>() ? "true" : "false";
        case json::value_t::number_integer:
        case json::value_t::number_unsigned:
        case json::value_t::number_float: return "a number";
        default: return "an unsupported value";
    }
}

json parse_json_strict(const std::string& text, const std::string& error_id) {
    std::vector<Frame> stack;
    auto label_for_child = [&]() -> std::string {
        if (stack.empty()) return "";
        const Frame& parent = stack.back();
        return parent.array ? "element " + std::to_string(parent.elements + 1) : parent.key;
    };
    auto element_done = [&] {
        if (!stack.empty() && stack.back().array) ++stack.back().elements;
    };
    auto callback = [&](int, json::parse_event_t event, json& parsed) -> bool {
        switch (event) {
            case json::parse_event_t::object_start:
            case json::parse_event_t::array_start: {
                Frame f;
                f.array = event == json::parse_event_t::array_start;
                f.label = label_for_child();
                stack.push_back(std::move(f));
                break;
            }
            case json::parse_event_t::key: {
                Frame& f = stack.back();
                f.key = parsed.get<std::string>();
                if (!f.keys.insert(f.key).second)
                    throw Error(error_id, path_of(stack) + ": field '" + f.key + "' given twice");
                break;
            }
            case json::parse_event_t::object_end:
            case json::parse_event_t::array_end:
                stack.pop_back();
                element_done();
                break;
            case json::parse_event_t::value: element_done(); break;
        }
        return true;
    };
    try {
        return json::parse(text, callback);
    } catch (const json::exception& e) {
        // Drop the library's "[json.exception.parse_error.101] " prefix.
        std::string what = e.what();
        const std::size_t close = what.find("] ");
        if (what.rfind("[json.exception.", 0) == 0 && close != std::string::npos) what.erase(0, close + 2);
        throw Error(error_id, "not valid JSON: " + what);
    }
}

void check_known_fields(const json& object, const std::vector<std::string>& known, const std::string& where) {
    for (auto it = object.begin(); it != object.end(); ++it) {
        bool found = false;
        for (const std::string& k : known) found = found || k == it.key();
        if (found) continue;
        std::string list;
        for (const std::string& k : known) list += (list.empty() ? "" : ", ") + k;
        throw Error("veltrax:badScenario", where + ": unknown field '" + it.key() + "' (known: " + list + ")");
    }
}

}  // namespace veltrax::experiments
