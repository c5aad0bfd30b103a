// SPDX-License-Identifier: LGPL-2.1-or-later
#include "cli/batch_command.hpp"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <utility>

#include "api/veltrax.hpp"
#include "cli/command.hpp"
#include "experiments/runner.hpp"
#include "experiments/scenario.hpp"
#include "experiments/netcdf_store.hpp"
#include "experiments/store.hpp"

namespace veltrax::cli {

namespace fs = std::filesystem;
using namespace experiments;

namespace {

void nothing_run() { std::fprintf(stderr, "veltrax batch: nothing was run\n"); }

// The files by result folder name, so that every shard of a sweep sees the
// same order however they were listed; exit status kExitUsage when two would
// share a folder or one gives no usable name. OUTDIR's own manifest (a glob
// over a folder that holds both the scenarios and the results) is no
// scenario file.
bool order_files(const std::vector<std::string>& paths, const std::string& outdir,
                 std::vector<std::pair<std::string, std::string>>& files) {
    for (const std::string& path : paths)
        if (!is_manifest_of(path, outdir)) files.emplace_back(fs::path(path).stem().string(), path);
    std::sort(files.begin(), files.end());
    for (const auto& [name, path] : files) {
        const std::string why = unusable_name(name);
        if (!why.empty()) {
            print_error("veltrax batch", "veltrax:badArguments",
                        "'" + path + "' would write its results to '" + name + "', which " + why + "; rename the file");
            return false;
        }
    }
    for (std::size_t i = 1; i < files.size(); ++i) {
        if (files[i].first == files[i - 1].first) {
            print_error("veltrax batch", "veltrax:badArguments",
                        "'" + files[i - 1].second + "' and '" + files[i].second + "' would share the result folder '" +
                            files[i].first + "'; give scenario files distinct names");
            return false;
        }
    }
    return true;
}

// Every shard reads every file: the runs of the whole sweep decide the slices.
std::optional<std::vector<Scenario>> load_all(const std::vector<std::pair<std::string, std::string>>& files) {
    std::vector<Scenario> scenarios;
    bool unreadable = false;
    for (const auto& file : files) {
        if (stop_requested()) return std::nullopt;
        try {
            scenarios.push_back(load_scenario(file.second));
        } catch (const Error& e) {
            print_error(file.second, e.id(), e.what());
            unreadable = true;
        }
    }
    if (unreadable) return std::nullopt;
    return scenarios;
}

// Prints what went wrong with a run; its exit status.
int note_run(const RunResult& run, const Error* store_error) {
    if (store_error) print_error(run.path, store_error->id(), store_error->what());
    if (run.failure) {
        std::string where = run.path;
        if (run.individual) where += ": individual " + std::to_string(run.individual_index());
        if (run.failure->call > 0) where += ": call " + std::to_string(run.failure->call);
        print_error(where, run.failure->id, run.failure->message);
    }
    return store_error || run.failure ? kExitFailed : 0;
}

// Runs in folders beyond which the tool suggests the NetCDF store.
constexpr std::uint64_t kManyFolders = 1000;

std::unique_ptr<ResultStore> make_store(const std::vector<Scenario>& scenarios, const BatchArgs& a, Shard shard) {
    if (a.store == "netcdf") return std::make_unique<NetcdfStore>(a.output, scenarios, shard);
    std::uint64_t runs = 0;
    for (const Scenario& s : scenarios) runs += s.runs();
    if (runs > kManyFolders)
        std::fprintf(stderr, "veltrax batch: %llu runs make as many result folders; --store netcdf writes one file "
                             "per shard instead\n", static_cast<unsigned long long>(runs));
    return std::make_unique<RunFolderStore>(a.output, &stop_requested_hook);
}

int sweep(const std::vector<Scenario>& scenarios, const BatchArgs& a, SweepOptions& options) {
    const std::unique_ptr<ResultStore> made = make_store(scenarios, a, options.shard);
    ResultStore& store = *made;
    int status = 0;
    options.run.cancelled = &stop_requested_hook;
    SweepOutcome outcome;
    try {
        outcome = run_sweep(scenarios, store, options,
                            [&](const RunResult& run, const Error* e) { status = std::max(status, note_run(run, e)); });
    } catch (const Error& e) {  // before anything ran
        print_error(e.id() == "veltrax:badSnapshot" ? a.load_state : "veltrax batch", e.id(), e.what());
        nothing_run();
        return kExitFailed;
    }
    if (outcome.store_error) {
        print_error("veltrax batch", outcome.store_error->id(), outcome.store_error->what());
        status = kExitFailed;
    }
    if (stop_requested()) {
        for (const std::string& run : outcome.interrupted)
            print_error(run, "veltrax:interrupted", "stopped by " + stop_signal_name() + "; no results written");
        if (outcome.not_started > 0)
            print_error("veltrax batch", "veltrax:interrupted",
                        std::to_string(outcome.not_started) + " run(s) not started");
        return end_by_stop_signal();
    }
    const std::string slice = options.shard.n > 1 ? " of slice " + a.shard : "";
    const std::size_t ran = outcome.runs - outcome.resumed;
    std::printf("ran %zu run%s%s (%zu failed)", ran, ran == 1 ? "" : "s", slice.c_str(),
                ran - outcome.written + outcome.failed);
    if (outcome.resumed > 0) std::printf(", %zu stored before", outcome.resumed);
    std::printf(": results in %s\n", a.store == "netcdf" ? static_cast<NetcdfStore&>(store).path().c_str()
                                                           : a.output.c_str());
    return status;
}

}  // namespace

int batch_command(const BatchArgs& a) {
    SweepOptions options;
    try {
        options.shard = parse_shard(a.shard);
    } catch (const Error& e) {
        print_error("veltrax batch", e.id(), std::string("--shard: ") + e.what());
        return kExitUsage;
    }
    options.threads = a.threads;
    std::vector<std::pair<std::string, std::string>> files;  // name, path
    if (!order_files(a.scenarios, a.output, files)) return kExitUsage;
    std::optional<std::vector<Scenario>> scenarios = load_all(files);
    if (!scenarios) {
        nothing_run();
        return stop_requested() ? end_by_stop_signal() : kExitFailed;
    }
    if (!a.load_state.empty()) {
        try {
            options.initial_state = read_snapshot_file(a.load_state);
        } catch (const Error& e) {
            print_error(a.load_state, e.id(), e.what());
            nothing_run();
            return kExitFailed;
        }
    }
    return sweep(*scenarios, a, options);
}

}  // namespace veltrax::cli
