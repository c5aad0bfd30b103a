// SPDX-License-Identifier: LGPL-2.1-or-later
#include "cli/results.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <nlohmann/json.hpp>
#include <random>
#include <regex>

#include "experiments/report.hpp"
#include "experiments/sweep.hpp"

namespace veltrax::cli {
namespace fs = std::filesystem;

namespace {

[[noreturn]] void write_failed(const fs::path& path, const std::string& why) {
    throw Error("veltrax:writeFailed", "cannot write '" + path.string() + "': " + why);
}

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

// A file written at `path` and named `shown` in messages.
class OutFile {
public:
    OutFile(const fs::path& path, fs::path shown) : shown_(std::move(shown)), file_(std::fopen(path.c_str(), "w")) {
        if (!file_) write_failed(shown_, std::strerror(errno));
    }
    void put(const std::string& s) {
        if (std::fputs(s.c_str(), file_.get()) == EOF) note_error();
    }
    void put(char c) {
        if (std::fputc(c, file_.get()) == EOF) note_error();
    }
    void close() {
        if (std::fclose(file_.release()) != 0) note_error();
        if (error_) write_failed(shown_, std::strerror(error_));
    }

private:
    void note_error() {
        if (!error_) error_ = errno ? errno : EIO;
    }

    int error_ = 0;  // the first error
    fs::path shown_;
    std::unique_ptr<std::FILE, FileCloser> file_;
};

void write_csv(const fs::path& path, const fs::path& shown, const std::vector<std::string>& columns, const Matrix& m) {
    OutFile f(path, shown);
    for (std::size_t j = 0; j < columns.size(); ++j) {
        if (j) f.put(',');
        f.put(columns[j]);
    }
    f.put('\n');
    for (std::size_t i = 0; i < m.rows; ++i) {
        for (std::size_t j = 0; j < m.cols; ++j) {
            if (j) f.put(',');
            f.put(format_value(m(i, j)));
        }
        f.put('\n');
    }
    f.close();
}

nlohmann::ordered_json json_value(double v) {
    if (std::isfinite(v)) return v;
    return format_value(v);  // JSON has no NaN or infinity
}

// A schedule as scenario files write it: [time, value, "after"?, "ramp"?].
nlohmann::ordered_json schedule_json(const SetpointSchedule& schedule) {
    nlohmann::ordered_json steps = nlohmann::ordered_json::array();
    for (const SetpointStep& s : schedule.steps) {
        nlohmann::ordered_json step = {s.time, s.value};
        if (s.after) step.push_back("after");
        if (s.ramp) step.push_back("ramp");
        steps.push_back(step);
    }
    return steps;
}

// The files a result folder may hold.
bool is_result_file(const fs::directory_entry& entry) {
    static const std::regex names(
        R"(call[0-9]+_(time|trajectory|theta|search|sums)\.csv|call[0-9]+_(trajectory|theta)\.png|summary\.json|metrics\.csv|plots\.(gp|log))");
    std::error_code ec;
    return entry.is_regular_file(ec) && std::regex_match(entry.path().filename().string(), names);
}

// An existing `folder` may be replaced only when it holds result files alone.
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

// A new folder `.<name>.<kind>-XXXXXX` in `parent`; its path.
fs::path make_hidden_folder(const fs::path& parent, const std::string& name, const char* kind) {
    static const char letters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::random_device seed;
    std::mt19937 random(seed());
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string suffix;
        for (int i = 0; i < 6; ++i) suffix += letters[random() % (sizeof letters - 1)];
        const fs::path folder = parent / ("." + name + "." + kind + "-" + suffix);
        if (::mkdir(folder.c_str(), 0777) == 0) return folder;
        if (errno != EEXIST) write_failed(parent, std::strerror(errno));
    }
    write_failed(parent, "no free name for a temporary folder");
}

// Flushes a file or folder to disk.
void sync_path(const fs::path& path, const fs::path& shown, bool folder) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | (folder ? O_DIRECTORY : 0));
    if (fd < 0) write_failed(shown, std::strerror(errno));
    const int rc = ::fsync(fd);
    const int saved = errno;
    ::close(fd);
    if (rc != 0 && saved != EINVAL && saved != EROFS) write_failed(shown, std::strerror(saved));
}

}  // namespace

std::string format_value(double v) {
    if (std::isnan(v)) return "NaN";
    if (std::isinf(v)) return v > 0 ? "Inf" : "-Inf";
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.17g", v);
    return buf;
}

std::vector<std::string> time_columns() { return {"t"}; }

std::vector<std::string> trajectory_columns() { return {"setpoint", "u", "y", "static_gain", "v"}; }

std::vector<std::string> theta_columns(const std::vector<Matrix>& inputs, const Matrix& theta) {
    const std::size_t na = std::min(static_cast<std::size_t>(check_call(inputs).a_order), theta.cols);
    std::vector<std::string> names;
    for (std::size_t k = 0; k < theta.cols; ++k)
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

static void check_writable(const fs::path& folder, const fs::path& shown) {
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (ec) write_failed(shown, ec.message());
    if (!fs::is_directory(folder, ec)) write_failed(shown, "not a folder");
    fs::remove(make_hidden_folder(folder, "veltrax", "probe"), ec);
}

void check_writable(const fs::path& folder) { check_writable(folder, folder); }

ResultPlace check_result_place(const fs::path& folder) {
    fs::path place = fs::absolute(folder).lexically_normal();
    if (!place.has_filename()) place = place.parent_path();
    std::error_code ec;
    if (fs::is_symlink(place, ec)) place = fs::weakly_canonical(place, ec);
    const std::string name = place.filename().string();
    if (name.empty() || name == "." || name == ".." || place == place.root_path())
        write_failed(folder, "give the name of a folder for the results");
    check_writable(place.parent_path(), folder);
    check_replaceable(place, folder);
    return {folder, place.parent_path(), name};
}

ResultWriter::ResultWriter(const ResultPlace& place)
    : place_(place), temp_(make_hidden_folder(place.parent, place.name, "tmp")) {}

ResultWriter::~ResultWriter() {
    std::error_code ec;
    if (!committed_) fs::remove_all(temp_, ec);
}

void ResultWriter::write_outputs(const Scenario& scenario, const std::vector<std::vector<Matrix>>& outputs) {
    auto csv = [this](const std::string& file, const std::vector<std::string>& columns, const Matrix& m) {
        write_csv(temp_ / file, place_.shown / file, columns, m);
    };
    for (std::size_t k = 0; k < outputs.size(); ++k) {
        const std::vector<Matrix>& out = outputs[k];
        const std::string prefix = "call" + std::to_string(k + 1) + "_";
        csv(prefix + "time.csv", time_columns(), out[0]);
        csv(prefix + "trajectory.csv", trajectory_columns(), out[1]);
        csv(prefix + "theta.csv", theta_columns(scenario.calls[k], out[2]), out[2]);
        csv(prefix + "search.csv", search_columns(scenario.build), out[3]);
        csv(prefix + "sums.csv", sums_columns(), Matrix(1, 3, out[4].data));
    }
}

void ResultWriter::write_summary(const Scenario& scenario, const std::vector<std::vector<Matrix>>& outputs,
                                 const Failure* failure, const nlohmann::ordered_json* individual) {
    nlohmann::ordered_json summary;
    summary["scenario"] = scenario.path;
    summary["build"] = static_cast<int>(scenario.build);
    if (scenario.seed != 0) summary["seed"] = scenario.seed;
    summary["ok"] = failure == nullptr;
    if (individual) summary["individual"] = *individual;
    summary["calls"] = nlohmann::ordered_json::array();
    for (std::size_t k = 0; k < outputs.size(); ++k) {
        const std::vector<Matrix>& out = outputs[k];
        const std::vector<Matrix>& in = scenario.calls[k];
        nlohmann::ordered_json call;
        call["call"] = k + 1;
        call["samples"] = out[0].rows;
        call["gaussian_noise"] = check_call(in).gaussian_noise;
        call["filter"] = in.size() == 5;
        nlohmann::ordered_json sums;
        const std::vector<std::string> names = sums_columns();
        for (std::size_t i = 0; i < names.size(); ++i) sums[names[i]] = json_value(out[4].data[i]);
        call["sums"] = sums;
        call.update(experiments::call_summary(in, out));
        if (k < scenario.schedules.size() && scenario.schedules[k])
            call["inputs"]["setpoint"] = schedule_json(*scenario.schedules[k]);
        summary["calls"].push_back(call);
    }
    if (failure) {
        summary["error"] = {{"call", failure->call}, {"id", failure->id}, {"message", failure->message}};
    }
    OutFile f(temp_ / "summary.json", place_.shown / "summary.json");
    // Paths need not be UTF-8: replace what is not.
    f.put(summary.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace));
    f.put('\n');
    f.close();
}

void ResultWriter::write_metrics(const std::string& scenario, std::uint64_t individual) {
    OutFile f(temp_ / "metrics.csv", place_.shown / "metrics.csv");
    f.put(experiments::run_csv(temp_, scenario, individual));
    f.close();
}

void ResultWriter::commit() {
    const fs::path final_place = place_.parent / place_.name;
    check_replaceable(final_place, place_.shown);
    std::error_code ec;
    for (fs::directory_iterator it(temp_, ec), end; !ec && it != end; it.increment(ec))
        sync_path(it->path(), place_.shown / it->path().filename(), false);
    if (ec) write_failed(place_.shown, ec.message());
    sync_path(temp_, place_.shown, true);

    // Into a free place at once; over an earlier folder by exchanging the two
    // (or, where the file system cannot, by moving the earlier one aside).
    if (::rename(temp_.c_str(), final_place.c_str()) != 0) {
        if (errno != EEXIST && errno != ENOTEMPTY) write_failed(place_.shown, std::strerror(errno));
        if (::renameat2(AT_FDCWD, temp_.c_str(), AT_FDCWD, final_place.c_str(), RENAME_EXCHANGE) != 0) {
            if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) write_failed(place_.shown, std::strerror(errno));
            const fs::path aside = make_hidden_folder(place_.parent, place_.name, "old");
            if (::rename(final_place.c_str(), aside.c_str()) != 0) {
                const int saved = errno;
                fs::remove(aside, ec);
                write_failed(place_.shown, std::strerror(saved));
            }
            if (::rename(temp_.c_str(), final_place.c_str()) != 0) {
                const int saved = errno;
                ::rename(aside.c_str(), final_place.c_str());  // the earlier folder goes back
                write_failed(place_.shown, std::strerror(saved));
            }
            fs::remove_all(aside, ec);
        } else {
            fs::remove_all(temp_, ec);  // the earlier folder, now here
        }
    }
    committed_ = true;
    sync_path(place_.parent, place_.shown, true);
}

}  // namespace veltrax::cli
