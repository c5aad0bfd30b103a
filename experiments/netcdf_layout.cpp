// SPDX-License-Identifier: LGPL-2.1-or-later
#include "experiments/netcdf_layout.hpp"

#include <algorithm>
#include <charconv>
#include <map>

#include <nlohmann/json.hpp>

#include "experiments/format.hpp"
#include "experiments/labels.hpp"
#include "experiments/netcdf_store.hpp"
#include "experiments/run_folder.hpp"
#include "experiments/sweep_table.hpp"

namespace veltrax::experiments::netcdf_layout {

namespace {

using ojson = nlohmann::ordered_json;

// Chunks of the signals hold one run (all calls) and at most this many bytes.
constexpr std::size_t kMaxChunkBytes = 4 << 20;

struct VariableDef {
    std::string name;
    int type;
    std::vector<std::string> dims;
    std::string long_name;
    std::string units;
    bool signal = false;  // chunked by run and compressed
};

std::vector<VariableDef> variable_defs() {
    const std::vector<std::string> run{"run"}, call{"run", "call"};
    std::vector<VariableDef> v = {
        {kScenario, nc::kInt, run, "scenario of the run (index into scenario_name)", ""},
        {kIndividual, nc::kUint64, run, "individual of the scenario's population; 0: no population", ""},
        {kComplete, nc::kByte, run, "the run's results are stored (1) or not yet (0)", ""},
        {kStatus, nc::kByte, run, "0 not stored, 1 ok, 2 failed", ""},
        {kSeed, nc::kInt64, run, "noise seed; 0: none", ""},
        {kPopulationSeed, nc::kUint64, run, "population seed; 0: no population", ""},
        {kCalls, nc::kInt, run, "calls that ran", ""},
        {kErrorCall, nc::kInt, run, "call that failed; 0: none ran", ""},
        {kErrorId, nc::kString, run, "error identifier of a failed run", ""},
        {kErrorMessage, nc::kString, run, "error message of a failed run", ""},
        {kController, nc::kString, run, "controller that closed the loop", ""},
    };
    for (const std::string& c : run_columns()) {
        const ColumnLabel l = column_label(c);
        v.push_back({c, nc::kDouble, run, c == "build" ? "build of the simulation (1, 2, 3)" : l.title, l.unit});
    }
    for (const std::string& c : call_columns()) {
        const ColumnLabel l = column_label(c);
        v.push_back({c, nc::kDouble, call, l.title, l.unit});
    }
    v.push_back({"gaussian_noise", nc::kByte, call, "noise is Gaussian (1) or uniform (0)", ""});
    v.push_back({"builtin_model", nc::kByte, call, "process is the built-in model (1) or linear (0)", ""});
    v.push_back({"sample_period", nc::kDouble, call, "time one sample stands for", "time"});
    v.push_back({"estimates", nc::kInt, call, "columns of theta used (a_order + b_order)", ""});
    v.push_back({"numerator", nc::kDouble, {"run", "call", "coefficient"}, "linear process numerator, descending powers of s", ""});
    v.push_back({"denominator", nc::kDouble, {"run", "call", "coefficient"}, "linear process denominator, descending powers of s", ""});
    v.push_back({"observer", nc::kDouble, {"run", "call", "observer_term"}, "observer filter T", ""});
    v.push_back({"sums", nc::kDouble, {"run", "call", "sum"}, "the call's three performance sums", ""});
    v.push_back({"time", nc::kDouble, {"run", "call", "sample"}, "recorded time t", "time", true});
    v.push_back({"trajectory", nc::kDouble, {"run", "call", "sample", "column"}, "set-point, control, measurement, static gain, process output", "", true});
    v.push_back({"theta", nc::kDouble, {"run", "call", "sample", "estimate"}, "parameter estimates a1 .. a_na, b0 .. b_(nb-1)", "", true});
    v.push_back({"search", nc::kDouble, {"run", "call", "sample", "search_column"}, "search record of the move", "", true});
    return v;
}

std::vector<std::size_t> signal_chunks(const std::vector<std::string>& dims, const Sizes& z, std::size_t last) {
    const std::size_t per_sample = z.calls * last * sizeof(double);
    const std::size_t samples = std::max<std::size_t>(1, std::min(z.samples, kMaxChunkBytes / per_sample));
    std::vector<std::size_t> chunks{1, z.calls, samples};
    if (dims.size() == 4) chunks.push_back(last);
    return chunks;
}

void define_coordinates(NetcdfFile& f, std::map<std::string, int>& dim) {
    const int call = f.define_variable("call", nc::kInt, {dim["call"]});
    f.put_attribute(call, "long_name", std::string("call number, from 1"));
    f.define_variable("column", nc::kString, {dim["column"]});
    f.define_variable("sum", nc::kString, {dim["sum"]});
    const int names = f.define_variable("scenario_name", nc::kString, {dim["scenario"]});
    f.put_attribute(names, "long_name", std::string("scenario names, in the sweep's order"));
}

void write_coordinates(NetcdfFile& f, const Sizes& z, const std::vector<const Scenario*>& scenarios) {
    std::vector<std::int32_t> calls(z.calls);
    for (std::size_t c = 0; c < z.calls; ++c) calls[c] = static_cast<std::int32_t>(c + 1);
    f.put(f.variable("call"), {0}, {z.calls}, calls.data());
    f.put(f.variable("column"), {0}, {5}, trajectory_columns());
    f.put(f.variable("sum"), {0}, {3}, sums_columns());
    std::vector<std::string> names;
    for (const Scenario* s : scenarios) names.push_back(s->name);
    f.put(f.variable("scenario_name"), {0}, {names.size()}, names);
}

}  // namespace

Sizes sizes_of(const std::vector<const Scenario*>& scenarios, std::size_t runs) {
    Sizes z;
    z.runs = runs;
    z.scenarios = scenarios.size();
    for (const Scenario* s : scenarios) {
        z.calls = std::max(z.calls, s->calls.size());
        for (const CallSetup& c : s->calls) {
            if (c.rejected) continue;
            const Settings& st = c.settings;
            if (st.samples > 0) z.samples = std::max(z.samples, static_cast<std::size_t>(st.samples));
            if (st.a_order + st.b_order > 0)
                z.estimates = std::max(z.estimates, static_cast<std::size_t>(st.a_order + st.b_order));
            if (const auto* tf = std::get_if<TransferFunction>(&st.process))
                z.coefficients = std::max({z.coefficients, tf->numerator.size(), tf->denominator.size()});
        }
    }
    return z;
}

std::string scenarios_attribute(const std::vector<const Scenario*>& scenarios) {
    ojson list = ojson::array();
    for (const Scenario* s : scenarios)
        list.push_back({{"name", s->name},
                        {"path", s->path},
                        {"description", s->description},
                        {"build", static_cast<int>(s->build)},
                        {"seed", s->seed},
                        {"source", s->text}});
    return list.dump(-1, ' ', false, ojson::error_handler_t::replace);
}

std::string differing_scenario(const std::string& a, const std::string& b, const std::string& file) {
    nlohmann::json ja, jb;
    try {
        ja = nlohmann::json::parse(a);
        jb = nlohmann::json::parse(b);
        if (!ja.is_array() || !jb.is_array()) throw std::runtime_error("not a list");
        for (std::size_t i = 0; i < std::max(ja.size(), jb.size()); ++i) {
            if (i >= ja.size() || i >= jb.size()) return (i < ja.size() ? ja : jb)[i].at("name").get<std::string>();
            const std::string name = ja[i].at("name").get<std::string>();
            if (name != jb[i].at("name").get<std::string>() ||
                ja[i].at("source").get<std::string>() != jb[i].at("source").get<std::string>())
                return name;
        }
    } catch (const std::exception&) {
        throw Error("veltrax:badStore", "'" + file + "': the attribute 'scenarios' is not the list of a sweep's scenarios");
    }
    return "";
}

void define_layout(NetcdfFile& f, const Sizes& z, const std::vector<const Scenario*>& scenarios,
                   const SweepManifest& manifest, Shard shard) {
    std::map<std::string, int> dim;
    for (const auto& [name, length] : std::vector<std::pair<std::string, std::size_t>>{
             {"run", z.runs}, {"call", z.calls}, {"sample", z.samples}, {"column", 5}, {"estimate", z.estimates},
             {"search_column", 5}, {"sum", 3}, {"scenario", z.scenarios}, {"coefficient", z.coefficients},
             {"observer_term", 3}})
        dim[name] = f.define_dimension(name, length);
    f.put_attribute(-1, "title", std::string("veltrax sweep results"));
    f.put_attribute(-1, "veltrax_store", std::to_string(kStoreVersion));
    f.put_attribute(-1, "veltrax_version", std::string(VELTRAX_VERSION));
    f.put_attribute(-1, "sweep", manifest_json(manifest).dump());
    f.put_attribute(-1, "shard", std::to_string(shard.k) + "/" + std::to_string(shard.n));
    f.put_attribute(-1, "scenarios", scenarios_attribute(scenarios));
    define_coordinates(f, dim);
    for (const VariableDef& v : variable_defs()) {
        std::vector<int> ids;
        for (const std::string& d : v.dims) ids.push_back(dim[d]);
        const std::size_t last = v.dims.size() == 4 ? (v.dims[3] == "estimate" ? z.estimates : 5) : 1;
        const int var = v.signal ? f.define_variable(v.name, v.type, ids, signal_chunks(v.dims, z, last), 1)
                                 : f.define_variable(v.name, v.type, ids);
        f.put_attribute(var, "long_name", v.long_name);
        if (!v.units.empty()) f.put_attribute(var, "units", v.units);
    }
    for (const Build b : {Build::Preview, Build::Base, Build::PreviewHold}) {
        std::string names;
        for (const std::string& n : search_columns(b)) names += (names.empty() ? "" : " ") + n;
        f.put_attribute(f.variable("search"), "columns_build" + std::to_string(static_cast<int>(b)), names);
    }
    f.end_definitions();
    write_coordinates(f, z, scenarios);
}

double column_value(const std::string& field) {
    if (field.empty()) return nc::kFillDouble;
    double v = 0.0;
    const auto r = std::from_chars(field.data(), field.data() + field.size(), v);
    if (r.ec != std::errc() || r.ptr != field.data() + field.size())
        throw Error("veltrax:internal", "'" + field + "' is not a number of sweep.csv");
    return v;
}

std::string column_field(double value) { return value == nc::kFillDouble ? std::string() : format_number(value); }

void check_layout(const NetcdfFile& f) {
    if (!f.has_attribute(-1, "veltrax_store"))
        f.fail("not a sweep store of this tool (no attribute veltrax_store)");
    const std::string version = f.text_attribute(-1, "veltrax_store");
    if (version != std::to_string(kStoreVersion))
        f.fail("a sweep store of layout version " + version + "; this tool reads version " +
               std::to_string(kStoreVersion));
    for (const char* a : {"sweep", "shard", "scenarios"}) f.text_attribute(-1, a);
    for (const VariableDef& v : variable_defs()) {
        if (!f.has_variable(v.name)) f.fail("has no variable '" + v.name + "'");
        if (f.dimensions_of(f.variable(v.name)) != v.dims) f.fail("variable '" + v.name + "' has other dimensions");
    }
}

}  // namespace veltrax::experiments::netcdf_layout
