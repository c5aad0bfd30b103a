// SPDX-License-Identifier: LGPL-2.1-or-later
// The report's first part: the runs of a sweep folder, in order, each read
// from the metrics.csv its run wrote.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <map>
#include <stdexcept>
#include <utility>

#include <nlohmann/json.hpp>

#include "experiments/netcdf_store.hpp"
#include "experiments/files.hpp"
#include "experiments/report_parts.hpp"
#include "experiments/run_folder.hpp"
#include "experiments/sweep_table.hpp"

namespace veltrax::experiments::report_parts {

namespace fs = std::filesystem;

namespace {

// A run folder that cannot be read as a result.
struct Unreadable {
    std::string why;
};

// Digits after "individual_" of a folder that individual_folder() names, or 0.
std::uint64_t individual_of(const std::string& name) {
    const std::string prefix = "individual_";
    if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0) return 0;
    std::uint64_t k = 0;
    const char* first = name.data() + prefix.size();
    const char* last = name.data() + name.size();
    const auto r = std::from_chars(first, last, k);
    return r.ec == std::errc() && r.ptr == last && individual_folder(k) == name ? k : 0;
}

// The folders in `dir` but hidden ones, by name.
std::vector<std::string> folder_names(const fs::path& dir, const Cancel& cancel) {
    std::vector<std::string> out;
    std::error_code ec;
    std::size_t seen = 0;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        if (++seen % 4096 == 0) cancel.check();
        const std::string name = it->path().filename().string();
        std::error_code tc;
        if (!name.empty() && name[0] != '.' && it->is_directory(tc)) out.push_back(name);
    }
    std::sort(out.begin(), out.end());
    return out;
}

// The individual folders of a scenario folder: a bit per individual up to
// the largest population, a list above (no sweep writes those).
class FoundIndividuals {
public:
    FoundIndividuals(const fs::path& dir, const Cancel& cancel) {
        std::error_code ec;
        std::size_t seen = 0;
        for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
            if (++seen % 4096 == 0) cancel.check();
            const std::uint64_t k = individual_of(it->path().filename().string());
            std::error_code tc;
            if (k == 0 || !it->is_directory(tc)) continue;
            if (k > kMaxPopulationSize) {
                beyond_.push_back(k);
                continue;
            }
            if (k >= bits_.size()) bits_.resize(k + 1);
            bits_[k] = true;
        }
        std::sort(beyond_.begin(), beyond_.end());
    }
    bool has(std::uint64_t k) const {
        return k < bits_.size() ? bits_[k] : std::binary_search(beyond_.begin(), beyond_.end(), k);
    }
    // The least individual found; 0: none.
    std::uint64_t first() const {
        for (std::uint64_t i = 1; i < bits_.size(); ++i)
            if (bits_[i]) return i;
        return beyond_.empty() ? 0 : beyond_.front();
    }
    // The individuals found above `k`, in order.
    template <class Visit>
    void each_above(std::uint64_t k, Visit&& visit) const {
        for (std::uint64_t i = k + 1; i < bits_.size(); ++i)
            if (bits_[i]) visit(i);
        for (std::uint64_t i : beyond_)
            if (i > k) visit(i);
    }

private:
    std::vector<bool> bits_;
    std::vector<std::uint64_t> beyond_;
};

bool has_summary(const fs::path& dir) {
    std::error_code ec;
    return fs::exists(dir / "summary.json", ec);
}

// The scenario's description and controller that a run folder's
// summary.json gives; "" for none.
std::pair<std::string, std::string> described(const fs::path& dir) {
    std::string text;
    if (!read_text(dir / "summary.json", text)) return {};
    const nlohmann::json j = nlohmann::json::parse(text, nullptr, false);
    if (!j.is_object()) return {};
    const auto text_at = [](const nlohmann::json& o, const char* key) {
        return o.is_object() && o.contains(key) && o.at(key).is_string() ? o.at(key).get<std::string>() : "";
    };
    if (j.contains("controller")) return {text_at(j, "description"), text_at(j.at("controller"), "name")};
    const bool build = j.contains("build") && j.at("build").is_number_integer();  // the build's own controller
    return {text_at(j, "description"), build ? "veltrax" + std::to_string(j.at("build").get<int>()) : ""};
}

// metrics.csv as rows of sweep.csv for this run. A file of a version
// without the last column ("runaway") gets it empty.
std::vector<std::vector<std::string>> read_rows(const fs::path& dir, const RunEntry& run) {
    std::string text;
    if (!read_text(dir / "metrics.csv", text)) throw Unreadable{"cannot read metrics.csv"};
    const std::vector<std::string>& columns = sweep_columns();
    std::vector<std::vector<std::string>> rows;
    std::vector<std::string> fields;
    std::size_t pos = 0;
    try {
        if (!read_csv_record(text, pos, fields) ||
            !std::equal(fields.begin(), fields.end(), columns.begin(), columns.end() - (fields.size() < columns.size())))
            throw Unreadable{"metrics.csv: the header is not that of sweep.csv"};
        const std::size_t width = fields.size();
        while (read_csv_record(text, pos, fields)) {
            if (fields.size() != width) throw Unreadable{"metrics.csv: a row has other columns than the header"};
            fields.resize(columns.size());
            fields[0] = run.scenario;
            fields[1] = run.individual ? std::to_string(run.individual) : "";
            rows.push_back(fields);
        }
    } catch (const std::runtime_error& e) {
        throw Unreadable{std::string("metrics.csv: ") + e.what()};
    }
    if (rows.empty()) throw Unreadable{"metrics.csv has no rows"};
    return rows;
}

Status status_of(const std::vector<std::vector<std::string>>& rows) {
    const std::size_t column = sweep_column("status");
    const std::string& status = rows.front()[column];
    for (const std::vector<std::string>& row : rows)
        if (row[column] != status) throw Unreadable{"metrics.csv: rows of different status"};
    if (status == "ok") return Status::ok;
    if (status == "failed") return Status::failed;
    throw Unreadable{"metrics.csv: status '" + status + "'"};
}

// A result CSV: the header line `header`, then `rows` lines of `cols` numbers.
Matrix read_csv(const fs::path& path, const std::string& header, std::size_t rows, std::size_t cols) {
    std::string text;
    const std::string name = path.filename().string();
    if (!read_text(path, text)) throw Unreadable{"cannot read " + name};
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
    if (pos != text.size()) throw Unreadable{name + ": more rows than metrics.csv's " + std::to_string(rows)};
    return m;
}

// The disturbance windows of call 1 in summary.json; none when it has none
// or cannot be read (the plots then go without them).
std::vector<std::pair<double, double>> disturbance_windows_of(const fs::path& dir) {
    std::vector<std::pair<double, double>> windows;
    std::string text;
    if (!read_text((dir / "summary.json").string(), text)) return windows;
    const nlohmann::json summary = nlohmann::json::parse(text, nullptr, false);
    if (summary.is_discarded()) return windows;
    const nlohmann::json* list = nullptr;
    try {
        list = &summary.at("calls").at(0).at("metrics").at("disturbances");
    } catch (const nlohmann::json::exception&) {
        return windows;
    }
    for (const nlohmann::json& w : *list) {
        if (!w.is_object() || !w.contains("start") || !w.contains("end") || !w.at("start").is_number()) continue;
        const nlohmann::json& end = w.at("end");
        if (end.is_number())
            windows.emplace_back(w.at("start").get<double>(), end.get<double>());
        else if (end == "Inf")  // a step without end
            windows.emplace_back(w.at("start").get<double>(), HUGE_VAL);
    }
    return windows;
}

// The first call of an ok run, when it has samples.
std::optional<FirstCall> read_first_call(const fs::path& dir, const std::vector<std::string>& row) {
    std::size_t samples = 0;
    const std::string& field = row[sweep_column("samples")];
    const auto r = std::from_chars(field.data(), field.data() + field.size(), samples);
    if (row[sweep_column("call")] != "1" || r.ec != std::errc() || samples == 0) return std::nullopt;
    const Matrix t = read_csv(dir / "call1_time.csv", "t", samples, 1);
    const Matrix traj = read_csv(dir / "call1_trajectory.csv", "setpoint,u,y,static_gain,v", samples, 5);
    FirstCall c;
    c.t = t.data;
    c.setpoint.assign(traj.data.begin(), traj.data.begin() + samples);
    c.u.assign(traj.data.begin() + samples, traj.data.begin() + 2 * samples);
    c.y.assign(traj.data.begin() + 2 * samples, traj.data.begin() + 3 * samples);
    c.disturbances = disturbance_windows_of(dir);
    return c;
}

RunEntry load_run(const fs::path& outdir, const std::string& scenario, std::uint64_t individual, bool listed,
                  bool present, const std::function<bool(const RunEntry&)>& wants_first_call) {
    RunEntry run;
    run.scenario = scenario;
    run.individual = individual;
    run.folder = run_folder(scenario, individual).string();
    run.listed = listed;
    const fs::path dir = outdir / run.folder;
    if (!present || !has_summary(dir)) {
        run.rows = {placeholder_fields(scenario, individual, "missing", "", "no summary.json")};
        return run;
    }
    try {
        run.rows = read_rows(dir, run);
        run.status = status_of(run.rows);
        if (run.status == Status::ok && wants_first_call(run)) run.first_call = read_first_call(dir, run.rows.front());
        if (run.first_call) run.first_call->run = run.folder;
    } catch (const Unreadable& u) {
        run.status = Status::unreadable;
        run.first_call.reset();
        run.rows = {placeholder_fields(scenario, individual, "unreadable", "veltrax:unreadableResult", u.why)};
    }
    return run;
}

}  // namespace

const char* status_name(Status s) {
    switch (s) {
        case Status::ok: return "ok";
        case Status::failed: return "failed";
        case Status::missing: return "missing";
        case Status::unreadable: return "unreadable";
    }
    return "?";
}

SweepFolder::SweepFolder(fs::path outdir) : outdir_(std::move(outdir)) {
    std::error_code ec;
    if (!fs::is_directory(outdir_, ec))
        throw Error("veltrax:badSweep", "'" + outdir_.string() + "' is not a folder");
    if (fs::exists(outdir_ / "sweep.json", ec)) manifest_ = read_manifest(outdir_);
    if (!shard_files(outdir_).empty()) {
        store_ = std::make_unique<NetcdfSweep>(outdir_);
        if (!manifest_) manifest_ = store_->manifest();
        for (const SweepEntry& e : manifest_->scenarios)
            if (fs::is_directory(outdir_ / e.name, ec))
                throw Error("veltrax:badSweep", "'" + outdir_.string() + "' holds both shard files and the run folder '" +
                                                    e.name + "'; report them from folders of their own");
    }
    if (!manifest_) return;
    for (const SweepEntry& e : manifest_->scenarios) expected_ += e.individuals == 0 ? 1 : e.individuals;
}

SweepFolder::~SweepFolder() = default;

std::vector<std::string> SweepFolder::store_files() const {
    std::vector<std::string> names;
    if (store_)
        for (const fs::path& p : store_->files()) names.push_back(p.filename().string());
    return names;
}

void Cancel::check() const {
    if ((*this)()) throw Error("veltrax:interrupted", "the report was stopped");
}

struct SweepFolder::Visit {
    const std::function<bool(const RunEntry&)>& wants_first_call;
    const std::function<void(RunEntry&&)>& visit;
    const Cancel& cancel;
};

void SweepFolder::for_each_run(const std::function<bool(const RunEntry&)>& wants_first_call,
                               const std::function<void(RunEntry&&)>& visit, const Cancel& cancel) const {
    if (store_) {
        for_each_stored_run(wants_first_call, visit, cancel);
        return;
    }
    std::map<std::string, const SweepEntry*> names;  // by name; null: found, not listed
    if (manifest_)
        for (const SweepEntry& e : manifest_->scenarios) names[e.name] = &e;
    for (const std::string& name : folder_names(outdir_, cancel)) names.emplace(name, nullptr);
    const Visit v{wants_first_call, visit, cancel};
    for (const auto& [name, entry] : names)
        visit_scenario(name, entry ? entry->individuals : 0, entry && entry->individuals == 0, v);
}

void SweepFolder::visit_scenario(const std::string& name, std::uint64_t listed, bool listed_plain,
                                 const Visit& v) const {
    const fs::path dir = outdir_ / name;
    v.cancel.check();
    // Individuals 1 .. listed, then those found above: no look into the
    // folders of individuals that are not there.
    const FoundIndividuals found(dir, v.cancel);
    const std::uint64_t first = found.first();
    const std::pair<std::string, std::string> about =
        described(has_summary(dir) || first == 0 ? dir : dir / individual_folder(first));
    const auto visit = [&](RunEntry&& run) {
        run.description = about.first;
        run.controller = about.second;
        v.visit(std::move(run));
    };
    if (listed_plain || has_summary(dir)) visit(load_run(outdir_, name, 0, listed_plain, true, v.wants_first_call));
    for (std::uint64_t k = 1; k <= listed; ++k) {
        v.cancel.check();
        visit(load_run(outdir_, name, k, true, found.has(k), v.wants_first_call));
    }
    found.each_above(listed, [&](std::uint64_t k) {
        v.cancel.check();
        if (has_summary(dir / individual_folder(k))) visit(load_run(outdir_, name, k, false, true, v.wants_first_call));
    });
}

}  // namespace veltrax::experiments::report_parts
