// SPDX-License-Identifier: LGPL-2.1-or-later
// veltrax._core.experiments. Conversions only: the work is the experiments
// library's, as `veltrax run` and `veltrax batch` do it; the package
// (veltrax/experiments.py) shapes the arguments and names the results.
#include "python/src/experiments_module.hpp"

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "api/veltrax.hpp"
#include "experiments/files.hpp"
#include "experiments/comparison.hpp"
#include "experiments/run_folder.hpp"
#include "experiments/runner.hpp"
#include "experiments/scenario.hpp"
#include "experiments/setpoint_json.hpp"
#include "experiments/store.hpp"
#include "experiments/strict_json.hpp"
#include "python/src/interruptible.hpp"

namespace py = pybind11;
using namespace veltrax;
using namespace veltrax::experiments;
using veltrax::python::Interruptible;

namespace {

using Array = py::array_t<double, py::array::f_style>;
using Steps = std::vector<std::tuple<double, double, bool, bool>>;

Matrix to_matrix(const Array& a) {
    if (a.ndim() != 2) throw py::value_error("veltrax._core takes 2-D arrays");
    const auto rows = static_cast<std::size_t>(a.shape(0));
    const auto cols = static_cast<std::size_t>(a.shape(1));
    return Matrix(rows, cols, std::vector<double>(a.data(), a.data() + rows * cols));
}

std::vector<std::uint8_t> bytes_of(const py::bytes& b) {
    const std::string_view view = b;
    return std::vector<std::uint8_t>(view.begin(), view.end());
}

// A set-point schedule written as JSON text, as scenario files write it.
Steps setpoint_steps(const std::string& text) {
    const SetpointSchedule s =
        parse_setpoint(parse_json_strict(text, "veltrax:badSchedule"), "setpoint", "veltrax:badSchedule");
    Steps steps;
    for (const SetpointStep& step : s.steps) steps.emplace_back(step.time, step.value, step.after, step.ramp);
    return steps;
}

// (ok, calls that ran, None or (call, id, message))
py::tuple run_summary(const RunResult& run) {
    py::object error = py::none();
    if (run.failure) error = py::make_tuple(run.failure->call, run.failure->id, run.failure->message);
    return py::make_tuple(run.ok(), run.calls.size(), error);
}

// `veltrax run`: one run of the scenario into `folder`.
py::tuple run_one(const Scenario& s, const std::string& folder, std::uint64_t individual, unsigned threads,
                  const py::bytes& initial_state) {
    const PlannedRun plan = plan_run(s, individual);
    const RunPlace place = check_run_place(folder);
    remove_leftovers(place.parent, nullptr, nullptr, place.name);
    Simulation sim = simulation_for(plan);
    const std::vector<std::uint8_t> state = bytes_of(initial_state);
    if (!state.empty()) sim.load_state(state);
    if (s.seed != 0) sim.seed_noise(s.seed);
    Interruptible interruptible;
    RunResult run;
    interruptible.run([&] {
        run = run_planned(sim, plan, [&](std::size_t) {
            RunOptions o;
            o.threads = threads;
            o.cancelled = &Interruptible::stopped;
            o.cancel_context = &interruptible;
            return o;
        });
        if (!interruptible.stop) write_run_folder(place, run);
    });
    return run_summary(run);
}

// The outputs of call `k` as the simulation returns them for `setup`.
std::vector<Matrix> call_outputs(const std::vector<Array>& arrays, const CallSetup& setup, std::size_t k) {
    const std::string where = "results of call " + std::to_string(k);
    if (arrays.size() != 5) throw py::value_error(where + ": need the five outputs t, trajectory, theta, search, sums");
    std::vector<Matrix> out;
    for (const Array& a : arrays) out.push_back(to_matrix(a));
    const std::size_t n = static_cast<std::size_t>(setup.settings.samples);
    const std::size_t estimates = static_cast<std::size_t>(setup.settings.a_order + setup.settings.b_order);
    const bool adaptive = out[3].cols != 0;  // another controller's results have no estimates or search
    if (out[0].rows != n || out[0].cols != 1 || out[1].rows != n || out[1].cols != 5 || out[2].rows != n ||
        out[2].cols != (adaptive ? estimates : 0) || out[3].rows != n || out[4].numel() != 3)
        throw py::value_error(where + ": shapes differ from what the scenario's call " + std::to_string(k) +
                              " returns (" + std::to_string(n) + " rows)");
    return out;
}

// Results of the scenario's calls computed elsewhere, written as its run
// folder; `error` (id, message): the call after the last result failed so.
// `user_controller`: the name of a controller of the user's that closed the
// loop; `compare`: the comparison the run belongs to (empty: none).
void write_run(const Scenario& s, const std::string& folder, std::uint64_t individual,
               const std::vector<std::vector<Array>>& outputs, const std::optional<std::pair<std::string, std::string>>& error,
               const std::optional<std::string>& user_controller, const std::string& compare) {
    const PlannedRun plan = plan_run(s, individual);
    RunResult run = plan.empty_result();
    if (user_controller) {
        ControllerSetup user;
        user.name = *user_controller;
        user.user = true;
        run.controller = user;
    }
    run.compare = compare;
    if (plan.rejected && !outputs.empty()) throw py::value_error("the individual cannot be run, but results are given");
    if (outputs.size() > plan.calls.size()) throw py::value_error("more results than the scenario has calls");
    for (std::size_t k = 0; k < outputs.size(); ++k)
        run.calls.push_back(call_result(k + 1, plan.calls[k], call_outputs(outputs[k], plan.calls[k], k + 1)));
    if (error) {
        run.failure = RunFailure{outputs.size() + 1, error->first, error->second};
    } else if (!plan.rejected && outputs.size() < plan.calls.size()) {
        const std::optional<CallError>& rejected = plan.calls[outputs.size()].rejected;
        if (!rejected) throw py::value_error("results of fewer calls than the scenario has, and no error");
        run.failure = RunFailure{outputs.size() + 1, rejected->id, rejected->message};
    }
    write_run_folder(check_run_place(folder), run);
}

// OUTDIR/sweep.json of runs written elsewhere: scenarios [(name, individuals)]
// and comparisons [(name, [controller names])].
void write_sweep_manifest(const std::string& outdir, const std::vector<std::pair<std::string, std::uint64_t>>& scenarios,
                          const std::vector<std::pair<std::string, std::vector<std::string>>>& comparisons) {
    SweepManifest manifest;
    for (const auto& [name, individuals] : scenarios) manifest.scenarios.push_back({name, individuals});
    for (const auto& [name, controllers] : comparisons) manifest.comparisons.push_back({name, controllers});
    write_manifest(outdir, manifest);
}

// `veltrax batch`: (runs, written, [(run, id, message) of failed runs], [interrupted], not started)
py::tuple sweep(const std::vector<const Scenario*>& scenarios, const std::string& outdir, std::uint64_t k,
                std::uint64_t n, unsigned threads, const py::bytes& initial_state) {
    std::vector<Scenario> copies;
    for (const Scenario* s : scenarios) copies.push_back(*s);
    SweepOptions options;
    options.shard = parse_shard(std::to_string(k) + "/" + std::to_string(n));
    options.threads = threads;
    options.initial_state = bytes_of(initial_state);
    Interruptible interruptible;
    options.run.cancelled = &Interruptible::stopped;
    options.run.cancel_context = &interruptible;
    RunFolderStore store(outdir, &Interruptible::stopped, &interruptible);
    std::vector<std::tuple<std::string, std::string, std::string>> failed;
    SweepOutcome outcome;
    interruptible.run([&] {
        outcome = run_sweep(copies, store, options, [&](const RunResult& run, const Error* store_error) {
            const std::string name = run_folder(run.scenario, run.individual_index()).string();
            if (store_error) failed.emplace_back(name, store_error->id(), store_error->what());
            if (run.failure) failed.emplace_back(name, run.failure->id, run.failure->message);
        });
    });
    return py::make_tuple(outcome.runs, outcome.written, failed, outcome.interrupted, outcome.not_started);
}

// The runs of slice k of n: [(scenario name, individual or 0)].
std::vector<std::pair<std::string, std::uint64_t>> slice(const std::vector<const Scenario*>& scenarios, std::uint64_t k,
                                                         std::uint64_t n) {
    std::vector<Scenario> copies;
    for (const Scenario* s : scenarios) copies.push_back(*s);
    const std::vector<Scenario> expanded = sweep_scenarios(copies);
    const SweepManifest manifest = sweep_manifest(sorted_by_name(expanded));
    std::vector<std::pair<std::string, std::uint64_t>> runs;
    for (const RunRef& r : slice_runs(manifest, parse_shard(std::to_string(k) + "/" + std::to_string(n))))
        runs.emplace_back(manifest.scenarios[r.scenario].name, r.individual);
    return runs;
}

// The compared metrics of a call's outputs (comparison.hpp).
std::vector<double> call_compared_values(const Array& t, const Array& trajectory, double sample_period,
                                         bool builtin_model, bool in_force, const std::optional<Steps>& steps) {
    MetricOptions options;
    options.setpoint_in_force = in_force;
    if (steps) {
        SetpointSchedule s;
        for (const auto& [time, value, after, ramp] : *steps) s.steps.push_back({time, value, after, ramp});
        options.schedule = std::move(s);
    }
    return compared_values(compute_metrics(to_matrix(t), to_matrix(trajectory), sample_period, builtin_model, options));
}

// compare_values as a list of dicts (metric, values, differences, wins,
// contested), each band a tuple (p5, p50, p95, n).
py::list comparison(const std::vector<std::vector<std::vector<double>>>& values) {
    std::vector<MetricComparison> result;
    veltrax::python::without_gil([&] { result = compare_values(values); });
    auto bands = [](const std::vector<Band>& b) {
        py::list l;
        for (const Band& x : b) l.append(py::make_tuple(x.p5, x.p50, x.p95, x.n));
        return l;
    };
    py::list out;
    for (const MetricComparison& m : result) {
        py::dict d;
        d["metric"] = m.metric;
        d["values"] = bands(m.values);
        d["differences"] = bands(m.differences);
        d["wins"] = m.wins;
        d["contested"] = m.contested;
        out.append(d);
    }
    return out;
}

void register_scenario(py::module_& m) {
    py::class_<Scenario>(m, "Scenario")
        .def_static("load", &load_scenario, py::arg("path"))
        .def_static("parse", &parse_scenario, py::arg("text"), py::arg("path"))
        .def_readonly("path", &Scenario::path)
        .def_readonly("name", &Scenario::name)
        .def_property_readonly("build", [](const Scenario& s) { return static_cast<int>(s.build); })
        .def_readonly("seed", &Scenario::seed)
        .def_property_readonly("calls", [](const Scenario& s) { return s.calls.size(); })
        .def_property_readonly("runs", &Scenario::runs)
        .def_property_readonly("population", [](const Scenario& s) { return s.population.has_value(); })
        .def_property_readonly("controllers", [](const Scenario& s) {
            std::vector<std::string> names;
            for (const ControllerSetup& c : s.controllers) names.push_back(c.name);
            return names;
        });
}

}  // namespace

void register_experiments(py::module_& core) {
    py::module_ m = core.def_submodule("experiments", "Scenarios, run folders and sweeps; use veltrax.experiments.");
    m.attr("MAX_NOISE_SEED") = Simulation::kMaxSeed;
    m.attr("TIME_COLUMNS") = time_columns();
    m.attr("TRAJECTORY_COLUMNS") = trajectory_columns();
    m.attr("SUMS_COLUMNS") = sums_columns();
    m.def("search_columns", [](int build) { return search_columns(static_cast<Build>(build)); }, py::arg("build"));
    m.def("theta_columns", &theta_columns, py::arg("a_order"), py::arg("count"));
    m.def("setpoint_steps", &setpoint_steps, py::arg("text"));
    register_scenario(m);
    m.def("run", &run_one, py::arg("scenario"), py::arg("folder"), py::arg("individual"), py::arg("threads"),
          py::arg("initial_state"));
    m.def("write_run", &write_run, py::arg("scenario"), py::arg("folder"), py::arg("individual"), py::arg("outputs"),
          py::arg("error"), py::arg("user_controller") = py::none(), py::arg("compare") = "");
    m.def(
        "run_folder", [](const std::string& scenario, std::uint64_t k) { return run_folder(scenario, k).string(); },
        py::arg("scenario"), py::arg("individual"));
    m.def("write_manifest", &write_sweep_manifest, py::arg("outdir"), py::arg("scenarios"), py::arg("comparisons"));
    m.def("run_sweep", &sweep, py::arg("scenarios"), py::arg("outdir"), py::arg("k"), py::arg("n"), py::arg("threads"),
          py::arg("initial_state"));
    m.def("slice_runs", &slice, py::arg("scenarios"), py::arg("k"), py::arg("n"));
    m.def(
        "is_manifest_of",
        [](const std::string& file, const std::string& outdir) { return is_manifest_of(file, outdir); },
        py::arg("file"), py::arg("outdir"));
    std::vector<std::tuple<std::string, bool, bool>> metrics;
    for (const ComparedMetric& c : compared_metrics()) metrics.emplace_back(c.name, c.higher_is_better, c.by_magnitude);
    m.attr("COMPARED_METRICS") = metrics;
    m.def("compared_values", &call_compared_values, py::arg("t"), py::arg("trajectory"), py::arg("sample_period"),
          py::arg("builtin_model"), py::arg("in_force") = false, py::arg("steps") = py::none());
    m.def("compare_values", &comparison, py::arg("values"));
}
