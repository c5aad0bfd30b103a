// SPDX-License-Identifier: LGPL-2.1-or-later
// The store's reader: the shard files of a sweep folder, checked together
// and merged run by run in the sweep's order, a block of rows at a time.
#include <algorithm>
#include <charconv>
#include <deque>
#include <regex>

#include <nlohmann/json.hpp>

#include "experiments/files.hpp"
#include "experiments/netcdf_layout.hpp"
#include "experiments/netcdf_store.hpp"
#include "experiments/sweep_table.hpp"

namespace veltrax::experiments {

namespace fs = std::filesystem;
using namespace netcdf_layout;

namespace {

// Rows read at once from each file, over all files at most about this many.
constexpr std::size_t kRowsAtOnce = 1 << 16;

[[noreturn]] void bad_sweep(const std::string& message) { throw Error("veltrax:badSweep", message); }

bool before(const StoredRun& a, const StoredRun& b) {
    return a.scenario != b.scenario ? a.scenario < b.scenario : a.individual < b.individual;
}

}  // namespace

std::string shard_file_name(Shard shard) {
    if (shard.n == 1) return "sweep.nc";
    return "sweep." + std::to_string(shard.k) + "-of-" + std::to_string(shard.n) + ".nc";
}

std::vector<ShardFile> shard_files(const fs::path& outdir) {
    static const std::regex name(R"(sweep(\.([0-9]{1,19})-of-([0-9]{1,19}))?\.nc)");
    std::vector<ShardFile> files;
    std::error_code ec;
    for (fs::directory_iterator it(outdir, ec), end; !ec && it != end; it.increment(ec)) {
        std::smatch m;
        const std::string file = it->path().filename().string();
        if (!std::regex_match(file, m, name)) continue;
        ShardFile f{it->path(), {}};
        if (m[1].matched) f.shard = {std::stoull(m[2].str()), std::stoull(m[3].str())};
        files.push_back(f);
    }
    std::sort(files.begin(), files.end(), [](const ShardFile& a, const ShardFile& b) { return a.path < b.path; });
    return files;
}

struct NetcdfSweep::Shard {
    std::unique_ptr<NetcdfFile> file;
    std::string name;
    std::size_t runs = 0, calls = 1, samples = 1;
    std::map<std::string, int> vars;

    int var(const std::string& n) const { return vars.at(n); }
    // Rows first .. first + count - 1 of the file as runs.
    std::vector<StoredRun> read(std::size_t first, std::size_t count, const SweepManifest& m, bool values) const;
};

std::vector<StoredRun> NetcdfSweep::Shard::read(std::size_t first, std::size_t count, const SweepManifest& m,
                                                bool values) const {
    const NetcdfFile& f = *file;
    const std::vector<std::size_t> at{first}, n{count}, at2{first, 0}, n2{count, calls};
    std::vector<std::int32_t> scenario(count), n_calls(count), error_call(count);
    std::vector<unsigned long long> individual(count);
    std::vector<signed char> complete(count), status(count);
    f.get(var(kScenario), at, n, scenario.data());
    f.get(var(kIndividual), at, n, individual.data());
    f.get(var(kComplete), at, n, complete.data());
    std::vector<StoredRun> runs(count);
    for (std::size_t r = 0; r < count; ++r) {
        StoredRun& run = runs[r];
        if (scenario[r] < 0 || static_cast<std::size_t>(scenario[r]) >= m.scenarios.size() ||
            (m.scenarios[scenario[r]].individuals == 0 ? individual[r] != 0
                                                       : individual[r] < 1 || individual[r] > m.scenarios[scenario[r]].individuals))
            f.fail("row " + std::to_string(first + r) + " holds a run that the sweep does not have");
        run.scenario = static_cast<std::size_t>(scenario[r]);
        run.individual = individual[r];
        run.complete = complete[r] == 1;
        run.file = name;
        run.row = first + r;
    }
    if (!values) return runs;
    f.get(var(kStatus), at, n, status.data());
    f.get(var(kCalls), at, n, n_calls.data());
    f.get(var(kErrorCall), at, n, error_call.data());
    std::vector<std::string> error_id, error_message, controller;
    f.get(var(kErrorId), at, n, error_id);
    f.get(var(kErrorMessage), at, n, error_message);
    f.get(var(kController), at, n, controller);
    std::map<std::string, std::vector<double>> per_run, per_call;
    for (const std::string& c : run_columns()) {
        per_run[c].assign(count, 0.0);
        f.get(var(c), at, n, per_run[c].data());
    }
    for (const std::string& c : call_columns()) {
        per_call[c].assign(count * calls, 0.0);
        f.get(var(c), at2, n2, per_call[c].data());
    }
    const std::vector<std::string>& columns = sweep_columns();
    for (std::size_t r = 0; r < count; ++r) {
        StoredRun& run = runs[r];
        if (!run.complete) continue;
        run.ok = status[r] == kOk;
        run.controller = controller[r];
        run.error_call = error_call[r] > 0 ? static_cast<std::size_t>(error_call[r]) : 0;
        run.error_id = error_id[r];
        run.error_message = error_message[r];
        const std::string scenario_name = m.scenarios[run.scenario].name;
        const std::string ind = run.individual ? std::to_string(run.individual) : "";
        // One row per call that ran, then the error's own row.
        const std::size_t ran = std::min<std::size_t>(calls, n_calls[r] > 0 ? n_calls[r] : 0);
        const bool error_shown = !run.ok && run.error_call >= 1 && run.error_call <= ran;
        for (std::size_t c = 0; c <= ran; ++c) {
            const bool failure_row = c == ran;
            if (failure_row && (run.ok || error_shown)) break;
            const bool with_error = !run.ok && (failure_row || c + 1 == run.error_call);
            std::vector<std::string> row = {scenario_name, ind,
                                            failure_row ? (run.error_call ? std::to_string(run.error_call) : "")
                                                        : std::to_string(c + 1),
                                            run.ok ? "ok" : "failed", with_error ? run.error_id : "",
                                            with_error ? run.error_message : ""};
            for (std::size_t i = row.size(); i < columns.size(); ++i) {
                const auto pr = per_run.find(columns[i]);
                if (pr != per_run.end())
                    row.push_back(column_field(pr->second[r]));
                else
                    row.push_back(failure_row ? "" : column_field(per_call.at(columns[i])[r * calls + c]));
            }
            run.rows.push_back(std::move(row));
        }
    }
    return runs;
}

NetcdfSweep::NetcdfSweep(const fs::path& outdir) {
    const std::vector<ShardFile> found = shard_files(outdir);
    if (found.empty()) bad_sweep("'" + outdir.string() + "' holds no shard file (sweep.nc or sweep.K-of-N.nc)");
    std::string manifest_text, scenarios_text, first_name;
    for (const ShardFile& sf : found) {
        auto shard = std::make_unique<Shard>();
        shard->name = sf.path.filename().string();
        try {
            shard->file = std::make_unique<NetcdfFile>(sf.path, NetcdfFile::Mode::read, "veltrax:badStore");
        } catch (const Error& e) {
            if (e.id() != "veltrax:badStore") throw;
            throw Error(e.id(), std::string(e.what()) + ": not a readable NetCDF file (truncated, or of another kind)");
        }
        const NetcdfFile& f = *shard->file;
        check_layout(f);
        const std::string manifest = f.text_attribute(-1, "sweep");
        const std::string scenarios = f.text_attribute(-1, "scenarios");
        if (manifest_text.empty()) {
            manifest_text = manifest;
            scenarios_text = scenarios;
            first_name = shard->name;
            manifest_ = parse_manifest(manifest, sf.path.string());
        } else if (manifest != manifest_text) {
            bad_sweep("'" + first_name + "' and '" + shard->name + "' hold shards of different sweeps");
        } else {
            const std::string other = differing_scenario(scenarios_text, scenarios, sf.path.string());
            if (!other.empty())
                bad_sweep("'" + first_name + "' and '" + shard->name + "' hold results of different texts of scenario '" +
                          other + "'");
        }
        shard->runs = f.dimension("run");
        shard->calls = f.dimension("call");
        shard->samples = f.dimension("sample");
        for (const char* v : {kScenario, kIndividual, kComplete, kStatus, kCalls, kErrorCall, kErrorId, kErrorMessage,
                              kController, "time", "trajectory"})
            shard->vars[v] = f.variable(v);
        for (const std::string& c : run_columns()) shard->vars[c] = f.variable(c);
        for (const std::string& c : call_columns()) shard->vars[c] = f.variable(c);
        files_.push_back(sf.path);
        shards_.push_back(std::move(shard));
    }
    std::error_code ec;
    if (fs::exists(outdir / "sweep.json", ec) && manifest_json(read_manifest(outdir)).dump() != manifest_text)
        bad_sweep("'" + first_name + "' holds another sweep than '" + (outdir / "sweep.json").string() + "'");
    for (const nlohmann::json& s : nlohmann::json::parse(scenarios_text))
        descriptions_.push_back(s.value("description", ""));
    descriptions_.resize(manifest_.scenarios.size());
    // No run in two files, and each file's rows in the sweep's order.
    std::optional<StoredRun> last;
    merge(false, [&](StoredRun&& run) {
        if (last && !before(*last, run)) {
            if (last->file == run.file) bad_sweep("'" + run.file + "' does not hold its runs in the sweep's order");
            bad_sweep("'" + last->file + "' and '" + run.file + "' both hold " + manifest_.scenarios[run.scenario].name +
                      (run.individual ? " individual " + std::to_string(run.individual) : std::string()) +
                      ": shards of one sweep must not overlap");
        }
        last = std::move(run);
    });
}

NetcdfSweep::~NetcdfSweep() = default;

void NetcdfSweep::for_each_run(const std::function<void(StoredRun&&)>& visit) const { merge(true, visit); }

// The runs of all files in order: each file is in order, so the next run is
// the least of the files' next ones.
void NetcdfSweep::merge(bool values, const std::function<void(StoredRun&&)>& visit) const {
    const std::size_t block = std::clamp<std::size_t>(kRowsAtOnce / std::max<std::size_t>(1, shards_.size()), 16, 4096);
    struct Cursor {
        std::size_t next = 0;  // next row to read
        std::deque<StoredRun> runs;
    };
    std::vector<Cursor> cursors(shards_.size());
    const auto fill = [&](std::size_t i) {
        Cursor& c = cursors[i];
        if (!c.runs.empty() || c.next >= shards_[i]->runs) return;
        const std::size_t count = std::min(block, shards_[i]->runs - c.next);
        for (StoredRun& r : shards_[i]->read(c.next, count, manifest_, values)) c.runs.push_back(std::move(r));
        c.next += count;
    };
    for (;;) {
        std::size_t best = cursors.size();
        for (std::size_t i = 0; i < cursors.size(); ++i) {
            fill(i);
            if (!cursors[i].runs.empty() &&
                (best == cursors.size() || before(cursors[i].runs.front(), cursors[best].runs.front())))
                best = i;
        }
        if (best == cursors.size()) return;
        StoredRun run = std::move(cursors[best].runs.front());
        cursors[best].runs.pop_front();
        visit(std::move(run));
    }
}

StoredSignals NetcdfSweep::first_call(const StoredRun& run) const {
    const auto it = std::find_if(shards_.begin(), shards_.end(), [&](const auto& s) { return s->name == run.file; });
    StoredSignals sig;
    if (it == shards_.end() || run.rows.empty()) return sig;
    const Shard& s = **it;
    std::size_t samples = 0;
    const std::string& field = run.rows.front()[sweep_column("samples")];
    std::from_chars(field.data(), field.data() + field.size(), samples);
    samples = std::min(samples, s.samples);
    if (samples == 0) return sig;
    sig.t.resize(samples);
    s.file->get(s.var("time"), {run.row, 0, 0}, {1, 1, samples}, sig.t.data());
    std::vector<double> traj(samples * 5);
    s.file->get(s.var("trajectory"), {run.row, 0, 0, 0}, {1, 1, samples, 5}, traj.data());
    for (std::size_t i = 0; i < samples; ++i) {
        sig.setpoint.push_back(traj[i * 5]);
        sig.u.push_back(traj[i * 5 + 1]);
        sig.y.push_back(traj[i * 5 + 2]);
    }
    return sig;
}

}  // namespace veltrax::experiments
