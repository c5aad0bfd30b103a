// SPDX-License-Identifier: LGPL-2.1-or-later
// veltrax: runs scenario files through the simulation outside a host.
//
//   veltrax run SCENARIO.json -o OUTDIR [--plot] [--threads N] [--load-state FILE] [--save-state FILE]
//               [--individual K]
//   veltrax batch SCENARIO... -o OUTDIR [--threads N] [--shard K/N] [--load-state FILE]
//   veltrax report OUTDIR [--no-plots]
//
// Exit status: 0 success, 1 a scenario failed (bad file, rejected call,
// output not written), 2 bad command line. SIGINT and SIGTERM stop the
// calls that run; the tool keeps the results of the scenarios that finished
// and then ends by that signal (status 130 or 143 in a shell).
#include <CLI/CLI.hpp>
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdint>
#include <exception>
#include <map>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "api/veltrax.hpp"
#include "cli/plot.hpp"
#include "cli/progress.hpp"
#include "cli/report.hpp"
#include "cli/results.hpp"
#include "cli/scenario.hpp"
#include "experiments/expand.hpp"
#include "experiments/sweep.hpp"

namespace {

using namespace veltrax;
using namespace veltrax::cli;
namespace fs = std::filesystem;

constexpr int kFailed = 1;
constexpr int kUsage = 2;

// The signal that asked the tool to stop, or 0.
volatile std::sig_atomic_t g_stop_signal = 0;

extern "C" void on_stop_signal(int signal) { g_stop_signal = signal; }

bool stop_requested(void*) { return g_stop_signal != 0; }

// SIGINT and SIGTERM stop the running calls; a signal that the tool was
// started to ignore (a background job of a script) stays ignored.
void catch_stop_signals() {
    for (int signal : {SIGINT, SIGTERM}) {
        struct sigaction current {};
        if (sigaction(signal, nullptr, &current) != 0 || current.sa_handler == SIG_IGN) continue;
        struct sigaction action {};
        action.sa_handler = on_stop_signal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        sigaction(signal, &action, nullptr);
    }
}

std::string stop_signal_name() { return g_stop_signal == SIGTERM ? "SIGTERM" : "SIGINT"; }

// Ends the tool by the signal that stopped it, once everything is cleaned up.
int end_by_stop_signal() {
    const int signal = g_stop_signal;
    std::fflush(nullptr);
    std::signal(signal, SIG_DFL);
    std::raise(signal);
    return 128 + signal;
}

void report(const std::string& where, const std::string& id, const std::string& message) {
    std::fprintf(stderr, "%s: %s: %s\n", where.c_str(), id.c_str(), message.c_str());
}

void report(const Scenario& s, const Failure& f) {
    report(s.path + ": call " + std::to_string(f.call), f.id, f.message);
}

// Sample periods of all calls, for the progress bar; calls the simulation
// will reject count as none.
long total_samples(const Scenario& s) {
    long total = 0;
    for (const std::vector<Matrix>& call : s.calls) {
        try {
            total += check_call(call).sample_count;
        } catch (const Error&) {
        }
    }
    return total;
}

struct RunArgs {
    std::string scenario;
    std::string output;
    bool plot = false;
    unsigned threads = 0;
    std::string load_state;        // snapshot file to start from
    std::string save_state;        // snapshot file of the final state
    std::uint64_t individual = 0;  // of the scenario's population; 0: none
};

// Individual k of a population scenario as a run: the scenario with the
// individual's values in its calls, and its "individual" summary field.
struct IndividualRun {
    Scenario scenario;
    nlohmann::ordered_json summary;
    std::optional<Failure> invalid;  // not run: why
};

IndividualRun individual_run(const Scenario& s, std::uint64_t k) {
    experiments::PopulationRun r = experiments::expand_individual(s.calls, *s.population, k);
    IndividualRun run;
    run.scenario = s;
    run.scenario.calls = std::move(r.calls);
    if (!r.valid) {
        run.invalid = Failure{r.error_call, r.error_id, r.error_message};
        if (r.individual.valid) {  // drawn, but the simulation's checks reject it
            r.individual.valid = false;
            r.individual.reason = r.error_message;
        }
    }
    run.summary = experiments::individual_summary(*s.population, r.individual);
    return run;
}

void report_individual(const Scenario& s, std::uint64_t k, const Failure& f) {
    std::string where = s.path + ": individual " + std::to_string(k);
    if (f.call > 0) where += ": call " + std::to_string(f.call);
    report(where, f.id, f.message);
}

int run_command(const RunArgs& a) {
    Scenario s;
    ResultPlace place;
    try {
        s = load_scenario(a.scenario);
    } catch (const Error& e) {
        report(a.scenario, e.id(), e.what());
        return kFailed;
    }
    std::optional<IndividualRun> individual;
    if (s.population && a.individual == 0) {
        report(s.path, "veltrax:badArguments",
               "the scenario declares a population of " + std::to_string(s.population->size) +
                   " individuals: run them all with 'veltrax batch', or one with 'veltrax run --individual K'");
        return kUsage;
    }
    if (a.individual != 0) {
        if (!s.population) {
            report(s.path, "veltrax:badArguments", "--individual needs a scenario with a population");
            return kUsage;
        }
        if (a.individual > s.population->size) {
            report(s.path, "veltrax:badArguments",
                   "individual " + std::to_string(a.individual) + " is outside the population 1 .. " +
                       std::to_string(s.population->size));
            return kUsage;
        }
        individual = individual_run(s, a.individual);
    }
    const Scenario& run = individual ? individual->scenario : s;
    try {
        place = check_result_place(a.output);
    } catch (const Error& e) {
        report(s.path, e.id(), e.what());
        return kFailed;
    }

    Simulation sim(s.build);
    if (!a.load_state.empty()) {
        try {
            sim.load_state_file(a.load_state);
        } catch (const Error& e) {
            report(a.load_state, e.id(), e.what());
            return kFailed;
        }
    }
    if (s.seed != 0) sim.seed_noise(s.seed);
    std::vector<std::vector<Matrix>> outputs;
    Failure failure;
    if (individual && individual->invalid) {
        failure = *individual->invalid;
    } else {
        ProgressBar bar(total_samples(run));
        long done = 0;
        for (std::size_t k = 0; k < run.calls.size() && failure.id.empty(); ++k) {
            RunOptions options = bar.options(a.threads, done);
            options.cancelled = &stop_requested;
            if (run.schedules[k]) options.schedule = &*run.schedules[k];
            try {
                outputs.push_back(sim.call(run.calls[k], 5, options));
                done += static_cast<long>(outputs.back()[0].rows);
            } catch (const Error& e) {
                failure = {k + 1, e.id(), e.what()};
            } catch (const std::bad_alloc&) {
                failure = {k + 1, "veltrax:outOfMemory", "not enough memory"};
            }
        }
    }
    if (failure.id == "veltrax:interrupted") {
        report(s.path + ": call " + std::to_string(failure.call), failure.id,
               "stopped by " + stop_signal_name() + "; no results written");
        return end_by_stop_signal();
    }

    const bool failed = !failure.id.empty();
    int status = failed ? kFailed : 0;
    if (failed) {
        if (individual)
            report_individual(s, a.individual, failure);
        else
            report(s, failure);
    }
    try {
        ResultWriter writer(place);
        writer.write_outputs(run, outputs);
        std::optional<Error> plot_error;
        if (a.plot && !outputs.empty()) {
            try {
                plot_results(writer.folder(), place.shown, run, outputs);
            } catch (const Error& e) {
                plot_error = e;
            }
        }
        if (plot_error && g_stop_signal) {  // gnuplot stopped by the same signal
            report(s.path, "veltrax:interrupted", "stopped by " + stop_signal_name() + "; no results written");
            return end_by_stop_signal();
        }
        writer.write_summary(run, outputs, failed ? &failure : nullptr, individual ? &individual->summary : nullptr);
        writer.write_metrics(s.name, a.individual);
        writer.commit();
        if (plot_error) {
            report(s.path, plot_error->id(), plot_error->what());
            status = kFailed;
        }
    } catch (const Error& e) {
        report(s.path, e.id(), e.what());
        status = kFailed;
    }
    if (g_stop_signal) return end_by_stop_signal();
    if (!a.save_state.empty()) {
        try {
            if (failed)
                throw Error("veltrax:stateNotSaved", failure.call == 0 ? "not written: the individual was not run"
                                                                       : "not written: call " +
                                                                             std::to_string(failure.call) + " failed");
            sim.save_state_file(a.save_state);
        } catch (const Error& e) {
            report(a.save_state, e.id(), e.what());
            status = kFailed;
        }
    }
    return status;
}

struct BatchArgs {
    std::vector<std::string> scenarios;
    std::string output;
    unsigned threads = 0;
    std::pair<long, long> shard{1, 1};
    std::string load_state;  // snapshot file every scenario starts from
};

// One run of a sweep: scenario `scenario` itself (individual 0) or
// individual k of its population.
struct RunRef {
    std::size_t scenario;
    std::uint64_t individual;
};

std::uint64_t runs_of(const Scenario& s) { return s.population ? s.population->size : 1; }

// The runs of slice K of N. The sweep's runs are numbered from 0 in a fixed
// order, the scenarios by name and each population's individuals 1 .. size
// within its scenario; run i belongs to slice i mod N + 1.
std::vector<RunRef> slice_runs(const std::vector<Scenario>& scenarios, long k, long n) {
    std::vector<RunRef> slice;
    const std::uint64_t shards = static_cast<std::uint64_t>(n), mine = static_cast<std::uint64_t>(k - 1);
    std::uint64_t first = 0;  // number of the scenario's first run
    for (std::size_t j = 0; j < scenarios.size(); ++j) {
        const std::uint64_t count = runs_of(scenarios[j]);
        for (std::uint64_t r = (mine + shards - first % shards) % shards; r < count; r += shards)
            slice.push_back({j, scenarios[j].population ? r + 1 : 0});
        first += count;
    }
    return slice;
}

fs::path run_place(const std::string& output, const Scenario& s, std::uint64_t individual) {
    return fs::path(output) / experiments::run_folder(s.name, individual);
}

// Runs of a slice at once: what their inputs and results take in memory.
constexpr std::size_t kRunsPerRound = 1024;

int batch_command(const BatchArgs& a) {
    // Order by result folder name, so that every shard of a sweep sees the
    // same order however the files were listed.
    std::vector<std::pair<std::string, std::string>> files;  // name, path
    for (const std::string& path : a.scenarios) files.emplace_back(fs::path(path).stem().string(), path);
    std::sort(files.begin(), files.end());
    for (const auto& [name, path] : files) {
        if (name.empty() || name == "." || name == "..") {
            report("veltrax batch", "veltrax:badArguments", "'" + path + "' gives no usable result folder name");
            return kUsage;
        }
    }
    for (std::size_t i = 1; i < files.size(); ++i) {
        if (files[i].first == files[i - 1].first) {
            report("veltrax batch", "veltrax:badArguments",
                   "'" + files[i - 1].second + "' and '" + files[i].second + "' would share the result folder '" +
                       files[i].first + "'; give scenario files distinct names");
            return kUsage;
        }
    }

    // Every shard reads every file: the runs of the whole sweep decide the slices.
    std::vector<Scenario> scenarios;
    bool unreadable = false;
    for (const auto& file : files) {
        try {
            scenarios.push_back(load_scenario(file.second));
        } catch (const Error& e) {
            report(file.second, e.id(), e.what());
            unreadable = true;
        }
    }
    if (unreadable) {
        std::fprintf(stderr, "veltrax batch: nothing was run\n");
        return kFailed;
    }
    const auto [k, n] = a.shard;
    const std::vector<RunRef> slice = slice_runs(scenarios, k, n);

    // Every scenario branches from the same state, which must be of its build.
    std::vector<std::uint8_t> initial_state;
    if (!a.load_state.empty()) {
        try {
            initial_state = read_snapshot_file(a.load_state);
            const Build build = check_snapshot(initial_state).build;
            for (const Scenario& s : scenarios)
                if (s.build != build)
                    throw Error("veltrax:badSnapshot", "snapshot belongs to veltrax" + std::to_string(static_cast<int>(build)) +
                                                           ", scenario '" + s.path + "' runs veltrax" +
                                                           std::to_string(static_cast<int>(s.build)));
        } catch (const Error& e) {
            report(a.load_state, e.id(), e.what());
            std::fprintf(stderr, "veltrax batch: nothing was run\n");
            return kFailed;
        }
    }

    // The output folder, the manifest and every result folder of the slice
    // are checked before anything runs.
    try {
        check_writable(a.output);
        experiments::SweepManifest manifest;
        for (const Scenario& s : scenarios) manifest.scenarios.push_back({s.name, s.population ? s.population->size : 0});
        experiments::write_manifest(a.output, manifest);
    } catch (const Error& e) {
        report("veltrax batch", e.id(), e.what());
        std::fprintf(stderr, "veltrax batch: nothing was run\n");
        return kFailed;
    }
    bool unwritable = false;
    for (const RunRef& r : slice) {
        const Scenario& s = scenarios[r.scenario];
        try {
            check_result_place(run_place(a.output, s, r.individual));
        } catch (const Error& e) {
            report(s.path, e.id(), e.what());
            unwritable = true;
        }
    }
    if (unwritable) {
        std::fprintf(stderr, "veltrax batch: nothing was run\n");
        return kFailed;
    }

    std::mutex mutex;
    int status = 0;
    std::size_t ended = 0;
    std::vector<std::string> interrupted;  // runs stopped by the signal

    // Writes one run's result folder; returns the error of writing, if any.
    auto write_run = [&](const Scenario& s, std::uint64_t individual, const nlohmann::ordered_json* individual_summary,
                         const std::vector<std::vector<Matrix>>& outputs, const Failure* failure) {
        std::optional<Error> write_error;
        try {
            ResultWriter writer(check_result_place(run_place(a.output, s, individual)));
            writer.write_outputs(s, outputs);
            writer.write_summary(s, outputs, failure, individual_summary);
            writer.write_metrics(s.name, individual);
            writer.commit();
        } catch (const Error& e) {
            write_error = e;
        }
        return write_error;
    };
    auto note_failure = [&](const Scenario& s, std::uint64_t individual, const std::optional<Error>& write_error,
                            const Failure* failure) {
        if (write_error) {
            report(s.path, write_error->id(), write_error->what());
            status = kFailed;
        }
        if (failure) {
            if (individual)
                report_individual(s, individual, *failure);
            else
                report(s, *failure);
            status = kFailed;
        }
    };

    // The slice runs in rounds; each run is written as soon as it finishes,
    // on the thread that ran it, and its outputs are freed.
    RunOptions options;
    options.cancelled = &stop_requested;
    for (std::size_t begin = 0; begin < slice.size() && !g_stop_signal; begin += kRunsPerRound) {
        const std::size_t end = std::min(slice.size(), begin + kRunsPerRound);
        struct Pending {
            const Scenario* scenario;
            std::uint64_t individual;
            std::optional<IndividualRun> run;
        };
        std::vector<Pending> pending;
        std::vector<BatchJob> jobs;
        for (std::size_t i = begin; i < end; ++i) {
            const Scenario& s = scenarios[slice[i].scenario];
            Pending p{&s, slice[i].individual, std::nullopt};
            if (p.individual) {
                p.run = individual_run(s, p.individual);
                if (p.run->invalid) {  // reported as a failed run, never drawn again
                    const std::optional<Error> write_error = write_run(p.run->scenario, p.individual, &p.run->summary,
                                                                       {}, &*p.run->invalid);
                    ++ended;
                    note_failure(s, p.individual, write_error, &*p.run->invalid);
                    continue;
                }
            }
            const Scenario& run = p.run ? p.run->scenario : s;
            BatchJob job;
            job.build = run.build;
            job.calls = run.calls;
            job.initial_state = initial_state;
            job.seed = run.seed;
            for (const std::optional<SetpointSchedule>& schedule : s.schedules)
                job.schedules.push_back(schedule ? &*schedule : nullptr);
            jobs.push_back(std::move(job));
            pending.push_back(std::move(p));
        }
        run_batch(jobs, a.threads, options, [&](std::size_t j, BatchResult&& r) {
            const Pending& p = pending[j];
            const Scenario& run = p.run ? p.run->scenario : *p.scenario;
            if (!r.ok && r.error_id == "veltrax:interrupted") {
                const std::lock_guard<std::mutex> lock(mutex);
                ++ended;
                interrupted.push_back(p.individual ? p.scenario->path + ": individual " + std::to_string(p.individual)
                                                   : p.scenario->path);
                return;
            }
            const Failure failure{r.outputs.size() + 1, r.error_id, r.error_message};
            const std::optional<Error> write_error =
                write_run(run, p.individual, p.run ? &p.run->summary : nullptr, r.outputs, r.ok ? nullptr : &failure);
            const std::lock_guard<std::mutex> lock(mutex);
            ++ended;
            note_failure(*p.scenario, p.individual, write_error, r.ok ? nullptr : &failure);
        });
    }

    if (g_stop_signal) {
        for (const std::string& where : interrupted)
            report(where, "veltrax:interrupted", "stopped by " + stop_signal_name() + "; no results written");
        if (ended < slice.size())
            report("veltrax batch", "veltrax:interrupted", std::to_string(slice.size() - ended) + " run(s) not started");
        return end_by_stop_signal();
    }
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Closed-loop simulation of the adaptive predictive controller, run from scenario files.\n"
                 "A scenario file (JSON) holds the calls of one simulation; see docs/cli.md.",
                 "veltrax"};
    app.require_subcommand(1);
    app.set_version_flag("--version", [] { return std::string("veltrax ") + VELTRAX_VERSION + "\n" + build_info(); });
    app.footer("Exit status: 0 success, 1 a scenario failed, 2 bad command line; SIGINT or SIGTERM keep the\n"
               "results of the scenarios that finished and end the tool by that signal (130, 143).");

    RunArgs run_args;
    CLI::App* run = app.add_subcommand("run", "Run the calls of one scenario file in one simulation");
    run->add_option("scenario", run_args.scenario, "Scenario file (JSON)")->required();
    run->add_option("-o,--output", run_args.output,
                    "Folder for the result files: a new folder or an earlier result folder, which is replaced")
        ->required();
    run->footer("Writes per call k: callk_time.csv, callk_trajectory.csv, callk_theta.csv, callk_search.csv,\n"
                "callk_sums.csv; and summary.json and metrics.csv. --plot adds callk_trajectory.png, callk_theta.png,\n"
                "plots.gp. A scenario with a population runs with 'veltrax batch', or one individual with --individual.");
    run->add_flag("--plot", run_args.plot, "Also render PNG plots with gnuplot");
    run->add_option("--threads", run_args.threads,
                    "Threads of the move search (0: VELTRAX_THREADS or the CPUs this process may use)")
        ->check(CLI::Range(0u, 1024u));
    run->add_option("--load-state", run_args.load_state, "Start from this snapshot file (of the scenario's build)")
        ->type_name("FILE");
    run->add_option("--save-state", run_args.save_state,
                    "Write the final state to this snapshot file (replaced whole, only when every call ran)")
        ->type_name("FILE");
    run->add_option("--individual", run_args.individual,
                    "Run individual K (1 .. size) of the scenario's population, as 'veltrax batch' runs it")
        ->type_name("K")
        ->check(CLI::PositiveNumber);

    BatchArgs batch_args;
    CLI::App* batch = app.add_subcommand(
        "batch", "Run many scenario files in parallel, each in its own simulation and result folder");
    batch->add_option("scenarios", batch_args.scenarios, "Scenario files (JSON)")->required();
    batch->add_option("-o,--output", batch_args.output, "Folder that gets one result folder per scenario file")
        ->required();
    batch->footer("Each scenario file NAME.json gets the folder OUTDIR/NAME, laid out as by 'veltrax run';\n"
                  "individual K of a population OUTDIR/NAME/individual_K (six digits). OUTDIR/sweep.json lists them.");
    batch->add_option("--threads", batch_args.threads,
                      "Runs at once (0: VELTRAX_THREADS or the CPUs this process may use)")
        ->check(CLI::Range(0u, 1024u));
    batch->add_option("--shard", batch_args.shard,
                      "Run only slice K of N (1 <= K <= N): the runs in order (files by name, the "
                      "individuals of a population in turn), run i (from 0) belongs to slice i mod N + 1")
        ->delimiter('/')
        ->type_name("K/N");
    batch->add_option("--load-state", batch_args.load_state,
                      "Start every scenario from this snapshot file (all of its build): branches of one state")
        ->type_name("FILE");
    batch->callback([&] {
        const auto [k, n] = batch_args.shard;
        if (n < 1 || k < 1 || k > n)
            throw CLI::ValidationError("--shard", "K/N needs 1 <= K <= N, got " + std::to_string(k) + "/" +
                                                      std::to_string(n));
    });

    ReportArgs report_args;
    CLI::App* report_cmd = add_report_command(app, report_args);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? 0 : kUsage;
    }

    catch_stop_signals();
    try {
        if (*run) return run_command(run_args);
        if (*report_cmd) return report_command(report_args);
        return batch_command(batch_args);
    } catch (const Error& e) {
        report("veltrax", e.id(), e.what());
    } catch (const std::bad_alloc&) {
        report("veltrax", "veltrax:outOfMemory", "not enough memory");
    } catch (const std::exception& e) {
        report("veltrax", "veltrax:internal", e.what());
    }
    return kFailed;
}
