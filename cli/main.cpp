// veltrax: runs scenario files through the simulation outside a host.
//
//   veltrax run SCENARIO.json -o OUTDIR [--plot] [--threads N] [--load-state FILE] [--save-state FILE]
//   veltrax batch SCENARIO... -o OUTDIR [--threads N] [--shard K/N] [--load-state FILE]
//   veltrax report OUTDIR [--no-plots]
//
// Exit status: 0 success, 1 a scenario failed (bad file, rejected call,
// output not written), 2 bad command line.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <exception>
#include <map>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "api/veltrax.hpp"
#include "cli/plot.hpp"
#include "cli/progress.hpp"
#include "cli/report.hpp"
#include "cli/results.hpp"
#include "cli/scenario.hpp"

namespace {

using namespace veltrax;
using namespace veltrax::cli;
namespace fs = std::filesystem;

constexpr int kFailed = 1;
constexpr int kUsage = 2;

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
    std::string load_state;  // snapshot file to start from
    std::string save_state;  // snapshot file of the final state
};

int run_command(const RunArgs& a) {
    Scenario s;
    try {
        s = load_scenario(a.scenario);
    } catch (const Error& e) {
        report(a.scenario, e.id(), e.what());
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
    std::vector<std::vector<Matrix>> outputs;
    Failure failure;
    {
        ProgressBar bar(total_samples(s));
        long done = 0;
        for (std::size_t k = 0; k < s.calls.size() && failure.id.empty(); ++k) {
            try {
                outputs.push_back(sim.call(s.calls[k], 5, bar.options(a.threads, done)));
                done += static_cast<long>(outputs.back()[0].rows);
            } catch (const Error& e) {
                failure = {k + 1, e.id(), e.what()};
            } catch (const std::bad_alloc&) {
                failure = {k + 1, "veltrax:outOfMemory", "not enough memory"};
            }
        }
    }

    const bool failed = !failure.id.empty();
    int status = failed ? kFailed : 0;
    if (failed) report(s, failure);
    try {
        write_results(a.output, s, outputs, failed ? &failure : nullptr);
        if (a.plot && !outputs.empty()) plot_results(a.output, s, outputs);
    } catch (const Error& e) {
        report(s.path, e.id(), e.what());
        status = kFailed;
    }
    if (!a.save_state.empty()) {
        try {
            if (failed) throw Error("veltrax:stateNotSaved", "not written: call " + std::to_string(failure.call) + " failed");
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

    const auto [k, n] = a.shard;
    std::vector<Scenario> scenarios;
    bool unreadable = false;
    for (std::size_t i = 0; i < files.size(); ++i) {
        if (static_cast<long>(i % static_cast<std::size_t>(n)) != k - 1) continue;
        try {
            scenarios.push_back(load_scenario(files[i].second));
        } catch (const Error& e) {
            report(files[i].second, e.id(), e.what());
            unreadable = true;
        }
    }
    if (unreadable) {
        std::fprintf(stderr, "veltrax batch: nothing was run\n");
        return kFailed;
    }

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

    std::vector<BatchJob> jobs;
    for (const Scenario& s : scenarios) jobs.push_back({s.build, s.calls, initial_state});
    const std::vector<BatchResult> results = run_batch(jobs, a.threads);

    int status = 0;
    for (std::size_t j = 0; j < scenarios.size(); ++j) {
        const Scenario& s = scenarios[j];
        const BatchResult& r = results[j];
        const Failure failure{r.outputs.size() + 1, r.error_id, r.error_message};
        try {
            write_results(fs::path(a.output) / s.name, s, r.outputs, r.ok ? nullptr : &failure);
        } catch (const Error& e) {
            report(s.path, e.id(), e.what());
            status = kFailed;
        }
        if (!r.ok) {
            report(s, failure);
            status = kFailed;
        }
    }
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Closed-loop simulation of the adaptive predictive controller, run from scenario files.\n"
                 "A scenario file (JSON) holds the calls of one simulation; see docs/cli.md.",
                 "veltrax"};
    app.require_subcommand(1);
    app.set_version_flag("--version", VELTRAX_VERSION);
    app.footer("Exit status: 0 success, 1 a scenario failed, 2 bad command line.");

    RunArgs run_args;
    CLI::App* run = app.add_subcommand("run", "Run the calls of one scenario file in one simulation");
    run->add_option("scenario", run_args.scenario, "Scenario file (JSON)")->required();
    run->add_option("-o,--output", run_args.output, "Folder for the result files (created if missing)")->required();
    run->footer("Writes per call k: callk_time.csv, callk_trajectory.csv, callk_theta.csv, callk_search.csv,\n"
                "callk_sums.csv; and summary.json. --plot adds callk_trajectory.png, callk_theta.png, plots.gp.");
    run->add_flag("--plot", run_args.plot, "Also render PNG plots with gnuplot");
    run->add_option("--threads", run_args.threads, "Threads of the move search (0: VELTRAX_THREADS or all cores)")
        ->check(CLI::Range(0u, 1024u));
    run->add_option("--load-state", run_args.load_state, "Start from this snapshot file (of the scenario's build)")
        ->type_name("FILE");
    run->add_option("--save-state", run_args.save_state,
                    "Write the final state to this snapshot file (replaced whole, only when every call ran)")
        ->type_name("FILE");

    BatchArgs batch_args;
    CLI::App* batch = app.add_subcommand(
        "batch", "Run many scenario files in parallel, each in its own simulation and result folder");
    batch->add_option("scenarios", batch_args.scenarios, "Scenario files (JSON)")->required();
    batch->add_option("-o,--output", batch_args.output, "Folder that gets one result folder per scenario file")
        ->required();
    batch->footer("Each scenario file NAME.json gets the folder OUTDIR/NAME, laid out as by 'veltrax run'.");
    batch->add_option("--threads", batch_args.threads, "Scenarios run at once (0: VELTRAX_THREADS or all cores)")
        ->check(CLI::Range(0u, 1024u));
    batch->add_option("--shard", batch_args.shard,
                      "Run only slice K of N (1 <= K <= N): the files ordered by name, file i (from 0) "
                      "belongs to slice i mod N + 1")
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
