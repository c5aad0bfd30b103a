// SPDX-License-Identifier: LGPL-2.1-or-later
#include "experiments/report.hpp"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <limits>
#include <map>
#include <memory>
#include <sstream>
#include <thread>

#include <nlohmann/json.hpp>

#include "experiments/population.hpp"
#include "experiments/sweep.hpp"

extern char** environ;

namespace veltrax::experiments {

namespace fs = std::filesystem;
using json = nlohmann::json;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr std::size_t kMaxBandGroups = 8;
constexpr std::size_t kMaxListed = 50;

[[noreturn]] void bad_sweep(const std::string& message) { throw Error("veltrax:badSweep", message); }
[[noreturn]] void write_failed(const fs::path& path, const std::string& why) {
    throw Error("veltrax:writeFailed", "cannot write '" + path.string() + "': " + why);
}

// A run folder could not be read as a result.
struct Unreadable {
    std::string why;
};

enum class Status { ok, failed, missing, unreadable };
const char* status_name(Status s) {
    switch (s) {
        case Status::ok: return "ok";
        case Status::failed: return "failed";
        case Status::missing: return "missing";
        case Status::unreadable: return "unreadable";
    }
    return "?";
}

struct CallData {
    std::size_t call = 0;  // 1-based
    Matrix time, trajectory;
    std::vector<double> params, numerator, curve;
    bool has_inputs = false;
    bool builtin = false;
    Metrics metrics;
};

struct Run {
    std::string scenario;
    std::uint64_t individual = 0;
    std::string folder;
    Status status = Status::missing;
    std::string build;
    std::vector<CallData> calls;
    std::size_t error_call = 0;
    std::string error_id, error_message;
    std::array<double, kCovariates> covariates;
    Run() { covariates.fill(kNaN); }
};

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw Unreadable{"cannot read " + path.filename().string()};
    std::ostringstream s;
    s << in.rdbuf();
    if (in.bad()) throw Unreadable{"cannot read " + path.filename().string()};
    return s.str();
}

// A result CSV: the header line `header`, then `rows` lines of `cols` numbers.
Matrix read_csv(const fs::path& path, const std::string& header, std::size_t rows, std::size_t cols) {
    const std::string text = read_file(path);
    const std::string name = path.filename().string();
    std::size_t pos = text.find('\n');
    if (pos == std::string::npos || text.compare(0, pos, header) != 0)
        throw Unreadable{name + ": the header is not '" + header + "'"};
    ++pos;
    Matrix m(rows, cols);
    for (std::size_t i = 0; i < rows; ++i) {
        for (std::size_t j = 0; j < cols; ++j) {
            const char* first = text.data() + pos;
            const char* last = text.data() + text.size();
            double v = 0.0;
            const std::from_chars_result r = std::from_chars(first, last, v);
            const char want = j + 1 < cols ? ',' : '\n';
            if (r.ec != std::errc() || r.ptr == last || *r.ptr != want)
                throw Unreadable{name + ": row " + std::to_string(i + 1) + " column " + std::to_string(j + 1) +
                                 " is not a number where one is expected (" + std::to_string(rows) + " rows of " +
                                 std::to_string(cols) + " columns)"};
            m(i, j) = v;
            pos = static_cast<std::size_t>(r.ptr - text.data()) + 1;
        }
    }
    if (pos != text.size()) throw Unreadable{name + ": more rows than summary.json's " + std::to_string(rows)};
    return m;
}

std::vector<double> number_list(const json& v) {
    std::vector<double> out;
    if (!v.is_array()) return out;
    for (const json& x : v) out.push_back(x.is_number() ? x.get<double>() : kNaN);
    return out;
}

void load_run(const fs::path& dir, Run& run, const ReportOptions& options) {
    json summary;
    try {
        summary = json::parse(read_file(dir / "summary.json"));
    } catch (const json::exception&) {
        throw Unreadable{"summary.json is not valid JSON"};
    }
    if (!summary.is_object() || !summary.contains("ok") || !summary.at("ok").is_boolean() ||
        !summary.contains("calls") || !summary.at("calls").is_array())
        throw Unreadable{"summary.json lacks \"ok\" or \"calls\""};
    run.status = summary.at("ok").get<bool>() ? Status::ok : Status::failed;
    if (summary.contains("build") && summary.at("build").is_number_integer())
        run.build = std::to_string(summary.at("build").get<int>());
    if (summary.contains("error") && summary.at("error").is_object()) {
        const json& e = summary.at("error");
        if (e.contains("call") && e.at("call").is_number_unsigned()) run.error_call = e.at("call").get<std::size_t>();
        if (e.contains("id") && e.at("id").is_string()) run.error_id = e.at("id").get<std::string>();
        if (e.contains("message") && e.at("message").is_string()) run.error_message = e.at("message").get<std::string>();
    }
    if (summary.contains("individual") && summary.at("individual").is_object()) {
        const json& ind = summary.at("individual");
        if (ind.contains("covariates") && ind.at("covariates").is_object())
            for (int c = 0; c < kCovariates; ++c) {
                const json& cov = ind.at("covariates");
                if (cov.contains(covariate_name(c)) && cov.at(covariate_name(c)).is_number())
                    run.covariates[c] = cov.at(covariate_name(c)).get<double>();
            }
    }
    const json& calls = summary.at("calls");
    for (std::size_t k = 0; k < calls.size(); ++k) {
        const json& c = calls[k];
        if (!c.is_object() || !c.contains("samples") || !c.at("samples").is_number_unsigned())
            throw Unreadable{"summary.json: call " + std::to_string(k + 1) + " lacks \"samples\""};
        CallData d;
        d.call = k + 1;
        const std::size_t n = c.at("samples").get<std::size_t>();
        const std::string prefix = "call" + std::to_string(k + 1) + "_";
        d.time = read_csv(dir / (prefix + "time.csv"), "t", n, 1);
        d.trajectory = read_csv(dir / (prefix + "trajectory.csv"), "setpoint,u,y,static_gain,v", n, 5);
        if (c.contains("inputs") && c.at("inputs").is_object()) {
            const json& in = c.at("inputs");
            d.has_inputs = true;
            if (in.contains("params")) d.params = number_list(in.at("params"));
            if (in.contains("numerator")) d.numerator = number_list(in.at("numerator"));
            if (in.contains("curve")) d.curve = number_list(in.at("curve"));
            d.builtin = in.contains("denominator") && in.at("denominator").is_array() && in.at("denominator").empty();
        }
        if (c.contains("builtin_model") && c.at("builtin_model").is_boolean())
            d.builtin = c.at("builtin_model").get<bool>();
        // The sample period as summary.json states it, else from the
        // parameters, else from the time column.
        double period = kNaN;
        if (c.contains("sample_period") && c.at("sample_period").is_number())
            period = c.at("sample_period").get<double>();
        else if (d.params.size() >= 9)
            period = std::trunc(d.params[7]) * d.params[8];
        else if (n >= 2)
            period = d.time(1, 0) - d.time(0, 0);
        d.metrics = compute_metrics(d.time, d.trajectory, period, d.builtin, options.metrics);
        run.calls.push_back(std::move(d));
    }
}

// Digits after "individual_", or 0.
std::uint64_t individual_of(const std::string& name) {
    const std::string prefix = "individual_";
    if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0) return 0;
    std::uint64_t k = 0;
    const char* first = name.data() + prefix.size();
    const char* last = name.data() + name.size();
    const auto r = std::from_chars(first, last, k);
    return r.ec == std::errc() && r.ptr == last ? k : 0;
}

std::vector<fs::path> sorted_folders(const fs::path& dir) {
    std::vector<fs::path> out;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.empty() || name[0] == '.') continue;
        std::error_code tc;
        if (it->is_directory(tc)) out.push_back(it->path());
    }
    std::sort(out.begin(), out.end());
    return out;
}

// ---- output -----------------------------------------------------------------

class OutFile {
public:
    explicit OutFile(fs::path path) : path_(std::move(path)), f_(std::fopen(path_.c_str(), "w")) {
        if (!f_) write_failed(path_, std::strerror(errno));
    }
    ~OutFile() {
        if (f_) std::fclose(f_);
    }
    OutFile& operator<<(const std::string& s) {
        std::fwrite(s.data(), 1, s.size(), f_);
        return *this;
    }
    void close() {
        std::FILE* f = f_;
        f_ = nullptr;
        const bool failed = std::ferror(f) != 0;
        if (std::fclose(f) != 0 || failed) write_failed(path_, std::strerror(errno));
    }

private:
    fs::path path_;
    std::FILE* f_;
};

std::string num(double v) {
    if (std::isnan(v)) return "NaN";
    if (std::isinf(v)) return v > 0 ? "Inf" : "-Inf";
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.17g", v);
    return buf;
}

std::string short_num(double v) {
    if (!std::isfinite(v)) return num(v);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.4g", v);
    return buf;
}

std::string csv_field(const std::string& s) {
    if (s.find_first_of(",\"\n\r") == std::string::npos) return s;
    std::string q = "\"";
    for (char c : s) q += c == '"' ? std::string("\"\"") : std::string(1, c);
    return q + "\"";
}

std::string html(const std::string& s) {
    std::string o;
    for (char c : s) {
        switch (c) {
            case '&': o += "&amp;"; break;
            case '<': o += "&lt;"; break;
            case '>': o += "&gt;"; break;
            case '"': o += "&quot;"; break;
            case '\'': o += "&#39;"; break;
            default: o += c;
        }
    }
    return o;
}

// A gnuplot string in single quotes.
std::string gp_string(const std::string& s) {
    std::string o = "'";
    for (char c : s) {
        if (c == '\'') o += "''";
        else if (c == '\n' || c == '\r') o += ' ';
        else o += c;
    }
    return o + "'";
}

const std::vector<std::string> kParamNames = {"N",        "control_weight", "dead_time",           "u_max",
                                              "a_order",  "b_order",        "noise_amplitude",     "substeps_per_sample",
                                              "rk4_step_size"};
const std::vector<std::string> kCurveNames = {"plant_hill_midpoint", "hill_midpoint", "plant_hill_exponent",
                                              "hill_exponent"};

struct MetricColumn {
    const char* name;
    double (*get)(const Metrics&);
    bool model_only;
};
const MetricColumn kMetricColumns[] = {
    {"iae", [](const Metrics& m) { return m.iae; }, false},
    {"ise", [](const Metrics& m) { return m.ise; }, false},
    {"steps", [](const Metrics& m) { return static_cast<double>(m.steps.size()); }, false},
    {"max_overshoot", [](const Metrics& m) { return m.max_overshoot(); }, false},
    {"max_undershoot", [](const Metrics& m) { return m.max_undershoot(); }, false},
    {"max_settling_time", [](const Metrics& m) { return m.max_settling_time(); }, false},
    {"time_in_band", [](const Metrics& m) { return m.time_in_band(); }, false},
    {"total_control", [](const Metrics& m) { return m.total_control; }, false},
    {"peak_control", [](const Metrics& m) { return m.peak_control; }, false},
    {"mdpe", [](const Metrics& m) { return m.mdpe; }, true},
    {"mdape", [](const Metrics& m) { return m.mdape; }, true},
    {"wobble", [](const Metrics& m) { return m.wobble; }, true},
    {"divergence", [](const Metrics& m) { return m.divergence; }, true},
};

std::string csv_header() {
    std::string h = "scenario,individual,call,status,error_id,error_message,build";
    for (const std::string& n : kParamNames) h += "," + n;
    h += ",body_mass,cardiac_output";
    for (const std::string& n : kCurveNames) h += "," + n;
    for (int c = 0; c < kCovariates; ++c) h += std::string(",drawn_") + covariate_name(c);
    h += ",samples";
    for (const MetricColumn& m : kMetricColumns) h += std::string(",") + m.name;
    return h + "\n";
}

std::string element(const std::vector<double>& v, std::size_t i) { return i < v.size() ? num(v[i]) : ""; }

// One row: `call` null for a run with no call to show.
std::string csv_row(const Run& run, const CallData* call, bool error_row) {
    std::string r = csv_field(run.scenario) + "," + (run.individual ? std::to_string(run.individual) : "") + ",";
    if (call) r += std::to_string(call->call);
    else if (error_row && run.error_call > 0) r += std::to_string(run.error_call);
    r += std::string(",") + status_name(run.status) + ",";
    r += error_row ? csv_field(run.error_id) + "," + csv_field(run.error_message) : ",";
    r += "," + run.build;
    const std::vector<double> none;
    const CallData* in = call && call->has_inputs ? call : nullptr;
    for (std::size_t i = 0; i < kParamNames.size(); ++i) r += "," + element(in ? in->params : none, i);
    const bool builtin = in && in->builtin;
    r += "," + element(builtin ? in->numerator : none, 0) + "," + element(builtin ? in->numerator : none, 1);
    for (std::size_t i = 0; i < kCurveNames.size(); ++i) r += "," + element(in ? in->curve : none, i);
    for (int c = 0; c < kCovariates; ++c) r += "," + (std::isnan(run.covariates[c]) ? "" : num(run.covariates[c]));
    if (call) {
        r += "," + std::to_string(call->metrics.samples);
        for (const MetricColumn& m : kMetricColumns)
            r += "," + (m.model_only && !call->builtin ? std::string() : num(m.get(call->metrics)));
    } else {
        r += ",";
        for (std::size_t i = 0; i < std::size(kMetricColumns); ++i) r += ",";
    }
    return r + "\n";
}

// The rows of one run: one per call that ran, the failed call's with the
// error, and one row for a run without calls to show.
std::string csv_rows(const Run& r) {
    std::string rows;
    for (const CallData& c : r.calls) rows += csv_row(r, &c, r.status == Status::failed && c.call == r.error_call);
    const bool error_shown = r.status == Status::failed && r.error_call >= 1 && r.error_call <= r.calls.size();
    if (r.status != Status::ok && !error_shown) rows += csv_row(r, nullptr, true);
    return rows;
}

void mark_unreadable(Run& r, const std::string& why) {
    r.status = Status::unreadable;
    r.calls.clear();
    r.error_id = "veltrax:unreadableResult";
    r.error_message = why;
    r.error_call = 0;
}

// Reads one run folder; an unreadable one is marked so.
void read_run(const fs::path& dir, Run& r, const ReportOptions& options) {
    try {
        load_run(dir, r, options);
    } catch (const Unreadable& u) {
        mark_unreadable(r, u.why);
    } catch (const std::exception& e) {
        mark_unreadable(r, e.what());
    }
}

// p-quantile of sorted values: linear between the order statistics at (n - 1) p.
double quantile(const std::vector<double>& sorted, double p) {
    if (sorted.empty()) return kNaN;
    const double h = static_cast<double>(sorted.size() - 1) * p;
    const std::size_t lo = static_cast<std::size_t>(std::floor(h));
    if (lo + 1 >= sorted.size()) return sorted.back();
    return sorted[lo] + (h - static_cast<double>(lo)) * (sorted[lo + 1] - sorted[lo]);
}

struct BandGroup {
    std::string title;
    std::vector<const CallData*> calls;  // first calls of the group's ok runs, all of the same length
    std::size_t left_out = 0;            // ok runs of another length
};

void write_band_data(std::string& gp, const BandGroup& g, const std::string& block) {
    const CallData& first = *g.calls.front();
    const std::size_t n = first.trajectory.rows;
    gp += block + " << EOD\n# t setpoint y5 y50 y95 u5 u50 u95\n";
    std::vector<double> y, u;
    for (std::size_t i = 0; i < n; ++i) {
        y.clear();
        u.clear();
        for (const CallData* c : g.calls) {
            if (std::isfinite(c->trajectory(i, 2))) y.push_back(c->trajectory(i, 2));
            if (std::isfinite(c->trajectory(i, 1))) u.push_back(c->trajectory(i, 1));
        }
        std::sort(y.begin(), y.end());
        std::sort(u.begin(), u.end());
        gp += num(first.time(i, 0)) + " " + num(first.trajectory(i, 0));
        for (const std::vector<double>* v : {&y, &u})
            for (double p : {0.05, 0.5, 0.95}) gp += " " + num(quantile(*v, p));
        gp += "\n";
    }
    gp += "EOD\n";
}

std::string histogram_block(const std::string& block, std::vector<double> v) {
    std::string gp = block + " << EOD\n";
    std::sort(v.begin(), v.end());
    const double lo = v.front(), hi = v.back();
    const std::size_t bins = lo == hi ? 1 : 20;
    const double width = lo == hi ? (lo == 0.0 ? 1.0 : std::fabs(lo) * 0.1) : (hi - lo) / static_cast<double>(bins);
    std::vector<std::size_t> count(bins, 0);
    for (double x : v) {
        std::size_t b = lo == hi ? 0 : static_cast<std::size_t>((x - lo) / width);
        ++count[std::min(b, bins - 1)];
    }
    for (std::size_t b = 0; b < bins; ++b)
        gp += num(lo == hi ? lo : lo + (static_cast<double>(b) + 0.5) * width) + " " + std::to_string(count[b]) + " " +
              num(width) + "\n";
    return gp + "EOD\n";
}

void run_gnuplot(const fs::path& dir) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, dir.c_str());
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "report_gnuplot.log", O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    char program[] = "gnuplot";
    char script[] = "report.gp";
    char* argv[] = {program, script, nullptr};
    pid_t pid = 0;
    const int rc = posix_spawnp(&pid, program, &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    const fs::path log = dir / "report_gnuplot.log";
    std::error_code ec;
    if (rc != 0) {
        fs::remove(log, ec);
        throw Error("veltrax:plotFailed", rc == ENOENT ? "gnuplot not found on the PATH; install gnuplot or use --no-plots"
                                                       : std::string("cannot start gnuplot: ") + std::strerror(rc));
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR) throw Error("veltrax:plotFailed", std::string("waiting for gnuplot: ") + std::strerror(errno));
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw Error("veltrax:plotFailed", "gnuplot failed; see " + log.string());
    fs::remove(log, ec);
}


}  // namespace

std::string run_csv(const fs::path& dir, const std::string& scenario, std::uint64_t individual,
                    const ReportOptions& options) {
    Run r;
    r.scenario = scenario;
    r.individual = individual;
    r.folder = run_folder(scenario, individual).string();
    read_run(dir, r, options);
    return csv_header() + csv_rows(r);
}

ReportResult write_report(const fs::path& outdir, const ReportOptions& options) {
    std::error_code ec;
    if (!fs::is_directory(outdir, ec)) bad_sweep("'" + outdir.string() + "' is not a folder");
    ReportResult result;

    // Every run: the manifest's and the folders found, by (scenario, individual).
    std::map<std::pair<std::string, std::uint64_t>, Run> runs;
    auto add = [&](const std::string& scenario, std::uint64_t k) -> Run& {
        Run& r = runs[{scenario, k}];
        r.scenario = scenario;
        r.individual = k;
        r.folder = run_folder(scenario, k).string();
        return r;
    };
    std::map<std::pair<std::string, std::uint64_t>, bool> listed;
    if (fs::exists(outdir / "sweep.json", ec)) {
        result.manifest = true;
        const SweepManifest m = read_manifest(outdir);
        for (const SweepEntry& e : m.scenarios) {
            if (e.individuals == 0) {
                add(e.name, 0);
                listed[{e.name, 0}] = true;
            }
            for (std::uint64_t k = 1; k <= e.individuals; ++k) {
                add(e.name, k);
                listed[{e.name, k}] = true;
            }
            result.expected += e.individuals == 0 ? 1 : e.individuals;
        }
    }
    std::vector<Run*> found;
    for (const fs::path& dir : sorted_folders(outdir)) {
        const std::string name = dir.filename().string();
        if (fs::exists(dir / "summary.json", ec)) found.push_back(&add(name, 0));
        for (const fs::path& sub : sorted_folders(dir)) {
            const std::uint64_t k = individual_of(sub.filename().string());
            if (k > 0 && fs::exists(sub / "summary.json", ec)) found.push_back(&add(name, k));
        }
    }

    // Read the runs found, on two threads: each run is read on its own.
    {
        auto work = [&](std::size_t first, std::size_t step) {
            for (std::size_t i = first; i < found.size(); i += step) read_run(outdir / found[i]->folder, *found[i], options);
        };
        const std::size_t threads = found.size() >= 64 ? 2 : 1;
        std::vector<std::thread> pool;
        for (std::size_t t = 1; t < threads; ++t) pool.emplace_back(work, t, threads);
        work(0, threads);
        for (std::thread& t : pool) t.join();
    }

    for (auto& [key, r] : runs) {
        switch (r.status) {
            case Status::ok: ++result.ok; break;
            case Status::failed: ++result.failed; break;
            case Status::unreadable: ++result.unreadable; break;
            case Status::missing:
                r.error_message = "no summary.json";
                result.missing.push_back(r.folder);
                break;
        }
        if (result.manifest && r.status != Status::missing && !listed.count(key)) result.unexpected.push_back(r.folder);
    }

    // sweep.csv
    const fs::path csv_path = outdir / "sweep.csv";
    {
        OutFile csv(csv_path);
        csv << csv_header();
        for (const auto& [key, r] : runs) csv << csv_rows(r);
        csv.close();
    }
    result.written.push_back(csv_path.string());

    // Band groups: per scenario with two or more ok runs; else all ok runs.
    std::vector<BandGroup> groups;
    std::vector<const CallData*> all;
    std::map<std::string, std::vector<const CallData*>> by_scenario;
    for (const auto& [key, r] : runs) {
        if (r.status != Status::ok || r.calls.empty() || r.calls[0].trajectory.rows == 0) continue;
        by_scenario[r.scenario].push_back(&r.calls[0]);
        all.push_back(&r.calls[0]);
    }
    auto make_group = [](const std::string& title, const std::vector<const CallData*>& calls) {
        BandGroup g;
        g.title = title;
        for (const CallData* c : calls) {
            if (c->trajectory.rows == calls.front()->trajectory.rows) g.calls.push_back(c);
            else ++g.left_out;
        }
        return g;
    };
    std::size_t skipped_groups = 0;
    for (const auto& [name, calls] : by_scenario) {
        if (calls.size() < 2) continue;
        if (groups.size() == kMaxBandGroups) {
            ++skipped_groups;
            continue;
        }
        groups.push_back(make_group(name, calls));
    }
    if (groups.empty() && !all.empty()) groups.push_back(make_group("all runs", all));

    // Metric distributions over the calls with metrics.
    std::vector<std::pair<std::string, std::vector<double>>> distributions;
    for (const MetricColumn& mc : kMetricColumns) {
        if (std::string(mc.name) == "steps") continue;
        std::vector<double> v;
        for (const auto& [key, r] : runs)
            for (const CallData& c : r.calls)
                if (!mc.model_only || c.builtin) {
                    const double x = mc.get(c.metrics);
                    if (std::isfinite(x)) v.push_back(x);
                }
        if (!v.empty()) distributions.emplace_back(mc.name, std::move(v));
    }

    // Worst calls by IAE.
    std::vector<std::pair<const Run*, const CallData*>> worst;
    for (const auto& [key, r] : runs)
        for (const CallData& c : r.calls) worst.emplace_back(&r, &c);
    std::stable_sort(worst.begin(), worst.end(), [](const auto& a, const auto& b) {
        const double x = a.second->metrics.iae, y = b.second->metrics.iae;
        if (std::isnan(x) || std::isnan(y)) return !std::isnan(x) && std::isnan(y);
        return x > y;
    });
    if (worst.size() > options.worst) worst.resize(options.worst);

    const bool plots = options.plots && (!groups.empty() || !distributions.empty());

    // report.html
    const fs::path html_path = outdir / "report.html";
    {
        std::string h;
        h += "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>Sweep report</title>\n"
             "<style>body{font-family:sans-serif;margin:2em;max-width:75em}table{border-collapse:collapse}"
             "td,th{border:1px solid #bbb;padding:2px 8px;text-align:right}td.l,th.l{text-align:left}"
             "img{max-width:100%}</style></head><body>\n<h1>Sweep report</h1>\n<p>";
        const std::size_t found_count = result.ok + result.failed + result.unreadable;
        if (result.manifest)
            h += std::to_string(result.expected) + " runs expected (sweep.json), " + std::to_string(found_count) +
                 " found: ";
        else
            h += "No sweep.json: the expected runs are unknown. " + std::to_string(found_count) + " runs found: ";
        h += std::to_string(result.ok) + " ok, " + std::to_string(result.failed) + " failed, " +
             std::to_string(result.unreadable) + " unreadable";
        if (result.manifest) h += ", " + std::to_string(result.missing.size()) + " missing";
        h += ". Every run and call: <a href=\"sweep.csv\">sweep.csv</a>.</p>\n";

        auto list = [&](const std::string& title, const std::vector<std::string>& items) {
            if (items.empty()) return;
            h += "<h2>" + title + " (" + std::to_string(items.size()) + ")</h2>\n<p>";
            for (std::size_t i = 0; i < items.size() && i < kMaxListed; ++i) h += (i ? ", " : "") + html(items[i]);
            if (items.size() > kMaxListed) h += " and " + std::to_string(items.size() - kMaxListed) + " more";
            h += "</p>\n";
        };
        list("Missing runs", result.missing);
        list("Runs not in sweep.json", result.unexpected);

        std::vector<const Run*> bad;
        for (const auto& [key, r] : runs)
            if (r.status == Status::failed || r.status == Status::unreadable) bad.push_back(&r);
        if (!bad.empty()) {
            h += "<h2>Failed and unreadable runs (" + std::to_string(bad.size()) + ")</h2>\n<table><tr>"
                 "<th class=l>run</th><th class=l>status</th><th>call</th><th class=l>error</th></tr>\n";
            for (std::size_t i = 0; i < bad.size() && i < kMaxListed; ++i) {
                const Run& r = *bad[i];
                h += "<tr><td class=l>" + html(r.folder) + "</td><td class=l>" + status_name(r.status) + "</td><td>" +
                     (r.error_call ? std::to_string(r.error_call) : "") + "</td><td class=l>" + html(r.error_id) +
                     ": " + html(r.error_message) + "</td></tr>\n";
            }
            h += "</table>\n";
            if (bad.size() > kMaxListed) h += "<p>and " + std::to_string(bad.size() - kMaxListed) + " more in sweep.csv</p>\n";
        }

        if (!groups.empty()) {
            h += "<h2>Output and control over the runs</h2>\n<p>5, 50 and 95 % of y and u at each sample of the "
                 "first call, over the ok runs of each scenario with more than one run (over all ok runs when no "
                 "scenario has more than one); set-point of the first run.</p>\n";
            for (std::size_t g = 0; g < groups.size(); ++g) {
                h += "<h3>" + html(groups[g].title) + ": " + std::to_string(groups[g].calls.size()) + " runs";
                if (groups[g].left_out) h += " (" + std::to_string(groups[g].left_out) + " of another length left out)";
                h += "</h3>\n";
                if (plots) h += "<img src=\"report_band_" + std::to_string(g + 1) + ".png\" alt=\"bands\">\n";
            }
            if (skipped_groups) h += "<p>" + std::to_string(skipped_groups) + " more scenarios not plotted.</p>\n";
        }
        if (!distributions.empty() && plots)
            h += "<h2>Metrics</h2>\n<p>Distributions over all calls with finite values.</p>\n"
                 "<img src=\"report_metrics.png\" alt=\"metric histograms\">\n";

        if (!worst.empty()) {
            h += "<h2>The " + std::to_string(worst.size()) +
                 " worst calls by integral of absolute error</h2>\n<table><tr><th class=l>run</th><th>call</th>"
                 "<th>iae</th><th>ise</th><th>max overshoot %</th><th>max settling time</th><th>peak control</th>";
            for (int c = 0; c < kCovariates; ++c) h += std::string("<th>") + covariate_name(c) + "</th>";
            h += "</tr>\n";
            for (const auto& [r, c] : worst) {
                h += "<tr><td class=l>" + html(r->folder) + "</td><td>" + std::to_string(c->call) + "</td><td>" +
                     short_num(c->metrics.iae) + "</td><td>" + short_num(c->metrics.ise) + "</td><td>" +
                     short_num(c->metrics.max_overshoot()) + "</td><td>" + short_num(c->metrics.max_settling_time()) +
                     "</td><td>" + short_num(c->metrics.peak_control) + "</td>";
                for (int k = 0; k < kCovariates; ++k)
                    h += "<td>" + (std::isnan(r->covariates[k]) ? std::string() : short_num(r->covariates[k])) + "</td>";
                h += "</tr>\n";
            }
            h += "</table>\n";
        }
        h += "</body></html>\n";
        OutFile f(html_path);
        f << h;
        f.close();
    }
    result.written.push_back(html_path.string());

    if (!plots) return result;

    // report.gp and the PNG files.
    std::string gp = "# Plots of the sweep report: gnuplot report.gp\n"
                     "set terminal pngcairo size 1000,750 noenhanced\nset grid\nset key below horizontal\nset lmargin 10\n\n";
    for (std::size_t g = 0; g < groups.size(); ++g) {
        const std::string block = "$band" + std::to_string(g + 1);
        write_band_data(gp, groups[g], block);
        const std::string png = "report_band_" + std::to_string(g + 1) + ".png";
        gp += "set output '" + png + "'\nset multiplot layout 2,1 title " + gp_string(groups[g].title) + "\n"
              "set ylabel 'y'\nplot " + block + " using 1:3:5 with filledcurves fc rgb '#c6dbef' title '5-95 %', \\\n"
              "     " + block + " using 1:4 with lines lw 2 lc rgb '#08519c' title 'median', \\\n"
              "     " + block + " using 1:2 with steps lc rgb 'black' title 'set-point'\n"
              "set ylabel 'u'\nset xlabel 'time'\nplot " + block +
              " using 1:6:8 with filledcurves fc rgb '#fdd0a2' title '5-95 %', \\\n"
              "     " + block + " using 1:7 with lines lw 2 lc rgb '#a63603' title 'median'\n"
              "unset multiplot\nunset xlabel\nunset ylabel\n\n";
        result.written.push_back((outdir / png).string());
    }
    if (!distributions.empty()) {
        const std::size_t n = distributions.size();
        const std::size_t cols = n <= 4 ? 2 : 3;
        const std::size_t rows = (n + cols - 1) / cols;
        for (std::size_t i = 0; i < n; ++i)
            gp += histogram_block("$metric" + std::to_string(i + 1), distributions[i].second);
        gp += "set output 'report_metrics.png'\nset terminal pngcairo size 1200," + std::to_string(300 * rows) +
              " noenhanced\nset multiplot layout " + std::to_string(rows) + "," + std::to_string(cols) +
              "\nset style fill solid 0.6\nset yrange [0:*]\nunset key\n";
        for (std::size_t i = 0; i < n; ++i)
            gp += "set title " + gp_string(distributions[i].first + " (" + std::to_string(distributions[i].second.size()) +
                                           " calls)") +
                  "\nplot $metric" + std::to_string(i + 1) + " using 1:2:3 with boxes\n";
        gp += "unset multiplot\n";
        result.written.push_back((outdir / "report_metrics.png").string());
    }
    gp += "set output\n";
    const fs::path gp_path = outdir / "report.gp";
    {
        OutFile f(gp_path);
        f << gp;
        f.close();
    }
    result.written.insert(result.written.begin() + 2, gp_path.string());
    run_gnuplot(outdir);
    return result;
}

}  // namespace veltrax::experiments
