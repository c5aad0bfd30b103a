#include "cli/results.hpp"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <nlohmann/json.hpp>

namespace veltrax::cli {
namespace fs = std::filesystem;

namespace {

[[noreturn]] void write_failed(const fs::path& path, const std::string& why) {
    throw Error("veltrax:writeFailed", "cannot write '" + path.string() + "': " + why);
}

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

class OutFile {
public:
    explicit OutFile(const fs::path& path) : path_(path), file_(std::fopen(path.c_str(), "w")) {
        if (!file_) write_failed(path_, std::strerror(errno));
    }
    void put(const std::string& s) { std::fputs(s.c_str(), file_.get()); }
    void put(char c) { std::fputc(c, file_.get()); }
    void close() {
        std::FILE* f = file_.release();
        const bool failed = std::ferror(f) != 0;
        if (std::fclose(f) != 0 || failed) write_failed(path_, std::strerror(errno));
    }

private:
    fs::path path_;
    std::unique_ptr<std::FILE, FileCloser> file_;
};

void write_csv(const fs::path& path, const std::vector<std::string>& columns, const Matrix& m) {
    OutFile f(path);
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

void write_results(const fs::path& dir, const Scenario& scenario, const std::vector<std::vector<Matrix>>& outputs,
                   const Failure* failure) {
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec) write_failed(dir, ec.message());
    if (!fs::is_directory(dir)) write_failed(dir, "not a folder");

    nlohmann::ordered_json summary;
    summary["scenario"] = scenario.path;
    summary["build"] = static_cast<int>(scenario.build);
    summary["ok"] = failure == nullptr;
    summary["calls"] = nlohmann::ordered_json::array();

    for (std::size_t k = 0; k < outputs.size(); ++k) {
        const std::vector<Matrix>& out = outputs[k];
        const std::vector<Matrix>& in = scenario.calls[k];
        const std::string prefix = "call" + std::to_string(k + 1) + "_";
        write_csv(dir / (prefix + "time.csv"), time_columns(), out[0]);
        write_csv(dir / (prefix + "trajectory.csv"), trajectory_columns(), out[1]);
        write_csv(dir / (prefix + "theta.csv"), theta_columns(in, out[2]), out[2]);
        write_csv(dir / (prefix + "search.csv"), search_columns(scenario.build), out[3]);
        Matrix sums_row(1, 3, out[4].data);
        write_csv(dir / (prefix + "sums.csv"), sums_columns(), sums_row);

        nlohmann::ordered_json call;
        call["call"] = k + 1;
        call["samples"] = out[0].rows;
        call["gaussian_noise"] = check_call(in).gaussian_noise;
        call["filter"] = in.size() == 5;
        nlohmann::ordered_json sums;
        const std::vector<std::string> names = sums_columns();
        for (std::size_t i = 0; i < names.size(); ++i) sums[names[i]] = json_value(out[4].data[i]);
        call["sums"] = sums;
        summary["calls"].push_back(call);
    }
    if (failure) {
        summary["error"] = {{"call", failure->call}, {"id", failure->id}, {"message", failure->message}};
    }
    OutFile f(dir / "summary.json");
    // Paths need not be UTF-8: replace what is not.
    f.put(summary.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace));
    f.put('\n');
    f.close();
}

}  // namespace veltrax::cli
