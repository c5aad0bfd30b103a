// SPDX-License-Identifier: LGPL-2.1-or-later
#include "experiments/sweep.hpp"

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>

#include "experiments/strict_json.hpp"

namespace veltrax::experiments {

namespace fs = std::filesystem;
using ojson = nlohmann::ordered_json;

namespace {

[[noreturn]] void bad_sweep(const std::string& message) { throw Error("veltrax:badSweep", message); }

bool usable_name(const std::string& n) {
    return !n.empty() && n != "." && n != ".." && n.find('/') == std::string::npos && n.find('\0') == std::string::npos;
}

ojson row_json(const Matrix& m) {
    ojson a = ojson::array();
    for (double v : m.data) {
        if (std::isfinite(v))
            a.push_back(v);
        else
            a.push_back(std::isnan(v) ? "NaN" : v > 0 ? "Inf" : "-Inf");
    }
    return a;
}

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return {};
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace

std::string individual_folder(std::uint64_t k) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "individual_%06llu", static_cast<unsigned long long>(k));
    return buf;
}

fs::path run_folder(const std::string& scenario, std::uint64_t individual) {
    return individual == 0 ? fs::path(scenario) : fs::path(scenario) / individual_folder(individual);
}

ojson manifest_json(const SweepManifest& manifest) {
    ojson j;
    j["sweep"] = 1;
    j["scenarios"] = ojson::array();
    for (const SweepEntry& e : manifest.scenarios) {
        ojson s;
        s["name"] = e.name;
        if (e.individuals > 0) s["individuals"] = e.individuals;
        j["scenarios"].push_back(s);
    }
    return j;
}

void write_manifest(const fs::path& outdir, const SweepManifest& manifest) {
    std::set<std::string> names;
    for (const SweepEntry& e : manifest.scenarios) {
        if (!usable_name(e.name)) bad_sweep("'" + e.name + "' is not a usable result folder name");
        if (!names.insert(e.name).second) bad_sweep("two scenarios share the result folder '" + e.name + "'");
    }
    const std::string text = manifest_json(manifest).dump(2) + "\n";
    std::error_code ec;
    fs::create_directories(outdir, ec);
    if (ec) bad_sweep("cannot create '" + outdir.string() + "': " + ec.message());
    const fs::path target = outdir / "sweep.json";
    if (fs::exists(target, ec)) {
        if (read_file(target) == text) return;
        bad_sweep("'" + target.string() + "' describes another sweep; give this one its own output folder");
    }
    char host[256] = {};
    ::gethostname(host, sizeof host - 1);
    const fs::path tmp = outdir / (".sweep.json." + std::string(host) + "." + std::to_string(::getpid()) + ".tmp");
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        out << text;
        out.close();
        if (!out) {
            fs::remove(tmp, ec);
            bad_sweep("cannot write '" + tmp.string() + "'");
        }
    }
    fs::rename(tmp, target, ec);
    if (ec) {
        fs::remove(tmp, ec);
        bad_sweep("cannot write '" + target.string() + "'");
    }
}

SweepManifest read_manifest(const fs::path& outdir) {
    const fs::path path = outdir / "sweep.json";
    std::ifstream in(path, std::ios::binary);
    if (!in) bad_sweep("cannot read '" + path.string() + "'");
    std::ostringstream text;
    text << in.rdbuf();
    const std::string where = path.string() + ": ";
    nlohmann::json j;
    try {
        j = parse_json_strict(text.str(), "veltrax:badSweep");
    } catch (const Error& e) {
        bad_sweep(where + e.what());
    }
    if (!j.is_object() || !j.contains("scenarios") || !j.at("scenarios").is_array())
        bad_sweep(where + "needs \"scenarios\": [...]");
    if (!j.contains("sweep") || j.at("sweep") != 1) bad_sweep(where + "not a sweep manifest of version 1");
    SweepManifest m;
    std::set<std::string> names;
    const nlohmann::json& list = j.at("scenarios");
    for (std::size_t i = 0; i < list.size(); ++i) {
        const nlohmann::json& s = list[i];
        const std::string at = where + "scenario " + std::to_string(i + 1);
        if (!s.is_object() || !s.contains("name") || !s.at("name").is_string())
            bad_sweep(at + " needs a \"name\"");
        SweepEntry e;
        e.name = s.at("name").get<std::string>();
        if (!usable_name(e.name)) bad_sweep(at + ": '" + e.name + "' is not a usable folder name");
        if (!names.insert(e.name).second) bad_sweep(at + ": '" + e.name + "' is listed twice");
        if (s.contains("individuals")) {
            const nlohmann::json& n = s.at("individuals");
            if (!n.is_number_unsigned() || n.get<std::uint64_t>() < 1)
                bad_sweep(at + ": \"individuals\" must be a positive integer");
            e.individuals = n.get<std::uint64_t>();
        }
        m.scenarios.push_back(e);
    }
    return m;
}

ojson call_summary(const std::vector<Matrix>& inputs, const std::vector<Matrix>& outputs,
                   const MetricOptions& options) {
    ojson in;
    static const char* names[] = {"params", "numerator", "denominator", "curve", "T"};
    for (std::size_t i = 0; i < 5; ++i) in[names[i]] = i < inputs.size() ? row_json(inputs[i]) : ojson(nullptr);
    ojson j;
    j["inputs"] = in;
    const double period = sample_period_of(inputs);
    const bool builtin = uses_builtin_model(inputs);
    j["sample_period"] = std::isfinite(period) ? ojson(period) : ojson("NaN");
    j["builtin_model"] = builtin;
    j["metrics"] = metrics_json(compute_metrics(outputs.at(0), outputs.at(1), period, builtin, options));
    return j;
}

ojson individual_summary(const Population& p, const Individual& ind) {
    ojson j;
    j["index"] = ind.index;
    j["seed"] = p.seed;
    ojson cov = ojson::object();
    for (int c = 0; c < kCovariates; ++c) {
        if (!p.draws(static_cast<Covariate>(c))) continue;
        const double v = ind.values[c];
        cov[covariate_name(c)] = std::isfinite(v) ? ojson(v) : ojson(nullptr);
    }
    j["covariates"] = cov;
    j["valid"] = ind.valid;
    if (!ind.valid) j["reason"] = ind.reason;
    return j;
}

}  // namespace veltrax::experiments
