// SPDX-License-Identifier: LGPL-2.1-or-later
// veltrax: runs scenario files through the simulation outside a host.
//
//   veltrax run SCENARIO.json -o OUTDIR [--plot] [--threads N] [--load-state FILE] [--save-state FILE]
//               [--individual K]
//   veltrax batch SCENARIO... -o OUTDIR [--threads N] [--shard K/N] [--load-state FILE] [--store folders|netcdf]
//   veltrax report OUTDIR [--no-plots]
//   veltrax tune SCENARIO.json [-o OUTDIR] [--threads N]
//
// Exit status: 0 success, 1 a scenario failed (bad file, rejected call,
// output not written), 2 bad command line. SIGINT and SIGTERM stop the
// calls that run; the tool keeps the results of the scenarios that finished
// and then ends by that signal (status 130 or 143 in a shell).
#include <CLI/CLI.hpp>
#include <exception>
#include <new>
#include <string>

#include "api/veltrax.hpp"
#include "cli/batch_command.hpp"
#include "cli/command.hpp"
#include "cli/report_command.hpp"
#include "cli/run_command.hpp"
#include "cli/tune_command.hpp"

namespace {

using namespace veltrax::cli;

CLI::App* add_run(CLI::App& app, RunArgs& a) {
    CLI::App* run = app.add_subcommand("run", "Run the calls of one scenario file in one simulation");
    run->add_option("scenario", a.scenario, "Scenario file (JSON)")->required();
    run->add_option("-o,--output", a.output,
                    "Folder for the result files: a new folder or an earlier result folder, which is replaced")
        ->required();
    run->footer("Writes per call k: callk_time.csv, callk_trajectory.csv, callk_theta.csv, callk_search.csv,\n"
                "callk_sums.csv; and summary.json and metrics.csv. --plot adds callk_trajectory.png, callk_theta.png,\n"
                "plots.gp. A scenario with a population runs with 'veltrax batch', or one individual with --individual.");
    run->add_flag("--plot", a.plot, "Also render PNG plots with gnuplot");
    run->add_option("--threads", a.threads,
                    "Threads of the move search (0: VELTRAX_THREADS or the CPUs this process may use)")
        ->check(CLI::Range(0u, 1024u));
    run->add_option("--load-state", a.load_state, "Start from this snapshot file (of the scenario's build)")
        ->type_name("FILE");
    run->add_option("--save-state", a.save_state,
                    "Write the final state to this snapshot file (replaced whole, only when every call ran)")
        ->type_name("FILE");
    run->add_option("--individual", a.individual,
                    "Run individual K (1 .. size) of the scenario's population, as 'veltrax batch' runs it")
        ->type_name("K");
    return run;
}

CLI::App* add_batch(CLI::App& app, BatchArgs& a) {
    CLI::App* batch = app.add_subcommand(
        "batch", "Run many scenario files in parallel, each in its own simulation and result folder");
    batch->add_option("scenarios", a.scenarios, "Scenario files (JSON)")->required();
    batch->add_option("-o,--output", a.output, "Folder that gets one result folder per scenario file")->required();
    batch->footer("Each scenario file NAME.json gets the folder OUTDIR/NAME, laid out as by 'veltrax run';\n"
                  "individual K of a population OUTDIR/NAME/individual_K (six digits). OUTDIR/sweep.json lists them.\n"
                  "With --store netcdf every run goes into one NetCDF file per shard instead, OUTDIR/sweep.nc or\n"
                  "OUTDIR/sweep.K-of-N.nc; the same command run again after a stop runs only what is missing.");
    batch->add_option("--threads", a.threads, "Runs at once (0: VELTRAX_THREADS or the CPUs this process may use)")
        ->check(CLI::Range(0u, 1024u));
    batch->add_option("--shard", a.shard,
                      "Run only slice K of N (1 <= K <= N): the runs in order (files by name, the "
                      "individuals of a population in turn), run i (from 0) belongs to slice i mod N + 1")
        ->type_name("K/N");
    batch->add_option("--load-state", a.load_state,
                      "Start every scenario from this snapshot file (all of its build): branches of one state")
        ->type_name("FILE");
    batch->add_option("--store", a.store,
                      "Where the runs go: 'folders' (default; a result folder per run) or 'netcdf' (one file per "
                      "shard: for sweeps of thousands of runs)")
        ->check(CLI::IsMember({"folders", "netcdf"}));
    return batch;
}

CLI::App* add_report(CLI::App& app, ReportArgs& a) {
    CLI::App* report = app.add_subcommand(
        "report", "Merge the results of a sweep (every shard's) into sweep.csv and report.html with plots");
    report->add_option("outdir", a.outdir, "Output folder of the sweep")->required();
    report->add_flag("--no-plots", a.no_plots, "Write sweep.csv and report.html without running gnuplot");
    report->footer("Writes OUTDIR/sweep.csv (one row per run and call), OUTDIR/report.html and the report_*.png\n"
                   "plots; lists the runs that OUTDIR/sweep.json expects but that are missing. See docs/experiments.md.");
    return report;
}

CLI::App* add_tune(CLI::App& app, TuneArgs& a) {
    CLI::App* tune = app.add_subcommand(
        "tune", "Choose the settings of a scenario's \"tune\" block over its population, and validate them");
    tune->add_option("scenario", a.scenario, "Scenario file (JSON) with a population and a \"tune\" block")->required();
    tune->add_option("-o,--output", a.output,
                     "Folder for tune.json and the validation runs ('default' and 'tuned'); without it nothing is "
                     "written");
    tune->add_option("--threads", a.threads, "Runs at once (0: VELTRAX_THREADS or the CPUs this process may use)")
        ->check(CLI::Range(0u, 1024u));
    tune->footer("Every candidate runs the same individuals with the same noise. 'veltrax report OUTDIR' shows the\n"
                 "history and the validation population's bands. See docs/sensitivity.md.");
    return tune;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Closed-loop simulation of the adaptive predictive controller, run from scenario files.\n"
                 "A scenario file (JSON) holds the calls of one simulation; see docs/cli.md.",
                 "veltrax"};
    app.require_subcommand(1);
    app.set_version_flag("--version",
                         [] { return std::string("veltrax ") + VELTRAX_VERSION + "\n" + veltrax::build_info(); });
    app.footer("Exit status: 0 success, 1 a scenario failed, 2 bad command line; SIGINT or SIGTERM keep the\n"
               "results of the scenarios that finished and end the tool by that signal (130, 143).");
    RunArgs run_args;
    BatchArgs batch_args;
    ReportArgs report_args;
    TuneArgs tune_args;
    CLI::App* run = add_run(app, run_args);
    add_batch(app, batch_args);
    CLI::App* report = add_report(app, report_args);
    CLI::App* tune = add_tune(app, tune_args);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? 0 : kExitUsage;
    }

    catch_stop_signals();
    try {
        if (*run) return run_command(run_args);
        if (*report) return report_command(report_args);
        if (*tune) return tune_command(tune_args);
        return batch_command(batch_args);
    } catch (const veltrax::Error& e) {
        print_error("veltrax", e.id(), e.what());
    } catch (const std::bad_alloc&) {
        print_error("veltrax", "veltrax:outOfMemory", "not enough memory");
    } catch (const std::exception& e) {
        print_error("veltrax", "veltrax:internal", e.what());
    }
    return kExitFailed;
}
