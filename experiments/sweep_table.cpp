// SPDX-License-Identifier: LGPL-2.1-or-later
#include "experiments/sweep_table.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "experiments/format.hpp"

namespace veltrax::experiments {

namespace {

// The parameter columns, from the call's positional inputs: 9 of the
// parameter vector, the body of the built-in model, 4 of the curve.
const std::vector<std::string> kParameterColumns = {
    "N", "control_weight", "dead_time", "u_max", "a_order", "b_order", "noise_amplitude", "substeps_per_sample",
    "rk4_step_size"};
const std::vector<std::string> kCurveColumns = {"plant_hill_midpoint", "hill_midpoint", "plant_hill_exponent",
                                                "hill_exponent"};

struct MetricColumn {
    const char* name;
    double (*get)(const Metrics&);
    bool builtin_model_only;
    const char* unit;
};
const MetricColumn kMetricColumns[] = {
    {"iae", [](const Metrics& m) { return m.iae; }, false, "(model min | recorded time) x y"},
    {"ise", [](const Metrics& m) { return m.ise; }, false, "(model min | recorded time) x y^2"},
    {"steps", [](const Metrics& m) { return static_cast<double>(m.steps.size()); }, false, "count"},
    {"max_overshoot", [](const Metrics& m) { return m.max_overshoot(); }, false, "% of the step"},
    {"max_undershoot", [](const Metrics& m) { return m.max_undershoot(); }, false, "% of the step"},
    {"max_settling_time", [](const Metrics& m) { return m.max_settling_time(); }, false, "model min | recorded time"},
    {"time_in_band", [](const Metrics& m) { return m.time_in_band(); }, false, "model min | recorded time"},
    {"total_control", [](const Metrics& m) { return m.total_control; }, false, "(model min | recorded time) x u"},
    {"peak_control", [](const Metrics& m) { return m.peak_control; }, false, "u"},
    {"mdpe", [](const Metrics& m) { return m.mdpe; }, true, "%"},
    {"mdape", [](const Metrics& m) { return m.mdape; }, true, "%"},
    {"wobble", [](const Metrics& m) { return m.wobble; }, true, "%"},
    {"divergence", [](const Metrics& m) { return m.divergence; }, true, "% per model hour"},
    {"mdpe_whole", [](const Metrics& m) { return m.mdpe_whole; }, true, "%"},
    {"mdape_whole", [](const Metrics& m) { return m.mdape_whole; }, true, "%"},
    {"wobble_whole", [](const Metrics& m) { return m.wobble_whole; }, true, "%"},
    {"divergence_whole", [](const Metrics& m) { return m.divergence_whole; }, true, "% per model hour"},
    {"time_to_target", [](const Metrics& m) { return m.time_to_target; }, false, "model min | recorded time"},
    {"induction_overshoot", [](const Metrics& m) { return m.induction_overshoot; }, false, "% of the initial distance"},
    {"maintenance_start", [](const Metrics& m) { return m.maintenance_start; }, false, "model min | recorded time"},
    {"disturbance_peak", [](const Metrics& m) { return m.disturbance_peak(); }, false, "y"},
    {"disturbance_return_time", [](const Metrics& m) { return m.disturbance_return_time(); }, false, "model min | recorded time"},
    {"disturbance_iae", [](const Metrics& m) { return m.disturbance_iae(); }, false, "(model min | recorded time) x y"},
    {"disturbance_control", [](const Metrics& m) { return m.disturbance_control(); }, false, "(model min | recorded time) x u"},
    {"runaway", [](const Metrics& m) { return m.runaway ? 1.0 : 0.0; }, false, "0 or 1"},
};

std::vector<std::string> make_columns() {
    std::vector<std::string> c = {"scenario", "individual", "call", "status", "error_id", "error_message", "build"};
    c.insert(c.end(), kParameterColumns.begin(), kParameterColumns.end());
    c.push_back("body_mass");
    c.push_back("cardiac_output");
    c.insert(c.end(), kCurveColumns.begin(), kCurveColumns.end());
    for (int k = 0; k < kCovariates; ++k) c.push_back(std::string("drawn_") + covariate_name(k));
    c.push_back("samples");
    for (const MetricColumn& m : kMetricColumns) c.push_back(m.name);
    return c;
}

std::string element(const Matrix* m, std::size_t i) { return m && i < m->numel() ? format_number(m->data[i]) : ""; }

// The fields from the build to the drawn values; `call` null for the
// failure's own row.
void put_inputs(const RunResult& run, const CallResult* call, std::vector<std::string>& f) {
    f.push_back(std::to_string(static_cast<int>(run.build)));
    const std::vector<Matrix>* in = call ? &call->setup.inputs : nullptr;
    const Matrix* params = in && !in->empty() ? &(*in)[0] : nullptr;
    for (std::size_t i = 0; i < kParameterColumns.size(); ++i) f.push_back(element(params, i));
    const Matrix* body = call && call->setup.settings.builtin_model() && in->size() > 1 ? &(*in)[1] : nullptr;
    f.push_back(element(body, 0));
    f.push_back(element(body, 1));
    const Matrix* curve = in && in->size() > 3 ? &(*in)[3] : nullptr;
    for (std::size_t i = 0; i < kCurveColumns.size(); ++i) f.push_back(element(curve, i));
    for (int c = 0; c < kCovariates; ++c) {
        const double v = run.individual && run.individual->drawn[c] ? run.individual->individual.values[c] : NAN;
        f.push_back(std::isnan(v) ? "" : format_number(v));
    }
}

std::vector<std::string> row_of(const RunResult& run, const CallResult* call, bool with_error) {
    std::vector<std::string> f;
    f.push_back(run.scenario);
    f.push_back(run.individual ? std::to_string(run.individual_index()) : "");
    if (call)
        f.push_back(std::to_string(call->call));
    else
        f.push_back(with_error && run.failure->call > 0 ? std::to_string(run.failure->call) : "");
    f.push_back(run.ok() ? "ok" : "failed");
    f.push_back(with_error ? run.failure->id : "");
    f.push_back(with_error ? run.failure->message : "");
    put_inputs(run, call, f);
    if (!call) {
        f.resize(sweep_columns().size());
        return f;
    }
    f.push_back(std::to_string(call->metrics.samples));
    const bool builtin = call->setup.settings.builtin_model();
    for (const MetricColumn& m : kMetricColumns)
        f.push_back(m.builtin_model_only && !builtin ? "" : format_number(m.get(call->metrics)));
    return f;
}

}  // namespace

const std::vector<std::string>& sweep_columns() {
    static const std::vector<std::string> columns = make_columns();
    return columns;
}

const std::vector<std::string>& metric_columns() {
    static const std::vector<std::string> names = [] {
        std::vector<std::string> n;
        for (const MetricColumn& m : kMetricColumns) n.push_back(m.name);
        return n;
    }();
    return names;
}

double metric_value(const CallResult& call, const std::string& metric) {
    for (const MetricColumn& m : kMetricColumns) {
        if (metric != m.name) continue;
        return m.builtin_model_only && !call.setup.settings.builtin_model() ? NAN : m.get(call.metrics);
    }
    throw std::out_of_range("no metric column '" + metric + "' in sweep.csv");
}

std::size_t sweep_column(std::string_view name) {
    const std::vector<std::string>& c = sweep_columns();
    for (std::size_t i = 0; i < c.size(); ++i)
        if (c[i] == name) return i;
    throw std::out_of_range("no column '" + std::string(name) + "' in sweep.csv");
}

std::string csv_row(const std::vector<std::string>& fields) {
    std::string r;
    for (std::size_t i = 0; i < fields.size(); ++i) r += (i ? "," : "") + csv_field(fields[i]);
    return r + "\n";
}

std::string sweep_column_unit(std::string_view name) {
    for (const MetricColumn& m : kMetricColumns)
        if (name == m.name) return m.unit;
    return "";
}

std::string sweep_header() { return csv_row(sweep_columns()); }

std::vector<std::vector<std::string>> run_fields(const RunResult& run) {
    std::vector<std::vector<std::string>> rows;
    const std::size_t failed_call = run.failure ? run.failure->call : 0;
    for (const CallResult& c : run.calls) rows.push_back(row_of(run, &c, !run.ok() && c.call == failed_call));
    const bool error_shown = failed_call >= 1 && failed_call <= run.calls.size();
    if (!run.ok() && !error_shown) rows.push_back(row_of(run, nullptr, true));
    return rows;
}

std::string run_rows(const RunResult& run) {
    std::string rows;
    for (const std::vector<std::string>& row : run_fields(run)) rows += csv_row(row);
    return rows;
}

const std::vector<std::string>& run_columns() {
    static const std::vector<std::string> columns = [] {
        std::vector<std::string> c = {"build"};
        for (int k = 0; k < kCovariates; ++k) c.push_back(std::string("drawn_") + covariate_name(k));
        return c;
    }();
    return columns;
}

const std::vector<std::string>& call_columns() {
    static const std::vector<std::string> columns = [] {
        std::vector<std::string> c;
        const std::vector<std::string>& all = sweep_columns();
        const std::vector<std::string>& per_run = run_columns();
        for (std::size_t i = sweep_column("build") + 1; i < all.size(); ++i)
            if (std::find(per_run.begin(), per_run.end(), all[i]) == per_run.end()) c.push_back(all[i]);
        return c;
    }();
    return columns;
}

std::vector<std::string> placeholder_fields(const std::string& scenario, std::uint64_t individual,
                                            const std::string& status, const std::string& error_id,
                                            const std::string& message) {
    std::vector<std::string> f = {scenario, individual ? std::to_string(individual) : "", "", status, error_id,
                                  message};
    f.resize(sweep_columns().size());
    return f;
}

bool read_csv_record(std::string_view text, std::size_t& pos, std::vector<std::string>& fields) {
    fields.clear();
    if (pos >= text.size()) return false;
    fields.emplace_back();
    bool quoted = false;
    for (; pos < text.size(); ++pos) {
        const char c = text[pos];
        if (quoted && c == '"' && pos + 1 < text.size() && text[pos + 1] == '"') {
            fields.back() += '"';
            ++pos;
        } else if (c == '"') {
            quoted = !quoted;
        } else if (!quoted && c == ',') {
            fields.emplace_back();
        } else if (!quoted && c == '\n') {
            ++pos;
            return true;
        } else {
            fields.back() += c;
        }
    }
    throw std::runtime_error("the last line has no line break");
}

CsvReader::CsvReader(const std::filesystem::path& path) : file_(std::fopen(path.c_str(), "rb"), &std::fclose) {
    if (!file_) throw std::runtime_error("cannot read " + path.filename().string());
}

bool CsvReader::next(std::vector<std::string>& fields) {
    for (;;) {
        std::size_t pos = pos_;
        try {
            if (read_csv_record(buffer_, pos, fields)) {
                pos_ = pos;
                return true;
            }
            if (end_) return false;
        } catch (const std::runtime_error&) {
            if (end_) throw;  // a last record without its line break
        }
        // More of the file behind what is left of the buffer.
        buffer_.erase(0, pos_);
        pos_ = 0;
        char chunk[1 << 16];
        const std::size_t n = std::fread(chunk, 1, sizeof chunk, file_.get());
        if (std::ferror(file_.get())) throw std::runtime_error("cannot read the table");
        buffer_.append(chunk, n);
        end_ = n == 0;
    }
}

}  // namespace veltrax::experiments
