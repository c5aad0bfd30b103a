// SPDX-License-Identifier: LGPL-2.1-or-later
#include "experiments/sweep_sensitivity.hpp"

#include <cmath>
#include <cstdlib>
#include <limits>
#include <map>
#include <stdexcept>

#include "api/errors.hpp"
#include "experiments/files.hpp"
#include "experiments/format.hpp"
#include "experiments/sweep_table.hpp"

namespace veltrax::experiments {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

[[noreturn]] void bad_sweep(const std::string& message) { throw Error("veltrax:badSweep", message); }

// A number of sweep.csv: %.17g, NaN, Inf, -Inf; empty is NaN.
double number_of(const std::string& field) {
    if (field.empty()) return kNaN;
    char* end = nullptr;
    const double v = std::strtod(field.c_str(), &end);
    return end == field.c_str() + field.size() ? v : kNaN;
}

std::uint64_t whole_of(const std::string& field) {
    char* end = nullptr;
    const unsigned long long v = std::strtoull(field.c_str(), &end, 10);
    return !field.empty() && end == field.c_str() + field.size() ? v : 0;
}

// The columns of sweep.csv that the analysis reads, by the header's names.
struct Columns {
    std::size_t scenario, individual, call, status;
    std::map<std::string, std::size_t> metrics;
};

Columns columns_of(const std::vector<std::string>& header) {
    auto find = [&](const std::string& name) {
        for (std::size_t i = 0; i < header.size(); ++i)
            if (header[i] == name) return i;
        bad_sweep("sweep.csv has no column '" + name + "'");
    };
    Columns c{find("scenario"), find("individual"), find("call"), find("status"), {}};
    for (const std::string& m : metric_columns())
        for (std::size_t i = 0; i < header.size(); ++i)
            if (header[i] == m) c.metrics[m] = i;
    return c;
}

// One design being gathered: its metrics' values by run.
struct Gathering {
    DesignAnalysis analysis;
    std::vector<std::size_t> columns;         // of its metrics
    std::vector<std::vector<double>> values;  // per metric, per run (from 0)
};

void analyse(Gathering& g) {
    const Design& d = g.analysis.design;
    for (std::size_t m = 0; m < d.metrics.size(); ++m) {
        MetricAnalysis a;
        a.metric = d.metrics[m];
        const std::vector<double>& y = g.values[m];
        for (double v : y) a.finite += std::isfinite(v) ? 1 : 0;
        if (d.method == DesignMethod::sobol)
            a.sobol = sobol_indices(static_cast<std::size_t>(d.samples), d.inputs.size(), y, d.bootstrap);
        else
            a.morris = morris_indices(*d.morris, y, d.bootstrap);
        g.analysis.metrics.push_back(std::move(a));
    }
}

}  // namespace

std::vector<DesignAnalysis> analyze_designs(const SweepManifest& manifest, std::string_view csv) {
    std::map<std::string, Gathering> designs;
    for (const SweepEntry& e : manifest.scenarios) {
        if (e.design.is_null()) continue;
        Gathering g;
        g.analysis.scenario = e.name;
        try {
            g.analysis.design = parse_design(nlohmann::json::parse(e.design.dump()), "sensitivity");
        } catch (const Error& err) {
            bad_sweep("sweep.json: the design of '" + e.name + "': " + err.what());
        }
        designs.emplace(e.name, std::move(g));
    }
    if (designs.empty()) return {};

    std::size_t pos = 0;
    std::vector<std::string> fields;
    try {
        if (!read_csv_record(csv, pos, fields)) bad_sweep("sweep.csv is empty");
        const Columns c = columns_of(fields);
        for (auto& [name, g] : designs) {
            const Design& d = g.analysis.design;
            for (const std::string& m : d.metrics) {
                if (!c.metrics.count(m)) bad_sweep("sweep.csv has no column '" + m + "'");
                g.columns.push_back(c.metrics.at(m));
            }
            g.values.assign(d.metrics.size(), std::vector<double>(static_cast<std::size_t>(d.runs()), kNaN));
        }
        while (read_csv_record(csv, pos, fields)) {
            if (fields.size() <= c.status) continue;
            auto it = designs.find(fields[c.scenario]);
            if (it == designs.end() || fields[c.status] != "ok") continue;
            Gathering& g = it->second;
            const std::uint64_t k = whole_of(fields[c.individual]);
            if (k < 1 || k > g.analysis.design.runs() || whole_of(fields[c.call]) != g.analysis.design.call) continue;
            ++g.analysis.ok;
            for (std::size_t m = 0; m < g.columns.size(); ++m)
                g.values[m][k - 1] = g.columns[m] < fields.size() ? number_of(fields[g.columns[m]]) : kNaN;
        }
    } catch (const std::runtime_error& e) {
        bad_sweep(std::string("sweep.csv: ") + e.what());
    }
    std::vector<DesignAnalysis> out;
    for (auto& [name, g] : designs) {
        analyse(g);
        out.push_back(std::move(g.analysis));
    }
    return out;
}

std::vector<DesignAnalysis> analyze_designs(const std::filesystem::path& outdir) {
    const SweepManifest manifest = read_manifest(outdir);
    bool any = false;
    for (const SweepEntry& e : manifest.scenarios) any = any || !e.design.is_null();
    if (!any) return {};
    std::string csv;
    if (!read_text(outdir / "sweep.csv", csv))
        bad_sweep("cannot read '" + (outdir / "sweep.csv").string() + "'; 'veltrax report' writes it");
    return analyze_designs(manifest, csv);
}

std::string sensitivity_csv(const std::vector<DesignAnalysis>& analyses) {
    std::string out = csv_row({"scenario", "method", "metric", "input", "S1", "S1_conf", "ST", "ST_conf", "mu",
                               "mu_star", "mu_star_conf", "sigma", "used", "dropped"});
    for (const DesignAnalysis& a : analyses) {
        const Design& d = a.design;
        const bool sobol = d.method == DesignMethod::sobol;
        for (const MetricAnalysis& m : a.metrics) {
            for (std::size_t i = 0; i < d.inputs.size(); ++i) {
                std::vector<std::string> f = {a.scenario, design_method_name(d.method), m.metric, d.inputs[i].name};
                auto put = [&](const std::vector<double>& v) { f.push_back(format_number(v[i])); };
                if (sobol) {
                    for (const std::vector<double>* v : {&m.sobol.S1, &m.sobol.S1_conf, &m.sobol.ST, &m.sobol.ST_conf})
                        put(*v);
                    f.insert(f.end(), 4, "");
                    f.push_back(std::to_string(m.sobol.groups_used));
                    f.push_back(std::to_string(m.sobol.groups_dropped));
                } else {
                    f.insert(f.end(), 4, "");
                    for (const std::vector<double>* v :
                         {&m.morris.mu, &m.morris.mu_star, &m.morris.mu_star_conf, &m.morris.sigma})
                        put(*v);
                    f.push_back(std::to_string(m.morris.effects[i]));
                    f.push_back(std::to_string(static_cast<std::size_t>(d.samples) - m.morris.effects[i]));
                }
                out += csv_row(f);
            }
        }
    }
    return out;
}

}  // namespace veltrax::experiments
