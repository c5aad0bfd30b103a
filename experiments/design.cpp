// SPDX-License-Identifier: LGPL-2.1-or-later
#include "experiments/design.hpp"

#include <cmath>
#include <set>

#include "api/errors.hpp"
#include "experiments/format.hpp"
#include "experiments/strict_json.hpp"
#include "experiments/sweep_table.hpp"

namespace veltrax::experiments {

using json = nlohmann::json;

namespace {

const char* const kId = "veltrax:badDesign";

[[noreturn]] void bad_scenario(const std::string& message) { throw Error("veltrax:badScenario", message); }
[[noreturn]] void bad_design(const std::string& message) { throw Error(kId, message); }

// A whole number; `at` names the field.
std::uint64_t whole_field(const json& block, const char* key, const std::string& at) {
    const json& v = block.at(key);
    if (v.is_number_unsigned()) return v.get<std::uint64_t>();
    if (v.is_number_integer()) bad_design(at + " must be positive, got " + v.dump());
    bad_scenario(at + " must be a whole number, got " + (v.is_number() ? v.dump() : json_kind(v)));
}

std::uint64_t optional_whole(const json& block, const char* key, const std::string& where, std::uint64_t fallback) {
    return block.contains(key) ? whole_field(block, key, where + "." + key) : fallback;
}

DesignMethod method_of(const json& block, const std::string& where) {
    if (!block.contains("method")) bad_scenario(where + " needs 'method' (\"sobol\" or \"morris\")");
    const json& m = block.at("method");
    const std::string name = m.is_string() ? m.get<std::string>() : "";
    if (name == "sobol") return DesignMethod::sobol;
    if (name == "morris") return DesignMethod::morris;
    bad_scenario(where + ".method must be \"sobol\" or \"morris\", got " + (m.is_string() ? "\"" + name + "\"" : json_kind(m)));
}

void read_size(const json& block, const std::string& where, Design& d) {
    const bool sobol = d.method == DesignMethod::sobol;
    const char* key = sobol ? "samples" : "trajectories";
    if (!block.contains(key)) bad_scenario(where + " needs '" + key + "' for the " + design_method_name(d.method) + " design");
    d.samples = whole_field(block, key, where + "." + key);
    const std::uint64_t minimum = sobol ? kMinSobolSamples : kMinMorrisTrajectories;
    if (d.samples < minimum)
        bad_design(where + "." + key + " must be at least " + std::to_string(minimum) + " for the " +
                   design_method_name(d.method) + " design, got " + std::to_string(d.samples));
    if (!sobol) {
        const std::uint64_t levels = optional_whole(block, "levels", where, 4);
        if (levels < 2 || levels > 1000 || levels % 2 != 0)
            bad_design(where + ".levels must be an even number from 2 to 1000, got " + std::to_string(levels));
        d.levels = static_cast<int>(levels);
    }
}

void read_inputs(const json& block, const std::string& where, Design& d) {
    if (!block.contains("inputs")) bad_scenario(where + " needs 'inputs'");
    const json& list = block.at("inputs");
    if (!list.is_array()) bad_scenario(where + ".inputs must be an array of inputs, got " + json_kind(list));
    if (list.empty()) bad_design(where + ".inputs is empty");
    std::set<std::string> names;
    for (std::size_t i = 0; i < list.size(); ++i) {
        const std::string at = "'" + where + ".inputs' element " + std::to_string(i + 1);
        d.inputs.push_back(parse_named_input(list[i], at, kId, true));
        if (!names.insert(d.inputs.back().name).second) bad_design(at + ": '" + d.inputs.back().name + "' is given twice");
    }
    if (d.method == DesignMethod::sobol && d.inputs.size() > kMaxSobolInputs)
        bad_design(where + ".inputs: the sobol design takes at most " + std::to_string(kMaxSobolInputs) +
                   " inputs (the sequence has " + std::to_string(kMaxSobolDimensions) + " dimensions), got " +
                   std::to_string(d.inputs.size()));
}

void read_metrics(const json& block, const std::string& where, Design& d) {
    if (!block.contains("metrics")) bad_scenario(where + " needs 'metrics', e.g. [\"mdape\", \"max_overshoot\"]");
    const json& list = block.at("metrics");
    if (!list.is_array()) bad_scenario(where + ".metrics must be an array of metric names, got " + json_kind(list));
    if (list.empty()) bad_design(where + ".metrics is empty");
    for (std::size_t i = 0; i < list.size(); ++i) {
        const std::string at = "'" + where + ".metrics' element " + std::to_string(i + 1);
        if (!list[i].is_string()) bad_scenario(at + " must be a string, got " + json_kind(list[i]));
        d.metrics.push_back(list[i].get<std::string>());
        check_metric_name(d.metrics.back(), at, kId);
        for (std::size_t j = 0; j + 1 < d.metrics.size(); ++j)
            if (d.metrics[j] == d.metrics.back()) bad_design(at + ": '" + d.metrics.back() + "' is given twice");
    }
}

void read_bootstrap(const json& block, const std::string& where, Design& d) {
    d.bootstrap.resamples = optional_whole(block, "bootstrap", where, 1000);
    if (d.bootstrap.resamples > 100000)
        bad_design(where + ".bootstrap must be at most 100000 resamples, got " + std::to_string(d.bootstrap.resamples));
    if (block.contains("confidence")) {
        const json& c = block.at("confidence");
        if (!c.is_number()) bad_scenario(where + ".confidence must be a number, got " + json_kind(c));
        d.bootstrap.confidence = c.get<double>();
        if (!(d.bootstrap.confidence > 0.0 && d.bootstrap.confidence < 1.0))
            bad_design(where + ".confidence must lie between 0 and 1, got " + c.dump());
    }
}

}  // namespace

const char* design_method_name(DesignMethod m) { return m == DesignMethod::sobol ? "sobol" : "morris"; }

void check_metric_name(const std::string& metric, const std::string& field, const std::string& id) {
    const std::vector<std::string>& names = metric_columns();
    for (const std::string& n : names)
        if (n == metric) return;
    std::string list;
    for (const std::string& n : names) list += (list.empty() ? "" : ", ") + n;
    throw Error(id, field + ": no metric '" + metric + "' in sweep.csv (metrics: " + list + ")");
}

std::uint64_t Design::runs() const {
    const std::uint64_t per_point = method == DesignMethod::sobol ? inputs.size() + 2 : inputs.size() + 1;
    return samples * per_point;
}

std::vector<double> Design::values(std::uint64_t k) const {
    std::vector<double> v(inputs.size());
    const std::size_t r = static_cast<std::size_t>(k - 1);
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        const InputRange& range = inputs[i].range;
        if (method == DesignMethod::sobol)
            v[i] = range.at(saltelli->at(r, i));
        else
            v[i] = range.at_level(morris->level[r * inputs.size() + i], levels);
    }
    return v;
}

void make_points(Design& d) {
    const std::size_t n = static_cast<std::size_t>(d.samples);
    if (d.method == DesignMethod::sobol)
        d.saltelli = std::make_shared<const SaltelliDesign>(saltelli_design(n, d.inputs.size(), d.seed));
    else
        d.morris = std::make_shared<const MorrisDesign>(morris_design(n, d.inputs.size(), d.levels, d.seed));
}

Design parse_design(const json& block, const std::string& where) {
    if (!block.is_object()) bad_scenario(where + " must be an object, got " + json_kind(block));
    Design d;
    d.method = method_of(block, where);
    const bool sobol = d.method == DesignMethod::sobol;
    std::vector<std::string> known = {"method", "seed", "inputs", "metrics", "call", "bootstrap", "confidence",
                                      "description"};
    known.push_back(sobol ? "samples" : "trajectories");
    if (!sobol) known.push_back("levels");
    check_known_fields(block, known, where);
    read_size(block, where, d);
    d.seed = optional_whole(block, "seed", where, 1);
    if (d.seed == 0) bad_design(where + ".seed must be from 1 to 2^64 - 1, got 0");
    d.bootstrap.seed = d.seed;
    read_inputs(block, where, d);
    read_metrics(block, where, d);
    d.call = static_cast<std::size_t>(optional_whole(block, "call", where, 1));
    if (d.call == 0) bad_design(where + ".call must be at least 1, got 0");
    read_bootstrap(block, where, d);
    if (d.samples > kMaxDesignRuns || d.runs() > kMaxDesignRuns)
        bad_design(where + ": the design has more than " + std::to_string(kMaxDesignRuns) + " runs");
    if (block.contains("description") && !block.at("description").is_string())
        bad_scenario(where + ".description must be a string");
    make_points(d);
    return d;
}

nlohmann::ordered_json design_json(const Design& d) {
    nlohmann::ordered_json j;
    j["method"] = design_method_name(d.method);
    j[d.method == DesignMethod::sobol ? "samples" : "trajectories"] = d.samples;
    if (d.method == DesignMethod::morris) j["levels"] = d.levels;
    j["seed"] = d.seed;
    j["inputs"] = nlohmann::ordered_json::array();
    for (const NamedInput& in : d.inputs) j["inputs"].push_back(named_input_json(in));
    j["metrics"] = d.metrics;
    j["call"] = d.call;
    j["bootstrap"] = d.bootstrap.resamples;
    j["confidence"] = d.bootstrap.confidence;
    return j;
}

}  // namespace veltrax::experiments
