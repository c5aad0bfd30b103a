// SPDX-License-Identifier: LGPL-2.1-or-later
#include "cli/run_command.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <optional>

#include "api/veltrax.hpp"
#include "cli/command.hpp"
#include "cli/plot.hpp"
#include "cli/progress.hpp"
#include "experiments/files.hpp"
#include "experiments/run_folder.hpp"
#include "experiments/runner.hpp"
#include "experiments/scenario.hpp"

namespace veltrax::cli {

using namespace experiments;

namespace {

// "PATH: call 2", "PATH: individual 7: call 1".
std::string where(const RunResult& run, std::size_t call) {
    std::string w = run.path;
    if (run.individual) w += ": individual " + std::to_string(run.individual_index());
    if (call > 0) w += ": call " + std::to_string(call);
    return w;
}

// --individual K: a whole number from 1 (the tool reads it itself: one
// message, whatever the option parser's wording); 0 when not given.
std::optional<std::uint64_t> individual_of(const std::string& text) {
    if (text.empty()) return 0;
    std::uint64_t k = 0;
    const auto r = std::from_chars(text.data(), text.data() + text.size(), k);
    if (r.ec == std::errc() && r.ptr == text.data() + text.size() && k >= 1) return k;
    print_error("veltrax run", "veltrax:badArguments",
                "--individual: K must be a whole number from 1 to the population's size, got '" + text + "'");
    return std::nullopt;
}

// The run the arguments ask for, or the exit status of why not.
std::optional<PlannedRun> plan(const Scenario& s, std::uint64_t individual, int& status) {
    status = kExitUsage;
    if (s.population && individual == 0) {
        print_error(s.path, "veltrax:badArguments",
                    "the scenario declares a population of " + std::to_string(s.population->size) +
                        " individuals: run them all with 'veltrax batch', or one with 'veltrax run --individual K'");
        return std::nullopt;
    }
    if (s.design && individual == 0) {
        print_error(s.path, "veltrax:badArguments",
                    "the scenario declares a sensitivity design of " + std::to_string(s.design->runs()) +
                        " runs: run them all with 'veltrax batch', or one with 'veltrax run --individual K'");
        return std::nullopt;
    }
    if (individual != 0 && !s.population && !s.design) {
        print_error(s.path, "veltrax:badArguments", "--individual needs a scenario with a population or a design");
        return std::nullopt;
    }
    try {
        return plan_run(s, individual);
    } catch (const Error& e) {
        print_error(s.path, e.id(), e.what());
        return std::nullopt;
    }
}

// Sample periods of the calls that will run, for the progress bar.
long total_samples(const PlannedRun& plan) {
    long total = 0;
    for (const CallSetup& call : plan.calls) {
        if (call.rejected) break;
        total += call.settings.samples;
    }
    return plan.rejected ? 0 : total;
}

RunResult run_calls(Simulation& sim, const PlannedRun& plan, unsigned threads) {
    ProgressBar bar(total_samples(plan));
    long done = 0;
    return run_planned(sim, plan, [&](std::size_t call) {
        if (call > 0) done += plan.calls[call - 1].settings.samples;
        RunOptions options = bar.options(threads, done);
        options.cancelled = &stop_requested_hook;
        return options;
    });
}

// The result folder, with plots when asked; the exit status.
int write_results(const RunPlace& place, const RunResult& run, bool plot) {
    try {
        RunFolder folder(place);
        folder.write_calls(run);
        std::optional<Error> plot_error;
        if (plot && !run.calls.empty()) {
            try {
                plot_results(folder.folder(), place.shown, run);
            } catch (const Error& e) {
                plot_error = e;
            }
        }
        if (plot_error && stop_requested()) {  // gnuplot stopped by the same signal
            print_error(run.path, "veltrax:interrupted", "stopped by " + stop_signal_name() + "; no results written");
            return end_by_stop_signal();
        }
        folder.write_summary(run);
        folder.commit();
        if (plot_error) {
            print_error(run.path, plot_error->id(), plot_error->what());
            return kExitFailed;
        }
    } catch (const Error& e) {
        print_error(run.path, e.id(), e.what());
        return kExitFailed;
    }
    return 0;
}

// Whether `path` is where standard output goes (/dev/stdout, or the file or
// pipe it was sent to).
bool is_standard_output(const std::string& path) {
    struct stat out, file;
    return fstat(STDOUT_FILENO, &out) == 0 && stat(path.c_str(), &file) == 0 && out.st_dev == file.st_dev &&
           out.st_ino == file.st_ino;
}

// The final state, written only when every call ran; the exit status.
int save_state(const Simulation& sim, const RunResult& run, const std::string& file) {
    try {
        if (run.failure)
            throw Error("veltrax:stateNotSaved", run.failure->call == 0 ? "not written: the individual was not run"
                                                                        : "not written: call " +
                                                                              std::to_string(run.failure->call) +
                                                                              " failed");
        sim.save_state_file(file);
    } catch (const Error& e) {
        print_error(file, e.id(), e.what());
        return kExitFailed;
    }
    return 0;
}

}  // namespace

int run_command(const RunArgs& a) {
    const std::optional<std::uint64_t> individual = individual_of(a.individual);
    if (!individual) return kExitUsage;
    Scenario s;
    try {
        s = load_scenario(a.scenario);
    } catch (const Error& e) {
        print_error(a.scenario, e.id(), e.what());
        return kExitFailed;
    }
    int status = 0;
    const std::optional<PlannedRun> planned = plan(s, *individual, status);
    if (!planned) return status;
    RunPlace place;
    Simulation sim = simulation_for(*planned);
    try {
        place = check_run_place(a.output);
        remove_leftovers(place.parent, &stop_requested_hook, nullptr, place.name);
        if (!a.load_state.empty()) sim.load_state_file(a.load_state);
    } catch (const Error& e) {
        print_error(e.id() == "veltrax:writeFailed" ? s.path : a.load_state, e.id(), e.what());
        return kExitFailed;
    }
    if (s.seed != 0) sim.seed_noise(s.seed);

    const RunResult run = run_calls(sim, *planned, a.threads);
    if (run.failure && run.failure->id == "veltrax:interrupted") {
        print_error(where(run, run.failure->call), run.failure->id,
                    "stopped by " + stop_signal_name() + "; no results written");
        return end_by_stop_signal();
    }
    if (run.failure) print_error(where(run, run.failure->call), run.failure->id, run.failure->message);
    status = run.failure ? kExitFailed : 0;
    status = std::max(status, write_results(place, run, a.plot));
    if (stop_requested()) return end_by_stop_signal();
    // A snapshot sent to standard output stays whole: the closing line then
    // goes to stderr.
    std::FILE* closing = !a.save_state.empty() && is_standard_output(a.save_state) ? stderr : stdout;
    if (!a.save_state.empty()) status = std::max(status, save_state(sim, run, a.save_state));
    if (status == 0)
        std::fprintf(closing, "ran %s (%zu call%s): results in %s\n", where(run, 0).c_str(), run.calls.size(),
                     run.calls.size() == 1 ? "" : "s", a.output.c_str());
    return status;
}

}  // namespace veltrax::cli
