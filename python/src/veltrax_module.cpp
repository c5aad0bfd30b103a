// SPDX-License-Identifier: LGPL-2.1-or-later
// veltrax._core: the C++ API and the experiments library for Python.
// Conversions only: NumPy arrays in and out of veltrax::Matrix,
// veltrax::Error raised as veltrax.Error, and the interpreter lock released
// while the simulation runs. The Python package (veltrax/__init__.py) shapes
// the inputs and names the outputs.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <thread>
#include <utility>
#include <variant>
#include <vector>

#include "api/veltrax.hpp"
#include "python/src/control_module.hpp"
#include "python/src/experiments_module.hpp"
#include "python/src/sensitivity_module.hpp"
#include "python/src/interruptible.hpp"
#include "experiments/expand.hpp"
#include "experiments/metrics.hpp"
#include "experiments/population.hpp"
#include "experiments/report.hpp"
#include "experiments/strict_json.hpp"

namespace py = pybind11;
using veltrax::Matrix;
using veltrax::python::Interruptible;
using veltrax::python::settings_of;
using veltrax::python::without_gil;

namespace {

// Column-major float64, as Matrix stores it. The package hands over 2-D
// float64 arrays; anything else is converted by NumPy's safe casts.
using Array = py::array_t<double, py::array::f_style>;

Matrix to_matrix(const Array& a) {
    if (a.ndim() != 2) throw py::value_error("veltrax._core takes 2-D arrays");
    const auto rows = static_cast<std::size_t>(a.shape(0));
    const auto cols = static_cast<std::size_t>(a.shape(1));
    return Matrix(rows, cols, std::vector<double>(a.data(), a.data() + rows * cols));
}

std::vector<Matrix> to_matrices(const std::vector<Array>& arrays) {
    std::vector<Matrix> out;
    out.reserve(arrays.size());
    for (const Array& a : arrays) out.push_back(to_matrix(a));
    return out;
}

// The matrix's storage becomes the array's, without a copy.
py::array to_array(Matrix&& m) {
    auto* data = new std::vector<double>(std::move(m.data));
    py::capsule owner(data, [](void* p) { delete static_cast<std::vector<double>*>(p); });
    const std::vector<py::ssize_t> shape{static_cast<py::ssize_t>(m.rows), static_cast<py::ssize_t>(m.cols)};
    const std::vector<py::ssize_t> strides{static_cast<py::ssize_t>(sizeof(double)),
                                           static_cast<py::ssize_t>(sizeof(double) * m.rows)};
    return py::array(py::dtype::of<double>(), shape, strides, data->data(), owner);
}

py::list to_arrays(std::vector<Matrix>&& matrices) {
    py::list out;
    for (Matrix& m : matrices) out.append(to_array(std::move(m)));
    return out;
}

// Named settings as the package hands them over and takes them back: a dict
// of the fields with "noise", "process" and "curve" as dicts of theirs (the
// package has checked the types).
py::dict settings_dict(const veltrax::Settings& s) {
    py::dict noise, process, curve, d;
    noise["kind"] = veltrax::noise_kind_name(s.noise.kind);
    noise["amplitude"] = s.noise.amplitude;
    if (const auto* tf = std::get_if<veltrax::TransferFunction>(&s.process)) {
        process["numerator"] = tf->numerator;
        process["denominator"] = tf->denominator;
    } else {
        process["body_mass"] = std::get<veltrax::BodyModel>(s.process).body_mass;
        process["cardiac_output"] = std::get<veltrax::BodyModel>(s.process).cardiac_output;
    }
    curve["plant_midpoint"] = s.curve.plant_midpoint;
    curve["midpoint"] = s.curve.midpoint;
    curve["plant_exponent"] = s.curve.plant_exponent;
    curve["exponent"] = s.curve.exponent;
    d["samples"] = s.samples;
    d["control_weight"] = s.control_weight;
    d["dead_time"] = s.dead_time;
    d["u_max"] = s.u_max;
    d["a_order"] = s.a_order;
    d["b_order"] = s.b_order;
    d["noise"] = noise;
    d["rk4_steps"] = s.rk4_steps;
    d["rk4_step"] = s.rk4_step;
    d["process"] = process;
    d["curve"] = curve;
    d["observer"] = s.observer;
    return d;
}

// A call as the package hands it over: named settings (a dict) or the
// positional inputs (2-D float64 arrays).
struct CallInputs {
    std::optional<veltrax::Settings> settings;
    std::vector<Matrix> inputs;
};

CallInputs to_call(const py::handle& call) {
    if (py::isinstance<py::dict>(call)) return {settings_of(call.cast<py::dict>()), {}};
    return {std::nullopt, to_matrices(call.cast<std::vector<Array>>())};
}

// (sample_count, a_order, b_order, gaussian_noise, builtin_model, sample_period)
py::tuple info_tuple(const std::optional<veltrax::Settings>& settings, const std::vector<Matrix>& inputs,
                     bool adaptive = true) {
    if (settings && !adaptive) {  // checked as a plant is, not as the adaptive controller's call
        const veltrax::Settings& s = *settings;
        return py::make_tuple(s.samples, s.a_order, s.b_order, s.noise.kind == veltrax::NoiseKind::Gaussian,
                              s.builtin_model(), s.sample_period());
    }
    const veltrax::CallInfo info = settings ? veltrax::check_call(*settings) : veltrax::check_call(inputs);
    const double sample_period =
        settings ? settings->sample_period() : veltrax::experiments::sample_period_of(inputs);
    return py::make_tuple(info.sample_count, info.a_order, info.b_order, info.gaussian_noise, info.builtin_model,
                          sample_period);
}

// Set-point steps as (time, value, after, ramp); None: the built-in schedule.
using Steps = std::vector<std::tuple<double, double, bool, bool>>;

std::optional<veltrax::SetpointSchedule> to_schedule(const std::optional<Steps>& steps) {
    if (!steps) return std::nullopt;
    veltrax::SetpointSchedule s;
    for (const auto& [time, value, after, ramp] : *steps) s.steps.push_back({time, value, after, ramp});
    return s;
}

veltrax::Build to_build(int build) {
    if (build < 1 || build > 3) throw py::value_error("build must be 1, 2 or 3, got " + std::to_string(build));
    return static_cast<veltrax::Build>(build);
}

// One simulation; the lock keeps a second Python thread from entering it
// (or copying it) while a call runs with the interpreter lock released.
struct PySimulation {
    veltrax::Simulation sim;
    std::mutex busy;

    explicit PySimulation(veltrax::Build build) : sim(build) {}
    explicit PySimulation(const veltrax::Simulation& other) : sim(other) {}
    explicit PySimulation(const veltrax::Controller& controller) : sim(controller) {}

    // A callable closes the loop: calls run on this thread with the
    // interpreter lock held, and Ctrl-C reaches the callable.
    bool python_controller() const { return veltrax::python::is_python_controller(sim.controller()); }
};

py::tuple simulation_call(PySimulation& self, const py::object& call, unsigned threads,
                          const std::optional<Steps>& setpoint, const std::optional<std::string>& models,
                          std::uint64_t draw_seed, std::uint64_t individual) {
    const CallInputs in = to_call(call);
    const std::optional<veltrax::SetpointSchedule> schedule = to_schedule(setpoint);
    const std::optional<veltrax::PlantModels> plant_models =
        veltrax::python::plant_models_of(models, draw_seed, individual);
    veltrax::RunOptions options;
    options.threads = threads;
    if (schedule) options.schedule = &*schedule;
    if (plant_models) options.plant_models = &*plant_models;
    std::vector<Matrix> out;
    auto run = [&] { out = in.settings ? self.sim.call(*in.settings, options) : self.sim.call(in.inputs, 5, options); };
    if (self.python_controller()) {
        std::unique_lock<std::mutex> lock(self.busy, std::defer_lock);
        without_gil([&] { lock.lock(); });
        run();
    } else {
        Interruptible interruptible;
        options.cancelled = &Interruptible::stopped;
        options.cancel_context = &interruptible;
        interruptible.run([&] {
            std::lock_guard<std::mutex> lock(self.busy);
            run();
        });
    }
    return py::make_tuple(to_arrays(std::move(out)), info_tuple(in.settings, in.inputs, !self.sim.controller()));
}

void simulation_seed_noise(PySimulation& self, long seed) {
    without_gil([&] {
        std::lock_guard<std::mutex> lock(self.busy);
        self.sim.seed_noise(seed);
    });
}

std::unique_ptr<PySimulation> simulation_copy(PySimulation& self) {
    if (self.python_controller()) {  // the copy shares the callable: made with the interpreter lock held
        std::unique_lock<std::mutex> lock(self.busy, std::defer_lock);
        without_gil([&] { lock.lock(); });
        return std::make_unique<PySimulation>(self.sim);
    }
    std::optional<veltrax::Simulation> copy;
    without_gil([&] {
        std::lock_guard<std::mutex> lock(self.busy);
        copy.emplace(self.sim);
    });
    return std::make_unique<PySimulation>(*copy);
}

// Pickling: the bytes of the state-snapshot format, which name their build.
py::bytes simulation_save_state(PySimulation& self) {
    std::vector<std::uint8_t> bytes;
    without_gil([&] {
        std::lock_guard<std::mutex> lock(self.busy);
        bytes = self.sim.save_state();
    });
    return py::bytes(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

void simulation_restore(PySimulation& self, const py::bytes& snapshot) {
    const std::string_view view = snapshot;
    const std::vector<std::uint8_t> bytes(view.begin(), view.end());
    without_gil([&] {
        std::lock_guard<std::mutex> lock(self.busy);
        self.sim.load_state(bytes);
    });
}

std::unique_ptr<PySimulation> simulation_load_state(const py::bytes& snapshot) {
    const std::string_view view = snapshot;
    const std::vector<std::uint8_t> bytes(view.begin(), view.end());
    auto loaded = std::make_unique<PySimulation>(veltrax::check_snapshot(bytes).build);
    loaded->sim.load_state(bytes);
    return loaded;
}

// jobs: [(build, [settings dict or [input arrays] per call], seed or 0, [steps or None per call],
//         built-in controller dict or None, [(plant models' JSON or None, draw_seed, individual) per call]), ...]
// returns per job ([outputs of every call that ran], [their call infos], None or (id, message))
using PyPlantModels = std::tuple<std::optional<std::string>, std::uint64_t, std::uint64_t>;
using PyJob = std::tuple<int, std::vector<py::object>, long, std::vector<std::optional<Steps>>, py::object,
                         std::vector<PyPlantModels>>;

py::list batch(const std::vector<PyJob>& jobs, unsigned threads) {
    std::vector<veltrax::BatchJob> batch_jobs;
    batch_jobs.reserve(jobs.size());
    std::deque<veltrax::SetpointSchedule> schedules;  // the jobs point into these
    std::deque<veltrax::PlantModels> plant_models;
    for (const auto& [build, calls, seed, setpoints, controller, models] : jobs) {
        veltrax::BatchJob job;
        job.build = to_build(build);
        job.seed = seed;
        if (!controller.is_none()) job.controller = veltrax::python::controller_of(controller);
        for (const py::object& call : calls) {
            CallInputs in = to_call(call);
            job.calls.push_back(std::move(in.inputs));
            job.settings.push_back(std::move(in.settings));
        }
        for (const std::optional<Steps>& steps : setpoints) {
            std::optional<veltrax::SetpointSchedule> schedule = to_schedule(steps);
            job.schedules.push_back(schedule ? &schedules.emplace_back(std::move(*schedule)) : nullptr);
        }
        for (const auto& [json, draw_seed, individual] : models) {
            std::optional<veltrax::PlantModels> m = veltrax::python::plant_models_of(json, draw_seed, individual);
            job.plant_models.push_back(m ? &plant_models.emplace_back(std::move(*m)) : nullptr);
        }
        batch_jobs.push_back(std::move(job));
    }
    std::vector<veltrax::BatchResult> results(batch_jobs.size());
    Interruptible interruptible;
    veltrax::RunOptions options;
    options.cancelled = &Interruptible::stopped;
    options.cancel_context = &interruptible;
    interruptible.run([&] {
        veltrax::run_batch(batch_jobs, threads, options,
                           [&results](std::size_t j, veltrax::BatchResult&& r) { results[j] = std::move(r); });
    });

    py::list out;
    for (std::size_t j = 0; j < results.size(); ++j) {
        veltrax::BatchResult& r = results[j];
        py::list outputs, infos;
        for (std::size_t c = 0; c < r.outputs.size(); ++c) {
            outputs.append(to_arrays(std::move(r.outputs[c])));
            infos.append(info_tuple(batch_jobs[j].settings[c], batch_jobs[j].calls[c], !batch_jobs[j].controller));
        }
        py::object error = py::none();
        if (!r.ok) error = py::make_tuple(r.error_id, r.error_message);
        out.append(py::make_tuple(outputs, infos, error));
    }
    return out;
}

// compute_metrics as a dict of the summary.json names (steps as tuples
// (row, time, from, to, overshoot, undershoot, settled, settling_time,
// time_in_band), rows from 0) and the sweep.csv aggregates.
py::dict metrics(const Array& t, const Array& trajectory, double sample_period, bool builtin_model, double band,
                 double absolute_band, std::optional<double> maintenance_start, bool in_force,
                 const std::optional<Steps>& schedule_steps, const std::optional<std::string>& models) {
    const Matrix time = to_matrix(t), traj = to_matrix(trajectory);
    if (traj.cols < 3 || time.rows != traj.rows)
        throw py::value_error("metrics need the time column and a trajectory of as many rows with at least 3 columns");
    veltrax::experiments::MetricOptions options;
    options.band = band;
    options.absolute_band = absolute_band;
    options.maintenance_start = maintenance_start;
    options.setpoint_in_force = in_force;
    options.schedule = to_schedule(schedule_steps);
    if (const std::optional<veltrax::PlantModels> p = veltrax::python::plant_models_of(models, 1, 0))
        options.disturbances = veltrax::experiments::disturbance_windows(*p);
    const veltrax::experiments::Metrics m =
        veltrax::experiments::compute_metrics(time, traj, sample_period, builtin_model, options);
    py::list steps;
    for (const auto& s : m.steps)
        steps.append(py::make_tuple(s.row, s.time, s.from, s.to, s.overshoot, s.undershoot, s.settled, s.settling_time,
                                    s.time_in_band));
    py::dict d;
    d["samples"] = m.samples;
    d["iae"] = m.iae;
    d["ise"] = m.ise;
    d["total_control"] = m.total_control;
    d["peak_control"] = m.peak_control;
    d["steps"] = steps;
    d["max_overshoot"] = m.max_overshoot();
    d["max_undershoot"] = m.max_undershoot();
    d["max_settling_time"] = m.max_settling_time();
    d["time_in_band"] = m.time_in_band();
    d["runaway"] = m.runaway;
    d["time_to_target"] = m.time_to_target;
    d["induction_overshoot"] = m.induction_overshoot;
    d["maintenance_start"] = m.maintenance_start;
    py::list windows;
    for (const auto& w : m.disturbances)
        windows.append(py::make_tuple(w.window.name, w.window.start, w.window.end, w.rows, w.peak_deviation,
                                      w.returned, w.return_time, w.iae, w.control));
    d["disturbances"] = windows;
    d["disturbance_peak"] = m.disturbance_peak();
    d["disturbance_return_time"] = m.disturbance_return_time();
    d["disturbance_iae"] = m.disturbance_iae();
    d["disturbance_control"] = m.disturbance_control();
    if (m.builtin_model) {
        d["mdpe"] = m.mdpe;
        d["mdape"] = m.mdape;
        d["wobble"] = m.wobble;
        d["divergence"] = m.divergence;
        d["mdpe_whole"] = m.mdpe_whole;
        d["mdape_whole"] = m.mdape_whole;
        d["wobble_whole"] = m.wobble_whole;
        d["divergence_whole"] = m.divergence_whole;
    }
    return d;
}

struct PyPopulation {
    veltrax::experiments::Population p;
};

// A population block as JSON text, as in a scenario file.
std::unique_ptr<PyPopulation> population_from_json(const std::string& text) {
    auto p = std::make_unique<PyPopulation>();
    p->p = veltrax::experiments::parse_population(veltrax::experiments::parse_json_strict(text), "population");
    return p;
}

py::dict covariates(const veltrax::experiments::Population& p, const veltrax::experiments::Individual& ind) {
    py::dict d;
    for (int c = 0; c < veltrax::experiments::kCovariates; ++c)
        if (p.draws(static_cast<veltrax::experiments::Covariate>(c)))
            d[veltrax::experiments::covariate_name(c)] = ind.values[c];
    for (std::size_t i = 0; i < p.plant.size() && i < ind.plant.size(); ++i) d[p.plant[i].name.c_str()] = ind.plant[i];
    return d;
}

// (index, {covariate: value}, valid, reason)
py::tuple population_draw(const PyPopulation& self, std::uint64_t k) {
    const veltrax::experiments::Individual ind = veltrax::experiments::draw_individual(self.p, k);
    return py::make_tuple(ind.index, covariates(self.p, ind), ind.valid, ind.reason);
}

// The calls with individual k's values: ([[arrays of a call], ...], None or (call, id, message)).
py::tuple population_expand(const PyPopulation& self, std::uint64_t k, const std::vector<std::vector<Array>>& calls) {
    std::vector<std::vector<Matrix>> in;
    for (const std::vector<Array>& call : calls) in.push_back(to_matrices(call));
    veltrax::experiments::PopulationRun run = veltrax::experiments::expand_individual(in, self.p, k);
    py::list out;
    for (veltrax::experiments::CallSetup& call : run.calls) out.append(to_arrays(std::move(call.inputs)));
    py::object error = py::none();
    if (run.rejected) error = py::make_tuple(run.rejected->call, run.rejected->error.id, run.rejected->error.message);
    return py::make_tuple(out, error);
}

// Named settings with individual k's values: (settings dict, None) or
// (None, (call, id, message)) for an individual that cannot be run.
py::tuple population_settings(const PyPopulation& self, std::uint64_t k, const py::dict& settings) {
    veltrax::experiments::CallSetup setup;
    setup.settings = settings_of(settings);
    setup.inputs = veltrax::inputs_of(setup.settings);
    const veltrax::experiments::PopulationRun run = veltrax::experiments::expand_individual({setup}, self.p, k);
    if (run.rejected)
        return py::make_tuple(py::none(),
                              py::make_tuple(run.rejected->call, run.rejected->error.id, run.rejected->error.message));
    return py::make_tuple(settings_dict(run.calls[0].settings), py::none());
}

// (manifest, expected, ok, failed, unreadable, missing, unexpected, written,
// missing_count, unexpected_count); Ctrl-C stops it, nothing written.
py::tuple report(const std::string& outdir, bool plots) {
    veltrax::experiments::ReportOptions options;
    options.plots = plots;
    Interruptible interruptible;
    options.cancelled = &Interruptible::stopped;
    options.cancel_context = &interruptible;
    veltrax::experiments::ReportResult r;
    interruptible.run([&] { r = veltrax::experiments::write_report(outdir, options); });
    return py::make_tuple(r.manifest, r.expected, r.ok, r.failed, r.unreadable, r.missing, r.unexpected, r.written,
                          r.missing_count, r.unexpected_count);
}

py::array matprod(const Array& a, const Array& b) {
    const std::vector<Matrix> in{to_matrix(a), to_matrix(b)};
    std::optional<Matrix> r;
    without_gil([&] { r.emplace(veltrax::call_matprod(in, 1)); });
    return to_array(std::move(*r));
}

}  // namespace

namespace veltrax::python {

veltrax::Settings settings_of(const py::dict& d) {
    veltrax::Settings s;
    s.samples = d["samples"].cast<long>();
    s.control_weight = d["control_weight"].cast<double>();
    s.dead_time = d["dead_time"].cast<int>();
    s.u_max = d["u_max"].cast<double>();
    s.a_order = d["a_order"].cast<int>();
    s.b_order = d["b_order"].cast<int>();
    const py::dict noise = d["noise"];
    s.noise = {veltrax::noise_kind_named(noise["kind"].cast<std::string>()), noise["amplitude"].cast<double>()};
    s.rk4_steps = d["rk4_steps"].cast<int>();
    s.rk4_step = d["rk4_step"].cast<double>();
    const py::dict process = d["process"];
    if (process.contains("body_mass"))
        s.process = veltrax::BodyModel{process["body_mass"].cast<double>(), process["cardiac_output"].cast<double>()};
    else
        s.process = veltrax::TransferFunction{process["numerator"].cast<std::vector<double>>(),
                                              process["denominator"].cast<std::vector<double>>()};
    const py::dict curve = d["curve"];
    s.curve = {curve["plant_midpoint"].cast<double>(), curve["midpoint"].cast<double>(),
               curve["plant_exponent"].cast<double>(), curve["exponent"].cast<double>()};
    s.observer = d["observer"].cast<std::array<double, 3>>();
    return s;
}

}  // namespace veltrax::python

PYBIND11_MODULE(_core, m) {
    m.doc() = "Compiled core of the veltrax package; use the package, not this module.";
    m.attr("__version__") = VELTRAX_VERSION;
    m.def("build_info", &veltrax::build_info);
    py::module_::import("atexit").attr("register")(py::cpp_function(&veltrax::python::abandon_runs));

    // veltrax::Error -> veltrax.Error(id, message), defined by the package.
    py::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p) std::rethrow_exception(p);
        } catch (const veltrax::Error& e) {
            const py::object cls = py::module_::import("veltrax").attr("Error");
            const py::object error = cls(e.id(), e.what());
            PyErr_SetObject(cls.ptr(), error.ptr());
        }
    });

    py::class_<PySimulation>(m, "Simulation")
        .def(py::init([](int build) { return std::make_unique<PySimulation>(to_build(build)); }), py::arg("build"))
        .def_static(
            "with_controller",
            [](const py::object& setup) {
                return std::make_unique<PySimulation>(*veltrax::python::controller_of(setup));
            },
            py::arg("controller"), "A simulation whose loop a built-in controller (a dict) or a callable closes.")
        .def_property_readonly("has_controller", [](const PySimulation& self) { return self.sim.controller() != nullptr; })
        .def_property_readonly("build", [](const PySimulation& self) { return static_cast<int>(self.sim.build()); })
        .def("call", &simulation_call, py::arg("call"), py::arg("threads") = 0u, py::arg("setpoint") = py::none(),
             py::arg("models") = py::none(), py::arg("draw_seed") = 1, py::arg("individual") = 0,
             "Runs one call of named settings (a dict) or of 2-D float64 inputs: "
             "([t, trajectory, theta, search, sums], info).")
        .def("seed_noise", &simulation_seed_noise, py::arg("seed"))
        .def("copy", &simulation_copy, "A branch: continues exactly as this simulation would.")
        .def("save_state", &simulation_save_state)
        .def("restore", &simulation_restore, py::arg("snapshot"))
        .def_static("load_state", &simulation_load_state, py::arg("snapshot"));

    py::class_<PyPopulation>(m, "Population")
        .def_static("from_json", &population_from_json, py::arg("text"))
        .def_property_readonly("size", [](const PyPopulation& self) { return self.p.size; })
        .def_property_readonly("seed", [](const PyPopulation& self) { return self.p.seed; })
        .def("to_json", [](const PyPopulation& self) { return veltrax::experiments::population_json(self.p).dump(); })
        .def("draw", &population_draw, py::arg("k"))
        .def("expand", &population_expand, py::arg("k"), py::arg("calls"))
        .def("settings", &population_settings, py::arg("k"), py::arg("settings"));

    m.def("run_batch", &batch, py::arg("jobs"), py::arg("threads") = 0u);
    m.def("default_settings", [] { return settings_dict(veltrax::Settings{}); });
    m.def("default_body_model", [] {
        py::dict d;
        d["body_mass"] = veltrax::BodyModel{}.body_mass;
        d["cardiac_output"] = veltrax::BodyModel{}.cardiac_output;
        return d;
    });
    m.def(
        "noise_kind", [](const std::string& word) { return veltrax::noise_kind_name(veltrax::noise_kind_named(word)); },
        py::arg("word"));
    m.def(
        "settings_from_inputs",
        [](const std::vector<Array>& in) { return settings_dict(veltrax::settings_from_inputs(to_matrices(in))); },
        py::arg("inputs"));
    m.def("metrics", &metrics, py::arg("t"), py::arg("trajectory"), py::arg("sample_period"), py::arg("builtin_model"),
          py::arg("band"), py::arg("absolute_band"), py::arg("maintenance_start") = py::none(),
          py::arg("in_force") = false, py::arg("steps") = py::none(), py::arg("models") = py::none());
    m.def("report", &report, py::arg("outdir"), py::arg("plots"));
    m.def("matprod", &matprod, py::arg("a"), py::arg("b"));
    register_experiments(m);
    veltrax::python::register_control(m);
    register_sensitivity(m);
}
