// SPDX-License-Identifier: LGPL-2.1-or-later
// The "tune" block and tune.json.
#include <algorithm>
#include <cmath>
#include <limits>
#include <set>

#include "experiments/design.hpp"
#include "experiments/format.hpp"
#include "experiments/strict_json.hpp"
#include "experiments/tuning.hpp"

namespace veltrax::experiments {

using json = nlohmann::json;
using ojson = nlohmann::ordered_json;

namespace {

const char* const kId = "veltrax:badTuning";
constexpr std::size_t kMaxCandidates = 100000;

[[noreturn]] void bad_scenario(const std::string& m) { throw Error("veltrax:badScenario", m); }
[[noreturn]] void bad_tuning(const std::string& m) { throw Error(kId, m); }

std::uint64_t whole(const json& v, const std::string& at) {
    if (v.is_number_unsigned()) return v.get<std::uint64_t>();
    if (v.is_number_integer()) bad_tuning(at + " must be positive, got " + v.dump());
    bad_scenario(at + " must be a whole number, got " + (v.is_number() ? v.dump() : json_kind(v)));
}

// "values": [2, 3, 4]
std::vector<double> read_values(const json& v, const std::string& at, bool whole_field) {
    if (!v.is_array()) bad_scenario(at + ": 'values' must be an array of numbers, got " + json_kind(v));
    if (v.empty()) bad_tuning(at + ": 'values' is empty");
    std::vector<double> out;
    for (std::size_t i = 0; i < v.size(); ++i) {
        if (!v[i].is_number()) bad_scenario(at + ": 'values' element " + std::to_string(i + 1) + " must be a number");
        const double x = v[i].get<double>();
        if (whole_field && std::trunc(x) != x)
            bad_tuning(at + ": the field takes whole numbers, got " + format_shortest(x));
        if (std::find(out.begin(), out.end(), x) != out.end())
            bad_tuning(at + ": 'values' holds " + format_shortest(x) + " twice");
        out.push_back(x);
    }
    return out;
}

TunedSetting read_setting(const json& v, const Scenario& s, const std::string& at) {
    TunedSetting t;
    if (v.is_object() && v.contains("values")) {
        check_known_fields(v, {"name", "values"}, at);
        if (!v.contains("name") || !v.at("name").is_string()) bad_scenario(at + " needs a 'name' (a string)");
        t.input.name = v.at("name").get<std::string>();
        t.input.path = parse_field_path(t.input.name, at, kId);
        t.values = read_values(v.at("values"), at + " ('" + t.input.name + "')", whole_number_field(t.input.path));
        t.input.range.low = *std::min_element(t.values.begin(), t.values.end());
        t.input.range.high = *std::max_element(t.values.begin(), t.values.end());
    } else {
        t.input = parse_named_input(v, at, kId, false);
        const InputRange& r = t.input.range;
        if (r.kind == InputRange::Kind::integer)  // every whole number of the range
            for (double x = r.low; x <= r.high && t.values.size() <= kMaxCandidates; x += 1.0) t.values.push_back(x);
    }
    const std::string where = at + " ('" + t.input.name + "')";
    const FieldPath& p = t.input.path;
    if (p.covariate >= 0) bad_tuning(where + ": a population covariate is not a setting; tune the settings' fields");
    const std::string& first = p.steps.front().key;
    if (first == "build" || first == "seed" || first == "population" || first == "tune" || first == "sensitivity")
        bad_tuning(where + ": '" + first + "' is not a setting");
    const json* value = field_at(*s.source, p);
    if (!value || !value->is_number())
        bad_tuning(where + ": the scenario file has no number at '" + p.text + "'");
    t.initial = value->get<double>();
    return t;
}

void read_objective(const json& block, TuneProblem& problem) {
    if (!block.contains("objective")) return;
    const json& o = block.at("objective");
    if (o.is_string() && o.get<std::string>() == "mean") {
        problem.mean = true;
        return;
    }
    if (!o.is_object() || !o.contains("quantile") || o.size() != 1 || !o.at("quantile").is_number())
        bad_scenario("tune.objective must be \"mean\" or {\"quantile\": q}, got " + o.dump());
    problem.quantile = o.at("quantile").get<double>();
    if (!(problem.quantile >= 0.0 && problem.quantile <= 1.0))
        bad_tuning("tune.objective.quantile must lie within [0, 1], got " + o.at("quantile").dump());
}

void read_validation(const json& block, const Population& training, TuneProblem& problem) {
    problem.validation_size = training.size;
    problem.validation_seed = training.seed == std::numeric_limits<std::uint64_t>::max() ? 1 : training.seed + 1;
    if (!block.contains("validation")) return;
    const json& v = block.at("validation");
    if (!v.is_object()) bad_scenario("tune.validation must be an object {\"size\": ..., \"seed\": ...}");
    check_known_fields(v, {"size", "seed"}, "tune.validation");
    if (v.contains("size")) problem.validation_size = whole(v.at("size"), "tune.validation.size");
    if (v.contains("seed")) problem.validation_seed = whole(v.at("seed"), "tune.validation.seed");
    if (problem.validation_size < 1 || problem.validation_size > 10000000)
        bad_tuning("tune.validation.size must be from 1 to 10000000, got " + std::to_string(problem.validation_size));
    if (problem.validation_seed == 0) bad_tuning("tune.validation.seed must be from 1 to 2^64 - 1, got 0");
    if (problem.validation_seed == training.seed)
        bad_tuning("tune.validation.seed must differ from population.seed (" + std::to_string(training.seed) +
                   "): the validation population is held out");
}

void check_budget(const TuneProblem& problem) {
    std::size_t combinations = 1, continuous = 0;
    for (const TunedSetting& t : problem.settings) {
        if (!t.enumerated()) {
            ++continuous;
            continue;
        }
        combinations *= t.values.size();
        if (combinations > problem.candidates)
            bad_tuning("tune.candidates: the enumerated settings have more than " + std::to_string(problem.candidates) +
                       " combinations; allow more candidates or fewer values");
    }
    if (continuous == 0) return;
    const std::size_t share = problem.candidates / combinations;
    if (share < min_candidates(continuous))
        bad_tuning("tune.candidates: " + std::to_string(problem.candidates) + " candidates give each of the " +
                   std::to_string(combinations) + " combinations of enumerated settings " + std::to_string(share) +
                   ", and BOBYQA needs at least " + std::to_string(min_candidates(continuous)) + " for " +
                   std::to_string(continuous) + " continuous setting(s)");
}

}  // namespace

std::size_t min_candidates(std::size_t continuous) { return 2 * continuous + 2; }

TuneProblem parse_tune(const Scenario& s) {
    if (!s.tune) bad_tuning("the scenario has no 'tune' block");
    const json& block = *s.tune;
    if (!block.is_object()) bad_scenario("tune must be an object, got " + json_kind(block));
    check_known_fields(block, {"settings", "metric", "objective", "call", "candidates", "validation", "description"},
                       "tune");
    if (!s.population)
        bad_tuning("the scenario needs a 'population' to tune over: the training population");
    if (!s.controllers.empty())
        bad_tuning("the scenario compares 'controllers'; tune one controller, given as 'controller'");
    TuneProblem problem;
    if (!block.contains("settings")) bad_scenario("tune needs 'settings'");
    const json& list = block.at("settings");
    if (!list.is_array()) bad_scenario("tune.settings must be an array of settings, got " + json_kind(list));
    if (list.empty()) bad_tuning("tune.settings is empty");
    std::set<std::string> names;
    for (std::size_t i = 0; i < list.size(); ++i) {
        const std::string at = "'tune.settings' element " + std::to_string(i + 1);
        problem.settings.push_back(read_setting(list[i], s, at));
        if (!names.insert(problem.settings.back().input.name).second)
            bad_tuning(at + ": '" + problem.settings.back().input.name + "' is given twice");
    }
    if (!block.contains("metric") || !block.at("metric").is_string())
        bad_scenario("tune needs 'metric', the name of a metric column such as \"mdape\"");
    problem.metric = block.at("metric").get<std::string>();
    check_metric_name(problem.metric, "tune.metric", kId);
    read_objective(block, problem);
    if (block.contains("call")) problem.call = static_cast<std::size_t>(whole(block.at("call"), "tune.call"));
    if (problem.call < 1 || problem.call > s.calls.size())
        bad_tuning("tune.call must be from 1 to " + std::to_string(s.calls.size()) + " (the scenario's calls), got " +
                   std::to_string(problem.call));
    if (block.contains("candidates"))
        problem.candidates = static_cast<std::size_t>(whole(block.at("candidates"), "tune.candidates"));
    if (problem.candidates < 1 || problem.candidates > kMaxCandidates)
        bad_tuning("tune.candidates must be from 1 to " + std::to_string(kMaxCandidates) + ", got " +
                   std::to_string(problem.candidates));
    problem.training_size = s.population->size;
    problem.training_seed = s.population->seed;
    read_validation(block, *s.population, problem);
    check_budget(problem);
    return problem;
}

double tune_objective(std::vector<double> v, bool mean, double q) {
    constexpr double inf = std::numeric_limits<double>::infinity();
    if (v.empty()) return inf;
    for (double& x : v)
        if (!std::isfinite(x)) x = inf;
    if (mean) {
        double sum = 0.0;
        for (double x : v) sum += x;
        return sum / static_cast<double>(v.size());
    }
    std::sort(v.begin(), v.end());
    const double h = static_cast<double>(v.size() - 1) * q;
    const std::size_t lo = static_cast<std::size_t>(std::floor(h));
    const double frac = h - static_cast<double>(lo);
    if (lo + 1 >= v.size() || frac == 0.0) return v[lo];
    if (!std::isfinite(v[lo + 1])) return inf;
    return v[lo] + frac * (v[lo + 1] - v[lo]);
}

namespace {

ojson values_json(const TuneProblem& problem, const std::vector<double>& values) {
    ojson j = ojson::object();
    for (std::size_t i = 0; i < problem.settings.size() && i < values.size(); ++i)
        j[problem.settings[i].input.name] = json_number(values[i]);
    return j;
}

ojson evaluation_json(const TuneProblem& problem, const Evaluation& e) {
    ojson j;
    j["settings"] = values_json(problem, e.values);
    j["objective"] = json_number(e.objective);
    j["failed"] = e.failed;
    return j;
}

ojson validation_json(const TuneProblem& problem, const Evaluation& e, const Bands& b) {
    ojson j = evaluation_json(problem, e);
    std::vector<double> finite;
    for (double x : e.metric)
        if (std::isfinite(x)) finite.push_back(x);
    ojson q;
    for (double p : {0.05, 0.5, 0.95}) q.push_back(json_number(finite.empty() ? NAN : tune_objective(finite, false, p)));
    j["metric_5_50_95"] = q;
    ojson bands;
    bands["runs"] = b.runs;
    for (int k = 0; k < 3; ++k) {
        static const char* names[] = {"5", "50", "95"};
        ojson y, u;
        for (double x : b.y[k]) y.push_back(json_number(x));
        for (double x : b.u[k]) u.push_back(json_number(x));
        bands[std::string("y") + names[k]] = y;
        bands[std::string("u") + names[k]] = u;
    }
    j["bands"] = bands;
    return j;
}

}  // namespace

ojson tune_json(const TuneResult& r) {
    const TuneProblem& problem = r.problem;
    ojson j;
    j["tune"] = 1;
    j["algorithm"] = r.algorithm;
    j["metric"] = problem.metric;
    j["call"] = problem.call;
    j["objective"] = problem.mean ? ojson("mean") : ojson({{"quantile", problem.quantile}});
    j["candidates"] = problem.candidates;
    ojson settings = ojson::array();
    for (const TunedSetting& t : problem.settings) {
        ojson s = named_input_json(t.input);
        if (t.enumerated()) s = {{"name", t.input.name}, {"values", t.values}};
        s["default"] = t.initial;
        settings.push_back(s);
    }
    j["settings"] = settings;
    j["training"] = {{"size", problem.training_size}, {"seed", problem.training_seed}};
    j["validation"] = {{"size", problem.validation_size}, {"seed", problem.validation_seed}};
    j["default"] = {{"training", evaluation_json(problem, r.default_training)},
                    {"validation", validation_json(problem, r.default_validation, r.default_bands)}};
    j["chosen"] = {{"candidate", r.best + 1},
                   {"training", r.history.empty() ? ojson() : evaluation_json(problem, r.history[r.best])},
                   {"validation", validation_json(problem, r.tuned_validation, r.tuned_bands)}};
    ojson history = ojson::array();
    for (const Evaluation& e : r.history) history.push_back(evaluation_json(problem, e));
    j["history"] = history;
    ojson t, sp;
    for (double x : r.tuned_bands.t) t.push_back(json_number(x));
    for (double x : r.tuned_bands.setpoint) sp.push_back(json_number(x));
    j["time"] = t;
    j["setpoint"] = sp;
    return j;
}

}  // namespace veltrax::experiments
