// SPDX-License-Identifier: LGPL-2.1-or-later
#include "experiments/tuning.hpp"

#include <nlopt.h>

#include <algorithm>
#include <cmath>
#include <exception>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <type_traits>

#include "experiments/files.hpp"
#include "experiments/run_folder.hpp"
#include "experiments/runner.hpp"
#include "experiments/store.hpp"
#include "experiments/sweep_table.hpp"

namespace veltrax::experiments {

namespace fs = std::filesystem;
using json = nlohmann::json;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
const char* const kDefault = "default";
const char* const kTuned = "tuned";

// The cancellation hook stopped the tuning.
struct Stopped {};

// What the runs of one or more settings give: the metric of each
// individual and, where asked, the trajectories for the bands. Forwards
// every run to another store when given one (the validation's run folders).
class EvaluationStore : public ResultStore {
public:
    EvaluationStore(const TuneProblem& problem, ResultStore* forward, bool trajectories)
        : spec_(problem), forward_(forward), trajectories_(trajectories) {}

    void begin(const SweepManifest& sweep, const std::vector<RunRef>& runs) override {
        for (const SweepEntry& e : sweep.scenarios) data_[e.name].metric.assign(e.individuals, kNaN);
        if (forward_) forward_->begin(sweep, runs);
    }
    void write(const RunResult& run) override {
        double v = kNaN;
        const CallResult* call = run.ok() && run.calls.size() >= spec_.call ? &run.calls[spec_.call - 1] : nullptr;
        if (call) v = metric_value(*call, spec_.metric);
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            Data& d = data_[run.scenario];
            const std::uint64_t k = run.individual_index();
            if (k >= 1 && k <= d.metric.size()) d.metric[k - 1] = v;
            if (call && trajectories_) d.calls.emplace(k, call->outputs);
        }
        if (forward_) forward_->write(run);
    }
    void finish() override {
        if (forward_) forward_->finish();
    }

    const std::vector<double>& metric(const std::string& scenario) { return data_[scenario].metric; }
    Bands bands(const std::string& scenario) const;

private:
    struct Data {
        std::vector<double> metric;
        std::map<std::uint64_t, std::vector<Matrix>> calls;  // by individual: the tuned call's outputs
    };
    const TuneProblem& spec_;
    ResultStore* forward_;
    bool trajectories_;
    std::mutex mutex_;
    std::map<std::string, Data> data_;
};

double sorted_quantile(std::vector<double>& v, double p) {
    std::sort(v.begin(), v.end());
    return tune_objective(v, false, p);
}

Bands EvaluationStore::bands(const std::string& scenario) const {
    Bands b;
    const auto found = data_.find(scenario);
    if (found == data_.end() || found->second.calls.empty()) return b;
    const auto& calls = found->second.calls;
    const std::vector<Matrix>& first = calls.begin()->second;
    const std::size_t n = first[1].rows;
    for (std::size_t i = 0; i < n; ++i) {
        b.t.push_back(first[0](i, 0));
        b.setpoint.push_back(first[1](i, 0));
    }
    std::vector<double> y, u;
    for (std::size_t i = 0; i < n; ++i) {
        y.clear();
        u.clear();
        for (const auto& [k, out] : calls) {
            if (out[1].rows != n) continue;
            if (std::isfinite(out[1](i, 2))) y.push_back(out[1](i, 2));
            if (std::isfinite(out[1](i, 1))) u.push_back(out[1](i, 1));
        }
        for (int q = 0; q < 3; ++q) {
            const double p = q == 0 ? 0.05 : q == 1 ? 0.5 : 0.95;
            b.y[q].push_back(y.empty() ? kNaN : sorted_quantile(y, p));
            b.u[q].push_back(u.empty() ? kNaN : sorted_quantile(u, p));
        }
    }
    for (const auto& [k, out] : calls) b.runs += out[1].rows == n ? 1 : 0;
    return b;
}

void finish_evaluation(Evaluation& e, const TuneProblem& problem) {
    e.failed = 0;
    for (double& v : e.metric) {
        if (std::isfinite(v)) continue;
        v = kNaN;
        ++e.failed;
    }
    e.objective = tune_objective(e.metric, problem.mean, problem.quantile);
}

class Tuner {
public:
    Tuner(const Scenario& s, const TuneOptions& o) : scenario_(s), options_(o) {
        result_.problem = parse_tune(s);
    }
    TuneResult run();

private:
    struct Combination;
    static double nlopt_objective(unsigned n, const double* u, double* grad, void* data);

    Scenario with_values(const std::vector<double>& values, const char* name, bool validation) const;
    void run_sweep_of(const std::vector<Scenario>& scenarios, ResultStore& store) const;
    Evaluation evaluate(const std::vector<double>& values);
    void candidate(const std::vector<double>& values);
    void optimise(const std::vector<double>& fixed);
    void validate();
    double stand_in() const;

    const Scenario& scenario_;
    const TuneOptions& options_;
    TuneResult result_;
    // Settings already run: the runs are deterministic, so they are not run again.
    std::map<std::vector<double>, Evaluation> evaluated_;
};

Scenario Tuner::with_values(const std::vector<double>& values, const char* name, bool validation) const {
    json top = *scenario_.source;
    const TuneProblem& problem = result_.problem;
    for (std::size_t i = 0; i < problem.settings.size(); ++i)
        set_field(top, problem.settings[i].input.path, values[i], whole_number_field(problem.settings[i].input.path));
    if (validation) {
        top["population"]["size"] = problem.validation_size;
        top["population"]["seed"] = problem.validation_seed;
    }
    top.erase("tune");
    Scenario s = parse_scenario_json(top, scenario_.path);
    s.name = name;
    s.text = top.dump();  // a store tells candidates with other values apart by it
    return s;
}

void Tuner::run_sweep_of(const std::vector<Scenario>& scenarios, ResultStore& store) const {
    SweepOptions o;
    o.threads = options_.threads;
    o.run = options_.run;
    run_sweep(scenarios, store, o);
    if (options_.run.cancelled && options_.run.cancelled(options_.run.cancel_context)) throw Stopped{};
}

// The training population's runs of one set of settings. Values that the
// scenario file cannot take (a whole number out of its range) fail every
// individual.
Evaluation Tuner::evaluate(const std::vector<double>& values) {
    const auto known = evaluated_.find(values);
    if (known != evaluated_.end()) return known->second;
    Evaluation e;
    e.values = values;
    e.metric.assign(scenario_.population->size, kNaN);
    std::vector<Scenario> one;
    try {
        one.push_back(with_values(values, "training", false));
    } catch (const Error&) {
        finish_evaluation(e, result_.problem);
        return e;
    }
    EvaluationStore store(result_.problem, nullptr, false);
    run_sweep_of(one, store);
    e.metric = store.metric("training");
    finish_evaluation(e, result_.problem);
    evaluated_.emplace(values, e);
    return e;
}

void Tuner::candidate(const std::vector<double>& values) {
    result_.history.push_back(evaluate(values));
    const std::vector<Evaluation>& h = result_.history;
    if (h.back().objective < h[result_.best].objective) result_.best = h.size() - 1;
    if (options_.progress) options_.progress(result_);
}

// What the optimiser sees for a candidate whose objective is infinite:
// twice the largest finite objective before it, plus one.
double Tuner::stand_in() const {
    double worst = 0.0;
    for (const Evaluation& e : result_.history)
        if (std::isfinite(e.objective)) worst = std::max(worst, std::fabs(e.objective));
    return 2.0 * worst + 1.0;
}

struct Tuner::Combination {
    Tuner* tuner;
    std::vector<double> values;       // the enumerated settings' values; the continuous ones set per call
    std::vector<std::size_t> free;    // the continuous settings
    std::vector<double> start;        // their unit coordinates at the start
    nlopt_opt opt = nullptr;
    std::exception_ptr failure;
};

double Tuner::nlopt_objective(unsigned n, const double* u, double*, void* data) {
    auto* c = static_cast<Combination*>(data);
    try {
        for (unsigned i = 0; i < n; ++i) {
            // The start is the scenario's own value where it lies within the bounds.
            const TunedSetting& t = c->tuner->result_.problem.settings[c->free[i]];
            const bool own = u[i] == c->start[i] && t.initial >= t.input.range.low && t.initial <= t.input.range.high;
            c->values[c->free[i]] = own ? t.initial : t.input.range.at(std::min(1.0, std::max(0.0, u[i])));
        }
        c->tuner->candidate(c->values);
        const double f = c->tuner->result_.history.back().objective;
        return std::isfinite(f) ? f : c->tuner->stand_in();
    } catch (...) {
        c->failure = std::current_exception();
        nlopt_force_stop(c->opt);
        return 0.0;
    }
}

// The unit coordinate of a value within a continuous setting's bounds.
double unit_of(const InputRange& r, double v) {
    const bool log = r.kind == InputRange::Kind::log_uniform;
    const double u = log ? (std::log(v) - std::log(r.low)) / (std::log(r.high) - std::log(r.low))
                         : (v - r.low) / (r.high - r.low);
    return std::isfinite(u) ? std::min(1.0, std::max(0.0, u)) : 0.5;
}

}  // namespace

namespace {

struct NloptFree {
    void operator()(nlopt_opt o) const { nlopt_destroy(o); }
};

// Every combination of the enumerated settings' values, in order (the
// first setting slowest); the continuous settings hold their initial value.
std::vector<std::vector<double>> combinations(const TuneProblem& problem) {
    std::vector<std::vector<double>> out = {{}};
    for (const TunedSetting& t : problem.settings) {
        std::vector<std::vector<double>> next;
        for (const std::vector<double>& c : out) {
            for (double v : t.enumerated() ? t.values : std::vector<double>{t.initial}) {
                next.push_back(c);
                next.back().push_back(v);
            }
        }
        out = std::move(next);
    }
    return out;
}

}  // namespace

void Tuner::optimise(const std::vector<double>& fixed) {
    const TuneProblem& problem = result_.problem;
    Combination c{this, fixed, {}, {}, nullptr, nullptr};
    for (std::size_t i = 0; i < problem.settings.size(); ++i)
        if (!problem.settings[i].enumerated()) c.free.push_back(i);
    if (c.free.empty()) {
        candidate(fixed);
        return;
    }
    const unsigned n = static_cast<unsigned>(c.free.size());
    std::unique_ptr<std::remove_pointer_t<nlopt_opt>, NloptFree> opt(nlopt_create(NLOPT_LN_BOBYQA, n));
    c.opt = opt.get();
    std::vector<double> lower(n, 0.0), upper(n, 1.0), step(n, 0.25), x(n);
    for (unsigned i = 0; i < n; ++i) x[i] = unit_of(problem.settings[c.free[i]].input.range, problem.settings[c.free[i]].initial);
    c.start = x;
    std::size_t combos = 1;
    for (const TunedSetting& t : problem.settings) combos *= t.enumerated() ? t.values.size() : 1;
    nlopt_set_lower_bounds(c.opt, lower.data());
    nlopt_set_upper_bounds(c.opt, upper.data());
    nlopt_set_initial_step(c.opt, step.data());
    nlopt_set_xtol_abs1(c.opt, 1e-4);
    nlopt_set_maxeval(c.opt, static_cast<int>(problem.candidates / combos));
    nlopt_set_min_objective(c.opt, &Tuner::nlopt_objective, &c);
    double value = 0.0;
    nlopt_optimize(c.opt, x.data(), &value);
    if (c.failure) std::rethrow_exception(c.failure);
}

void Tuner::validate() {
    const TuneProblem& problem = result_.problem;
    std::vector<double> defaults;
    for (const TunedSetting& t : problem.settings) defaults.push_back(t.initial);
    const std::vector<double>& chosen = result_.history.empty() ? defaults : result_.history[result_.best].values;
    std::vector<Scenario> two = {with_values(defaults, kDefault, true), with_values(chosen, kTuned, true)};
    std::unique_ptr<RunFolderStore> folders;
    if (!options_.outdir.empty()) folders = std::make_unique<RunFolderStore>(options_.outdir);
    EvaluationStore store(problem, folders.get(), true);
    run_sweep_of(two, store);
    Evaluation* targets[] = {&result_.default_validation, &result_.tuned_validation};
    const char* names[] = {kDefault, kTuned};
    for (int i = 0; i < 2; ++i) {
        targets[i]->values = i == 0 ? defaults : chosen;
        targets[i]->metric = store.metric(names[i]);
        finish_evaluation(*targets[i], problem);
    }
    result_.default_bands = store.bands(kDefault);
    result_.tuned_bands = store.bands(kTuned);
}

TuneResult Tuner::run() {
    const TuneProblem& problem = result_.problem;
    if (!options_.outdir.empty()) {  // refused now rather than after the tuning
        write_manifest(options_.outdir, {{{kDefault, problem.validation_size, nullptr}, {kTuned, problem.validation_size, nullptr}}});
        check_writable(options_.outdir);
    }
    bool continuous = false;
    for (const TunedSetting& t : problem.settings) continuous = continuous || !t.enumerated();
    result_.algorithm = continuous ? "BOBYQA" : "enumeration";
    try {
        std::vector<double> defaults;
        for (const TunedSetting& t : problem.settings) defaults.push_back(t.initial);
        result_.default_training = evaluate(defaults);
        for (const std::vector<double>& c : combinations(problem)) optimise(c);
        validate();
    } catch (const Stopped&) {
        result_.stopped = true;
        return result_;
    }
    if (!options_.outdir.empty()) {
        const fs::path tmp = options_.outdir / ".tune.json.tmp";
        OutputFile out(tmp, options_.outdir / "tune.json");
        out << tune_json(result_).dump(2) << "\n";
        out.close();
        std::error_code ec;
        fs::rename(tmp, options_.outdir / "tune.json", ec);
        if (ec) write_failed(options_.outdir / "tune.json", ec.message());
    }
    return result_;
}

TuneResult tune(const Scenario& scenario, const TuneOptions& options) { return Tuner(scenario, options).run(); }

}  // namespace veltrax::experiments
