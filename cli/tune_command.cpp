// SPDX-License-Identifier: LGPL-2.1-or-later
#include "cli/tune_command.hpp"

#include <cmath>
#include <cstdio>

#include "api/veltrax.hpp"
#include "cli/command.hpp"
#include "experiments/format.hpp"
#include "experiments/scenario.hpp"
#include "experiments/tuning.hpp"

namespace veltrax::cli {

using namespace experiments;

namespace {

std::string settings_line(const TuneProblem& problem, const std::vector<double>& values) {
    std::string s;
    for (std::size_t i = 0; i < problem.settings.size() && i < values.size(); ++i)
        s += (i ? ", " : "") + problem.settings[i].input.name + " " + format_short(values[i]);
    return s;
}

std::string objective_words(const TuneProblem& problem) {
    return (problem.mean ? std::string("mean") : format_short(100.0 * problem.quantile) + " % quantile") + " of " +
           problem.metric;
}

void print_candidate(const TuneResult& r) {
    const Evaluation& e = r.history.back();
    std::printf("candidate %zu/%zu: %s: %s (best %s)%s\n", r.history.size(), r.problem.candidates,
                settings_line(r.problem, e.values).c_str(), format_short(e.objective).c_str(),
                format_short(r.history[r.best].objective).c_str(),
                e.failed ? (" [" + std::to_string(e.failed) + " without a value]").c_str() : "");
    std::fflush(stdout);
}

void print_result(const TuneResult& r, const TuneArgs& a) {
    const TuneProblem& problem = r.problem;
    std::printf("default settings: %s\n", settings_line(problem, r.default_validation.values).c_str());
    std::printf("chosen settings (candidate %zu): %s\n", r.best + 1,
                settings_line(problem, r.tuned_validation.values).c_str());
    std::printf("%s, training (%llu individuals): default %s, chosen %s\n", objective_words(problem).c_str(),
                static_cast<unsigned long long>(problem.training_size), format_short(r.default_training.objective).c_str(),
                format_short(r.history.empty() ? NAN : r.history[r.best].objective).c_str());
    std::printf("%s, validation (%llu individuals, seed %llu): default %s, chosen %s\n", objective_words(problem).c_str(),
                static_cast<unsigned long long>(problem.validation_size),
                static_cast<unsigned long long>(problem.validation_seed),
                format_short(r.default_validation.objective).c_str(),
                format_short(r.tuned_validation.objective).c_str());
    if (!a.output.empty())
        std::printf("wrote %s/tune.json and the validation runs %s/default, %s/tuned; 'veltrax report %s' shows them\n",
                    a.output.c_str(), a.output.c_str(), a.output.c_str(), a.output.c_str());
}

}  // namespace

int tune_command(const TuneArgs& a) {
    Scenario scenario;
    TuneProblem problem;
    try {
        scenario = load_scenario(a.scenario);
        problem = parse_tune(scenario);
    } catch (const Error& e) {
        print_error(a.scenario, e.id(), e.what());
        return kExitFailed;
    }
    std::string names;
    for (const TunedSetting& t : problem.settings) names += (names.empty() ? "" : ", ") + t.input.name;
    std::printf("tuning %s over %llu individuals: %s of %s, at most %zu candidates\n", names.c_str(),
                static_cast<unsigned long long>(problem.training_size), objective_words(problem).c_str(), a.scenario.c_str(),
                problem.candidates);
    TuneOptions options;
    options.threads = a.threads;
    options.outdir = a.output;
    options.run.cancelled = &stop_requested_hook;
    options.progress = &print_candidate;
    TuneResult result;
    try {
        result = tune(scenario, options);
    } catch (const Error& e) {
        print_error(a.output.empty() ? a.scenario : a.output, e.id(), e.what());
        return kExitFailed;
    }
    if (result.stopped) {
        print_error(a.scenario, "veltrax:interrupted", "stopped by " + stop_signal_name() + "; no tune.json written");
        return end_by_stop_signal();
    }
    print_result(result, a);
    return 0;
}

}  // namespace veltrax::cli
