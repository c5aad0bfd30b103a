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
    Simulation sim(s.build);
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

// The outputs of call `k` as the simulation returns them for `spec`.
std::vector<Matrix> call_outputs(const std::vector<Array>& arrays, const CallSpec& spec, std::size_t k) {
    const std::string where = "results of call " + std::to_string(k);
    if (arrays.size() != 5) throw py::value_error(where + ": need the five outputs t, trajectory, theta, search, sums");
    std::vector<Matrix> out;
    for (const Array& a : arrays) out.push_back(to_matrix(a));
    const std::size_t n = static_cast<std::size_t>(spec.settings.samples);
    const std::size_t estimates = static_cast<std::size_t>(spec.settings.a_order + spec.settings.b_order);
    if (out[0].rows != n || out[0].cols != 1 || out[1].rows != n || out[1].cols != 5 || out[2].rows != n ||
        out[2].cols != estimates || out[3].rows != n || out[3].cols != 5 || out[4].numel() != 3)
        throw py::value_error(where + ": shapes differ from what the scenario's call " + std::to_string(k) +
                              " returns (" + std::to_string(n) + " rows)");
    return out;
}

// Results of the scenario's calls computed elsewhere, written as its run
// folder; `error` (id, message): the call after the last result failed so.
void write_run(const Scenario& s, const std::string& folder, std::uint64_t individual,
               const std::vector<std::vector<Array>>& outputs, const std::optional<std::pair<std::string, std::string>>& error) {
    const PlannedRun plan = plan_run(s, individual);
    RunResult run = plan.empty_result();
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
    const SweepManifest manifest = sweep_manifest(sorted_by_name(copies));
    std::vector<std::pair<std::string, std::uint64_t>> runs;
    for (const RunRef& r : slice_runs(manifest, parse_shard(std::to_string(k) + "/" + std::to_string(n))))
        runs.emplace_back(manifest.scenarios[r.scenario].name, r.individual);
    return runs;
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
        .def_property_readonly("population", [](const Scenario& s) { return s.population.has_value(); });
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
          py::arg("error"));
    m.def("run_sweep", &sweep, py::arg("scenarios"), py::arg("outdir"), py::arg("k"), py::arg("n"), py::arg("threads"),
          py::arg("initial_state"));
    m.def("slice_runs", &slice, py::arg("scenarios"), py::arg("k"), py::arg("n"));
    m.def(
        "is_manifest_of",
        [](const std::string& file, const std::string& outdir) { return is_manifest_of(file, outdir); },
        py::arg("file"), py::arg("outdir"));
}
