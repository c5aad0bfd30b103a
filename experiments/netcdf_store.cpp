// SPDX-License-Identifier: LGPL-2.1-or-later
// The store's writer: the shard file made or resumed, and the finished runs
// written in batches.
#include "experiments/netcdf_store.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <random>

#include "experiments/files.hpp"
#include "experiments/netcdf_layout.hpp"
#include "experiments/run_folder.hpp"
#include "experiments/runner.hpp"
#include "experiments/sweep_table.hpp"

namespace veltrax::experiments {

namespace fs = std::filesystem;
using namespace netcdf_layout;

namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void bad_sweep(const std::string& message) { throw Error("veltrax:badSweep", message); }

// Bytes of a run's outputs.
std::size_t output_bytes(const RunResult& run) {
    std::size_t n = 0;
    for (const CallResult& c : run.calls)
        for (const Matrix& m : c.outputs) n += m.data.size() * sizeof(double);
    return n;
}

// A hidden name beside `path` for the file while it is made.
fs::path temporary_beside(const fs::path& path) {
    std::random_device seed;
    return path.parent_path() / ("." + path.filename().string() + ".tmp-" + std::to_string(seed()));
}

// Signals written at once take at most this many bytes.
constexpr std::size_t kSignalBufferBytes = 32 << 20;

// The row of sweep.csv of call `call` (from 1), or null.
const std::vector<std::string>* call_row(const std::vector<std::vector<std::string>>& rows, std::size_t call) {
    const std::size_t column = sweep_column("call");
    const std::string wanted = std::to_string(call);
    for (const std::vector<std::string>& row : rows)
        if (row[column] == wanted && !row[sweep_column("samples")].empty()) return &row;
    return nullptr;
}

const CallResult* call_of(const RunResult& run, std::size_t c) { return c < run.calls.size() ? &run.calls[c] : nullptr; }

}  // namespace

struct NetcdfStore::Impl {
    const std::vector<Scenario>& scenarios;
    Shard shard;
    NetcdfStoreOptions options;
    std::vector<const Scenario*> by_name;  // in the manifest's order
    Sizes sizes;
    std::unique_ptr<NetcdfFile> file;
    std::vector<RunRef> runs;
    std::map<std::string, std::size_t> scenario_index;
    std::vector<char> complete;

    std::mutex mutex;
    std::vector<std::pair<std::size_t, RunResult>> pending;  // row, run
    std::size_t pending_bytes = 0;
    Clock::time_point last_flush = Clock::now();

    Impl(const std::vector<Scenario>& s, Shard sh, NetcdfStoreOptions o) : scenarios(s), shard(sh), options(o) {}

    std::size_t row_of(const RunResult& run) const;
    void create(const fs::path& path, const SweepManifest& manifest);
    void resume(const fs::path& path, const SweepManifest& manifest);
    void flush();
    void write_group(std::size_t first, std::size_t count, const std::vector<const RunResult*>& group);
    void write_runs(std::size_t first, const std::vector<const RunResult*>& group,
                    const std::vector<std::vector<std::vector<std::string>>>& rows);
    void write_call_columns(std::size_t first, const std::vector<std::vector<std::vector<std::string>>>& rows);
    void write_call_settings(std::size_t first, const std::vector<const RunResult*>& group);
    void write_signals(std::size_t first, const std::vector<const RunResult*>& group);
};

std::size_t NetcdfStore::Impl::row_of(const RunResult& run) const {
    const auto s = scenario_index.find(run.scenario);
    if (s == scenario_index.end()) throw Error("veltrax:internal", "run of an unknown scenario '" + run.scenario + "'");
    const RunRef key{s->second, run.individual_index()};
    const auto less = [](const RunRef& a, const RunRef& b) {
        return a.scenario != b.scenario ? a.scenario < b.scenario : a.individual < b.individual;
    };
    const auto it = std::lower_bound(runs.begin(), runs.end(), key, less);
    if (it == runs.end() || less(key, *it))
        throw Error("veltrax:internal", "run of scenario '" + run.scenario + "' is not in this slice");
    return static_cast<std::size_t>(it - runs.begin());
}

void NetcdfStore::Impl::create(const fs::path& path, const SweepManifest& manifest) {
    const fs::path temp = temporary_beside(path);
    try {
        NetcdfFile f(temp, NetcdfFile::Mode::create, "veltrax:writeFailed");
        define_layout(f, sizes, by_name, manifest, shard);
        std::vector<std::int32_t> scenario(runs.size());
        std::vector<unsigned long long> individual(runs.size());
        for (std::size_t i = 0; i < runs.size(); ++i) {
            scenario[i] = static_cast<std::int32_t>(runs[i].scenario);
            individual[i] = runs[i].individual;
        }
        if (!runs.empty()) {
            f.put(f.variable(kScenario), {0}, {runs.size()}, scenario.data());
            f.put(f.variable(kIndividual), {0}, {runs.size()}, individual.data());
            const std::vector<signed char> zero(runs.size(), 0);
            f.put(f.variable(kComplete), {0}, {runs.size()}, zero.data());
        }
        f.sync(true);
        f.close();
        // Into its place only when no other process made one meanwhile.
        if (::link(temp.c_str(), path.c_str()) != 0) {
            const int saved = errno;
            if (saved == EEXIST) bad_sweep("'" + path.string() + "' was made by another process meanwhile");
            write_failed(path, std::strerror(saved));
        }
    } catch (...) {
        std::error_code ec;
        fs::remove(temp, ec);
        throw;
    }
    std::error_code ec;
    fs::remove(temp, ec);
}

void NetcdfStore::Impl::resume(const fs::path& path, const SweepManifest& manifest) {
    std::unique_ptr<NetcdfFile> f;
    try {
        f = std::make_unique<NetcdfFile>(path, NetcdfFile::Mode::write, "veltrax:badStore");
    } catch (const Error& e) {
        throw Error("veltrax:badStore", std::string(e.what()) +
                                            "; it is left as it is: move it away to run this slice again");
    }
    check_layout(*f);
    const std::string shown = path.string();
    if (f->text_attribute(-1, "sweep") != manifest_json(manifest).dump())
        bad_sweep("'" + shown + "' holds another sweep; give this one its own output folder");
    const std::string slice = std::to_string(shard.k) + "/" + std::to_string(shard.n);
    if (f->text_attribute(-1, "shard") != slice)
        bad_sweep("'" + shown + "' holds slice " + f->text_attribute(-1, "shard") + ", not " + slice);
    const std::string other = differing_scenario(f->text_attribute(-1, "scenarios"), scenarios_attribute(by_name), shown);
    if (!other.empty())
        bad_sweep("'" + shown + "' holds results of another text of scenario '" + other +
                  "'; give the changed scenario its own output folder");
    if (f->dimension("run") != runs.size()) f->fail("does not hold the runs of this slice");
    complete.assign(runs.size(), 0);
    if (!runs.empty()) {
        std::vector<signed char> flags(runs.size());
        f->get(f->variable(kComplete), {0}, {runs.size()}, flags.data());
        for (std::size_t i = 0; i < runs.size(); ++i) complete[i] = flags[i] == 1;
    }
    file = std::move(f);
}

NetcdfStore::NetcdfStore(fs::path outdir, const std::vector<Scenario>& scenarios, Shard shard, NetcdfStoreOptions options)
    : outdir_(std::move(outdir)), impl_(std::make_unique<Impl>(scenarios, shard, options)) {
    path_ = outdir_ / shard_file_name(shard);
}

NetcdfStore::~NetcdfStore() = default;

void NetcdfStore::begin(const SweepManifest& sweep, const std::vector<RunRef>& runs) {
    Impl& m = *impl_;
    m.by_name = sorted_by_name(m.scenarios);
    check_writable(outdir_);
    write_manifest(outdir_, sweep);
    for (const SweepEntry& e : sweep.scenarios) {
        std::error_code ec;
        if (fs::exists(outdir_ / e.name, ec))
            bad_sweep("'" + outdir_.string() + "' holds the run folder '" + e.name +
                      "' of this sweep; give the NetCDF store an output folder of its own");
    }
    for (std::size_t i = 0; i < m.by_name.size(); ++i) m.scenario_index[m.by_name[i]->name] = i;
    m.runs = runs;
    m.sizes = sizes_of(m.by_name, runs.size());
    std::error_code ec;
    if (!fs::exists(path_, ec)) {
        m.create(path_, sweep);
        m.complete.assign(runs.size(), 0);
        m.file = std::make_unique<NetcdfFile>(path_, NetcdfFile::Mode::write, "veltrax:writeFailed");
    } else {
        m.resume(path_, sweep);
    }
}

bool NetcdfStore::stored(std::size_t i) const { return i < impl_->complete.size() && impl_->complete[i]; }

void NetcdfStore::write(const RunResult& run) {
    Impl& m = *impl_;
    const std::lock_guard<std::mutex> lock(m.mutex);
    if (!m.file) throw Error("veltrax:writeFailed", "'" + path_.string() + "' is closed");
    const std::size_t row = m.row_of(run);
    for (const CallResult& c : run.calls)
        if (c.outputs.size() < 5 || c.outputs[0].rows > m.sizes.samples || c.outputs[2].cols > m.sizes.estimates ||
            c.call > m.sizes.calls)
            throw Error("veltrax:writeFailed", "'" + path_.string() + "': a call of " + run.scenario +
                                                   " returned more rows or columns than the file holds");
    m.pending.emplace_back(row, run);
    m.pending_bytes += output_bytes(run);
    const double waited = std::chrono::duration<double>(Clock::now() - m.last_flush).count();
    if (m.pending.size() >= m.options.batch_runs || m.pending_bytes >= m.options.batch_bytes ||
        waited >= m.options.batch_seconds)
        m.flush();
}

void NetcdfStore::finish() {
    Impl& m = *impl_;
    const std::lock_guard<std::mutex> lock(m.mutex);
    if (!m.file) return;
    m.flush();
    std::unique_ptr<NetcdfFile> f = std::move(m.file);
    f->close();
}

// The pending runs: their data, a flush to disk, their complete flags, a
// second flush. A failure leaves the batch's runs not complete and throws.
void NetcdfStore::Impl::flush() {
    std::vector<std::pair<std::size_t, RunResult>> batch;
    batch.swap(pending);
    pending_bytes = 0;
    last_flush = Clock::now();
    if (batch.empty()) return;
    std::sort(batch.begin(), batch.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    try {
        std::vector<const RunResult*> group;
        for (std::size_t i = 0; i < batch.size(); ++i) {
            group.push_back(&batch[i].second);
            const bool ends = i + 1 == batch.size() || batch[i + 1].first != batch[i].first + 1;
            if (!ends) continue;
            write_group(batch[i].first + 1 - group.size(), group.size(), group);
            group.clear();
        }
        file->sync(true);
        const signed char one = 1;
        for (const auto& [row, run] : batch) file->put(file->variable(kComplete), {row}, {1}, &one);
        file->sync(true);
    } catch (const Error& e) {
        throw Error(e.id(), std::string(e.what()) + "; " + std::to_string(batch.size()) +
                                " finished run(s) not stored, to be run again");
    }
    for (const auto& [row, run] : batch) complete[row] = 1;
}

// The per-run and per-call values of runs first .. first + count - 1, then
// their signals.
void NetcdfStore::Impl::write_group(std::size_t first, std::size_t count, const std::vector<const RunResult*>& group) {
    std::vector<std::vector<std::vector<std::string>>> rows;
    for (const RunResult* r : group) rows.push_back(run_fields(*r));
    write_runs(first, group, rows);
    write_call_columns(first, rows);
    write_call_settings(first, group);
    const std::size_t per_run = sizes.calls * sizes.samples * (11 + sizes.estimates) * sizeof(double);
    const std::size_t step = std::max<std::size_t>(1, kSignalBufferBytes / per_run);
    for (std::size_t r = 0; r < count; r += step) {
        const std::size_t end = std::min(count, r + step);
        write_signals(first + r, std::vector<const RunResult*>(group.begin() + r, group.begin() + end));
    }
}

void NetcdfStore::Impl::write_runs(std::size_t first, const std::vector<const RunResult*>& group,
                                   const std::vector<std::vector<std::vector<std::string>>>& rows) {
    NetcdfFile& f = *file;
    const std::size_t count = group.size();
    const std::vector<std::size_t> at{first}, n{count};
    std::vector<signed char> status;
    std::vector<long long> seed;
    std::vector<unsigned long long> population_seed;
    std::vector<std::int32_t> calls, error_call;
    std::vector<std::string> error_id, error_message, controller;
    for (const RunResult* r : group) {
        status.push_back(r->ok() ? kOk : kFailed);
        seed.push_back(r->seed);
        population_seed.push_back(r->individual ? r->individual->population_seed : 0);
        calls.push_back(static_cast<std::int32_t>(r->calls.size()));
        error_call.push_back(r->failure ? static_cast<std::int32_t>(r->failure->call) : 0);
        error_id.push_back(r->failure ? r->failure->id : "");
        error_message.push_back(r->failure ? r->failure->message : "");
        controller.push_back(r->controller ? r->controller->name : adaptive_controller(r->build).name);
    }
    f.put(f.variable(kStatus), at, n, status.data());
    f.put(f.variable(kSeed), at, n, seed.data());
    f.put(f.variable(kPopulationSeed), at, n, population_seed.data());
    f.put(f.variable(kCalls), at, n, calls.data());
    f.put(f.variable(kErrorCall), at, n, error_call.data());
    f.put(f.variable(kErrorId), at, n, error_id);
    f.put(f.variable(kErrorMessage), at, n, error_message);
    f.put(f.variable(kController), at, n, controller);
    std::vector<double> values(count);
    for (const std::string& column : run_columns()) {
        for (std::size_t r = 0; r < count; ++r) values[r] = column_value(rows[r].front()[sweep_column(column)]);
        f.put(f.variable(column), at, n, values.data());
    }
}

// The numeric columns of sweep.csv that hold a value per call.
void NetcdfStore::Impl::write_call_columns(std::size_t first,
                                           const std::vector<std::vector<std::vector<std::string>>>& rows) {
    const std::size_t count = rows.size(), C = sizes.calls;
    std::vector<const std::vector<std::string>*> row(count * C);
    for (std::size_t r = 0; r < count; ++r)
        for (std::size_t c = 0; c < C; ++c) row[r * C + c] = call_row(rows[r], c + 1);
    std::vector<double> values(count * C);
    for (const std::string& column : call_columns()) {
        const std::size_t k = sweep_column(column);
        for (std::size_t i = 0; i < count * C; ++i) values[i] = row[i] ? column_value((*row[i])[k]) : nc::kFillDouble;
        file->put(file->variable(column), {first, 0}, {count, C}, values.data());
    }
}

// What the table does not show of each call's settings, and its sums.
void NetcdfStore::Impl::write_call_settings(std::size_t first, const std::vector<const RunResult*>& group) {
    NetcdfFile& f = *file;
    const std::size_t count = group.size(), C = sizes.calls, P = sizes.coefficients;
    std::vector<signed char> gaussian(count * C, nc::kFillByte), builtin(count * C, nc::kFillByte);
    std::vector<std::int32_t> estimates(count * C, nc::kFillInt);
    std::vector<double> period(count * C, nc::kFillDouble), observer(count * C * 3, nc::kFillDouble),
        sums(count * C * 3, nc::kFillDouble), numerator(count * C * P, nc::kFillDouble),
        denominator(count * C * P, nc::kFillDouble);
    for (std::size_t r = 0; r < count; ++r)
        for (std::size_t c = 0; c < C; ++c) {
            const CallResult* call = call_of(*group[r], c);
            if (!call) continue;
            const Settings& s = call->setup.settings;
            const std::size_t i = r * C + c;
            gaussian[i] = s.noise.kind == NoiseKind::Gaussian;
            builtin[i] = s.builtin_model();
            period[i] = s.sample_period();
            estimates[i] = static_cast<std::int32_t>(call->outputs[2].cols);
            std::copy(s.observer.begin(), s.observer.end(), observer.begin() + i * 3);
            std::copy_n(call->outputs[4].data.begin(), std::min<std::size_t>(3, call->outputs[4].data.size()),
                        sums.begin() + i * 3);
            const auto* tf = std::get_if<TransferFunction>(&s.process);
            if (!tf) continue;
            std::copy_n(tf->numerator.begin(), std::min(P, tf->numerator.size()), numerator.begin() + i * P);
            std::copy_n(tf->denominator.begin(), std::min(P, tf->denominator.size()), denominator.begin() + i * P);
        }
    const std::vector<std::size_t> at2{first, 0}, n2{count, C};
    f.put(f.variable("gaussian_noise"), at2, n2, gaussian.data());
    f.put(f.variable("builtin_model"), at2, n2, builtin.data());
    f.put(f.variable("sample_period"), at2, n2, period.data());
    f.put(f.variable("estimates"), at2, n2, estimates.data());
    f.put(f.variable("observer"), {first, 0, 0}, {count, C, 3}, observer.data());
    f.put(f.variable("sums"), {first, 0, 0}, {count, C, 3}, sums.data());
    f.put(f.variable("numerator"), {first, 0, 0}, {count, C, P}, numerator.data());
    f.put(f.variable("denominator"), {first, 0, 0}, {count, C, P}, denominator.data());
}

// time, trajectory, theta and search of consecutive runs from row `first`.
void NetcdfStore::Impl::write_signals(std::size_t first, const std::vector<const RunResult*>& group) {
    const std::size_t count = group.size(), C = sizes.calls, S = sizes.samples;
    struct Signal {
        const char* name;
        std::size_t output, width;
    };
    for (const Signal& sig : {Signal{"time", 0, 1}, Signal{"trajectory", 1, 5}, Signal{"theta", 2, sizes.estimates},
                              Signal{"search", 3, 5}}) {
        std::vector<double> v(count * C * S * sig.width, nc::kFillDouble);
        for (std::size_t r = 0; r < count; ++r)
            for (std::size_t c = 0; c < C; ++c) {
                const CallResult* call = call_of(*group[r], c);
                if (!call) continue;
                if (call->outputs.size() <= sig.output) continue;
                const Matrix& m = call->outputs[sig.output];  // column-major rows x cols
                const std::size_t cols = std::min(m.cols, sig.width);
                for (std::size_t i = 0; i < m.rows; ++i)
                    for (std::size_t j = 0; j < cols; ++j) v[((r * C + c) * S + i) * sig.width + j] = m(i, j);
            }
        std::vector<std::size_t> at{first, 0, 0}, n{count, C, S};
        if (sig.output != 0) {
            at.push_back(0);
            n.push_back(sig.width);
        }
        file->put(file->variable(sig.name), at, n, v.data());
    }
}

}  // namespace veltrax::experiments
