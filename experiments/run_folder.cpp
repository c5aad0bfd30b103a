// SPDX-License-Identifier: LGPL-2.1-or-later
#include "experiments/run_folder.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <regex>

#include <nlohmann/json.hpp>

#include "experiments/files.hpp"
#include "experiments/format.hpp"
#include "experiments/setpoint_json.hpp"
#include "experiments/sweep_table.hpp"

namespace veltrax::experiments {

namespace fs = std::filesystem;
using ojson = nlohmann::ordered_json;

namespace {

// The files a result folder may hold.
bool is_result_file(const fs::directory_entry& entry) {
    static const std::regex names(
        R"(call[0-9]+_(time|trajectory|theta|search|sums)\.csv|call[0-9]+_(trajectory|theta)\.png|summary\.json|metrics\.csv|plots\.(gp|log))");
    std::error_code ec;
    return entry.is_regular_file(ec) && std::regex_match(entry.path().filename().string(), names);
}

}  // namespace

void check_replaceable(const fs::path& folder, const fs::path& shown) {
    std::error_code ec;
    const fs::file_status status = fs::status(folder, ec);
    if (!fs::exists(status)) return;
    if (!fs::is_directory(status)) write_failed(shown, "not a folder");
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        if (!is_result_file(*it))
            write_failed(shown, "it holds '" + it->path().filename().string() +
                                    "', which is not a result file; give a new folder or an earlier result folder");
    }
    if (ec) write_failed(shown, ec.message());
}

namespace {

// Flushes a file or folder to disk.
void sync_path(const fs::path& path, const fs::path& shown, bool folder) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | (folder ? O_DIRECTORY : 0));
    if (fd < 0) write_failed(shown, std::strerror(errno));
    const int rc = ::fsync(fd);
    const int saved = errno;
    ::close(fd);
    if (rc != 0 && saved != EINVAL && saved != EROFS) write_failed(shown, std::strerror(saved));
}

void check_writable(const fs::path& folder, const fs::path& shown) {
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (ec) write_failed(shown, ec.message());
    if (!fs::is_directory(folder, ec)) write_failed(shown, "not a folder");
    HiddenFolder probe(folder, "veltrax", "probe");
}

ojson row_json(const Matrix& m) {
    ojson a = ojson::array();
    for (double v : m.data) a.push_back(json_number(v));
    return a;
}

// A call's entry of summary.json.
ojson call_json(const CallResult& c) {
    const CallSetup& setup = c.setup;
    ojson call;
    call["call"] = c.call;
    call["samples"] = c.outputs[0].rows;
    call["gaussian_noise"] = setup.settings.noise.kind == NoiseKind::Gaussian;
    call["filter"] = setup.inputs.size() == 5;
    ojson sums;
    const std::vector<std::string> names = sums_columns();
    for (std::size_t i = 0; i < names.size(); ++i) sums[names[i]] = json_number(c.outputs[4].data[i]);
    call["sums"] = sums;
    ojson inputs;
    static const char* kInputs[] = {"params", "numerator", "denominator", "curve", "T"};
    for (std::size_t i = 0; i < 5; ++i) inputs[kInputs[i]] = i < setup.inputs.size() ? row_json(setup.inputs[i]) : ojson();
    if (setup.setpoint) inputs["setpoint"] = setpoint_json(*setup.setpoint);
    call["inputs"] = inputs;
    call["sample_period"] = json_number(setup.settings.sample_period());
    call["builtin_model"] = setup.settings.builtin_model();
    call["metrics"] = metrics_json(c.metrics);
    return call;
}

ojson individual_json(const DrawnIndividual& d) {
    ojson j;
    j["index"] = d.individual.index;
    j["seed"] = d.population_seed;
    ojson covariates = ojson::object();
    for (int c = 0; c < kCovariates; ++c) {
        if (!d.drawn[c]) continue;
        const double v = d.individual.values[c];
        covariates[covariate_name(c)] = json_number(v);
    }
    for (std::size_t i = 0; i < d.plant.size() && i < d.individual.plant.size(); ++i)
        covariates[d.plant[i]] = json_number(d.individual.plant[i]);
    j["covariates"] = covariates;
    j["valid"] = d.individual.valid;
    if (!d.individual.valid) j["reason"] = d.individual.reason;
    return j;
}

ojson summary_json(const RunResult& run) {
    ojson summary;
    summary["scenario"] = run.path;
    if (!run.description.empty()) summary["description"] = run.description;
    summary["build"] = static_cast<int>(run.build);
    if (run.controller) summary["controller"] = controller_json(*run.controller);
    if (!run.compare.empty()) summary["compare"] = run.compare;
    if (run.seed != 0) summary["seed"] = run.seed;
    summary["ok"] = run.ok();
    if (run.individual) summary["individual"] = individual_json(*run.individual);
    if (run.design_point) {
        ojson values = ojson::object();
        for (const auto& [name, v] : run.design_point->values) values[name] = json_number(v);
        summary["design"] = {{"method", run.design_point->method}, {"point", run.design_point->index}, {"values", values}};
    }
    summary["calls"] = ojson::array();
    for (const CallResult& c : run.calls) summary["calls"].push_back(call_json(c));
    if (run.failure)
        summary["error"] = {{"call", run.failure->call}, {"id", run.failure->id}, {"message", run.failure->message}};
    return summary;
}

}  // namespace

std::vector<std::string> time_columns() { return {"t"}; }

std::vector<std::string> trajectory_columns() { return {"setpoint", "u", "y", "static_gain", "v"}; }

std::vector<std::string> theta_columns(int a_order, std::size_t count) {
    const std::size_t na = std::min(static_cast<std::size_t>(std::max(a_order, 0)), count);
    std::vector<std::string> names;
    for (std::size_t k = 0; k < count; ++k)
        names.push_back(k < na ? "a" + std::to_string(k + 1) : "b" + std::to_string(k - na));
    return names;
}

std::vector<std::string> search_columns(Build build) {
    switch (build) {
        case Build::Preview: return {"best_move", "best_cost", "applied_move", "applied_cost", "unused"};
        case Build::Base: return {"best_move", "best_cost", "applied_move", "dose", "noise"};
        case Build::PreviewHold: return {"best_move", "best_cost", "applied_move", "dose", "hold_counter"};
    }
    return {};
}

std::vector<std::string> sums_columns() { return {"squared_error", "time_weighted_abs_error", "input_integral"}; }

void check_writable(const fs::path& folder) { check_writable(folder, folder); }

RunPlace run_place(const fs::path& folder) {
    fs::path place = fs::absolute(folder).lexically_normal();
    if (!place.has_filename()) place = place.parent_path();
    std::error_code ec;
    if (fs::is_symlink(place, ec)) place = fs::weakly_canonical(place, ec);
    const std::string name = place.filename().string();
    if (name.empty() || name == "." || name == ".." || place == place.root_path())
        write_failed(folder, "give the name of a folder for the results");
    return {folder, place.parent_path(), name};
}

RunPlace check_run_place(const fs::path& folder) {
    const RunPlace place = run_place(folder);
    check_writable(place.parent, folder);
    check_replaceable(place.parent / place.name, folder);
    return place;
}

RunFolder::RunFolder(const RunPlace& place)
    : place_(place), hidden_(place.parent, place.name, "tmp"), temp_(hidden_.path()) {}

void RunFolder::write_csv(const std::string& file, const std::vector<std::string>& columns, const Matrix& m) {
    OutputFile f(temp_ / file, shown(file), OutputFile::Mode::fresh);
    std::string line;
    for (std::size_t j = 0; j < columns.size(); ++j) line += (j ? "," : "") + columns[j];
    f << line << "\n";
    for (std::size_t i = 0; i < m.rows; ++i) {
        line.clear();
        for (std::size_t j = 0; j < m.cols; ++j) line += (j ? "," : "") + format_number(m(i, j));
        f << line << "\n";
    }
    f.close(false);  // commit() flushes the folder's files
}

void RunFolder::write_calls(const RunResult& run) {
    for (const CallResult& c : run.calls) {
        const std::vector<Matrix>& out = c.outputs;
        const std::string prefix = "call" + std::to_string(c.call) + "_";
        write_csv(prefix + "time.csv", time_columns(), out[0]);
        write_csv(prefix + "trajectory.csv", trajectory_columns(), out[1]);
        if (!run.controller || run.controller->adaptive()) {  // another controller has no estimates or search
            write_csv(prefix + "theta.csv", theta_columns(c.setup.settings.a_order, out[2].cols), out[2]);
            write_csv(prefix + "search.csv", search_columns(run.build), out[3]);
        }
        write_csv(prefix + "sums.csv", sums_columns(), Matrix(1, 3, out[4].data));
    }
}

void RunFolder::write_summary(const RunResult& run) {
    OutputFile summary(temp_ / "summary.json", shown("summary.json"), OutputFile::Mode::fresh);
    // Paths need not be UTF-8: replace what is not.
    summary << summary_json(run).dump(2, ' ', false, ojson::error_handler_t::replace) << "\n";
    summary.close(false);
    OutputFile metrics(temp_ / "metrics.csv", shown("metrics.csv"), OutputFile::Mode::fresh);
    metrics << sweep_header() << run_rows(run);
    metrics.close(false);
}

void RunFolder::commit() {
    const fs::path final_place = place_.parent / place_.name;
    check_replaceable(final_place, place_.shown);
    std::error_code ec;
    for (fs::directory_iterator it(temp_, ec), end; !ec && it != end; it.increment(ec))
        sync_path(it->path(), place_.shown / it->path().filename(), false);
    if (ec) write_failed(place_.shown, ec.message());
    sync_path(temp_, place_.shown, true);

    // Into a free place at once; over an earlier folder by exchanging the two
    // (or, where the file system cannot, by moving the earlier one aside).
    // The earlier folder, in the hidden place, goes with `hidden_`.
    if (::rename(temp_.c_str(), final_place.c_str()) != 0) {
        if (errno != EEXIST && errno != ENOTEMPTY) write_failed(place_.shown, std::strerror(errno));
        if (::renameat2(AT_FDCWD, temp_.c_str(), AT_FDCWD, final_place.c_str(), RENAME_EXCHANGE) != 0) {
            if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) write_failed(place_.shown, std::strerror(errno));
            const HiddenFolder aside(place_.parent, place_.name, "old");
            if (::rename(final_place.c_str(), aside.path().c_str()) != 0)
                write_failed(place_.shown, std::strerror(errno));
            if (::rename(temp_.c_str(), final_place.c_str()) != 0) {
                const int saved = errno;
                ::rename(aside.path().c_str(), final_place.c_str());  // the earlier folder goes back
                write_failed(place_.shown, std::strerror(saved));
            }
        }
    }
    sync_path(place_.parent, place_.shown, true);
}

void write_run_folder(const RunPlace& place, const RunResult& run) {
    RunFolder folder(place);
    folder.write_calls(run);
    folder.write_summary(run);
    folder.commit();
}

}  // namespace veltrax::experiments
