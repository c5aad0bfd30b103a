// SPDX-License-Identifier: LGPL-2.1-or-later
// veltrax._core's controllers and plants. Conversions only; the package
// (veltrax/__init__.py, veltrax/env.py) names and checks the arguments.
#include "python/src/control_module.hpp"

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cmath>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "experiments/plant_models_json.hpp"
#include "experiments/strict_json.hpp"
#include "python/src/interruptible.hpp"

namespace py = pybind11;

namespace veltrax::python {

namespace {

using Steps = std::vector<std::tuple<double, double, bool, bool>>;

std::optional<SetpointSchedule> to_schedule(const std::optional<Steps>& steps) {
    if (!steps) return std::nullopt;
    SetpointSchedule s;
    for (const auto& [time, value, after, ramp] : *steps) s.steps.push_back({time, value, after, ramp});
    return s;
}

Pid pid_of(const py::dict& d) {
    Pid pid;
    pid.kp = d["kp"].cast<double>();
    pid.ki = d["ki"].cast<double>();
    pid.kd = d["kd"].cast<double>();
    pid.filter_time = d["filter_time"].cast<double>();
    pid.anti_windup = d["anti_windup"].cast<std::string>() == "clamping" ? AntiWindup::Clamping : AntiWindup::BackCalculation;
    pid.tracking_time = d["tracking_time"].cast<double>();
    return pid;
}

// What a Python controller gets: a copy of the observation.
struct PyObservation {
    Observation o;
};

[[noreturn]] void not_a_control(const py::handle& r) {
    throw Error("veltrax:badControl", "the controller returned " +
                                          std::string(py::str(r.get_type().attr("__name__"))) +
                                          "; a control is a real number");
}

// The control a callable returned, as a double: a real number (not a bool),
// or a NumPy array of one number.
double control_value(const py::handle& r) {
    PyObject* p = r.ptr();
    if (PyFloat_Check(p)) return PyFloat_AS_DOUBLE(p);
    if (PyBool_Check(p)) not_a_control(r);
    if (PyLong_Check(p)) {
        const double v = PyLong_AsDouble(p);
        if (v == -1.0 && PyErr_Occurred()) {
            PyErr_Clear();
            not_a_control(r);
        }
        return v;
    }
    // Kept for the life of the process, as the interpreter keeps its modules.
    static PyObject* const real = py::object(py::module_::import("numbers").attr("Real")).release().ptr();
    static PyObject* const numpy_bool = py::object(py::module_::import("numpy").attr("bool_")).release().ptr();
    if (PyObject_IsInstance(p, numpy_bool) == 1) not_a_control(r);
    if (PyObject_IsInstance(p, real) == 1) return py::reinterpret_borrow<py::object>(r).cast<double>();
    if (py::isinstance<py::array>(r)) {
        const py::array a = py::reinterpret_borrow<py::array>(r);
        const char kind = a.dtype().kind();
        if (a.size() == 1 && (kind == 'f' || kind == 'i' || kind == 'u')) return a.attr("item")().cast<double>();
    }
    not_a_control(r);
}

class PythonController final : public Controller {
public:
    explicit PythonController(py::object fn) : fn_(std::move(fn)) {}
    ~PythonController() override {
        py::gil_scoped_acquire gil;
        fn_ = py::object();
    }
    PythonController(const PythonController& other) : Controller(other) {
        py::gil_scoped_acquire gil;
        fn_ = other.fn_;
    }

    double control(const Observation& o) override {
        py::gil_scoped_acquire gil;
        const py::object r = fn_(PyObservation{o});
        return control_value(r);
    }
    std::unique_ptr<Controller> clone() const override { return std::make_unique<PythonController>(*this); }

private:
    py::object fn_;
};

// A plant; the lock keeps two threads from stepping it at once (step_plants
// runs with the interpreter lock released).
struct PyPlant {
    std::optional<Plant> plant;
    std::mutex busy;
};

std::unique_ptr<PyPlant> make_plant(const py::dict& settings, long seed, const std::optional<Steps>& setpoint,
                                    const std::optional<std::string>& models, std::uint64_t draw_seed,
                                    std::uint64_t individual) {
    const std::optional<SetpointSchedule> schedule = to_schedule(setpoint);
    const std::optional<PlantModels> m = plant_models_of(models, draw_seed, individual);
    auto p = std::make_unique<PyPlant>();
    p->plant.emplace(settings_of(settings), seed, schedule ? &*schedule : nullptr, m ? &*m : nullptr);
    return p;
}

std::unique_ptr<PyPlant> copy_plant(PyPlant& self) {
    auto p = std::make_unique<PyPlant>();
    std::lock_guard<std::mutex> lock(self.busy);
    p->plant.emplace(*self.plant);
    return p;
}

template <class F>
auto locked(PyPlant& self, F&& f) {
    std::lock_guard<std::mutex> lock(self.busy);
    return f(*self.plant);
}

// Steps plants[k] with controls[k]; returns rows measured, set-point,
// control applied, time and process output, one column per plant.
py::array_t<double> step_many(const std::vector<PyPlant*>& plants, const py::array_t<double, py::array::c_style | py::array::forcecast>& controls) {
    const std::size_t n = plants.size();
    if (controls.ndim() != 1 || static_cast<std::size_t>(controls.shape(0)) != n)
        throw Error("veltrax:badControl", "step_plants needs one control per plant: " + std::to_string(n));
    std::vector<PyPlant*> order(plants);
    std::sort(order.begin(), order.end());
    if (std::adjacent_find(order.begin(), order.end()) != order.end() || (n && !order.front()))
        throw Error("veltrax:badPlant", "step_plants needs distinct plants");
    std::vector<Plant*> raw(n);
    for (std::size_t k = 0; k < n; ++k) raw[k] = &*plants[k]->plant;
    py::array_t<double> out({std::size_t{5}, n});
    double* o = out.mutable_data();
    const double* u = controls.data();
    without_gil([&] {
        std::vector<std::unique_lock<std::mutex>> locks;  // in address order: no two callers deadlock
        for (PyPlant* p : order) locks.emplace_back(p->busy);
        std::vector<double> measured(n);
        step_plants(raw.data(), n, u, measured.data());
        for (std::size_t k = 0; k < n; ++k) {
            o[k] = measured[k];
            o[n + k] = raw[k]->setpoint();
            o[2 * n + k] = raw[k]->control();
            o[3 * n + k] = raw[k]->time();
            o[4 * n + k] = raw[k]->process_output();
        }
    });
    return out;
}

void register_observation(py::module_& m) {
    py::class_<PyObservation>(m, "Observation", "What a controller may know at a sample period.")
        .def_property_readonly("sample", [](const PyObservation& s) { return s.o.sample; })
        .def_property_readonly("time", [](const PyObservation& s) { return s.o.time; })
        .def_property_readonly("setpoint", [](const PyObservation& s) { return s.o.setpoint; })
        .def_property_readonly("preview", [](const PyObservation& s) { return py::tuple(py::cast(s.o.preview)); })
        .def_property_readonly("measured", [](const PyObservation& s) { return s.o.measured; })
        .def_property_readonly("previous_control", [](const PyObservation& s) { return s.o.previous_control; })
        .def_property_readonly("sample_period", [](const PyObservation& s) { return s.o.sample_period; })
        .def_property_readonly("u_max", [](const PyObservation& s) { return s.o.u_max; })
        .def("__repr__", [](const PyObservation& s) {
            return "<veltrax.Observation sample=" + std::to_string(s.o.sample) + " time=" + std::to_string(s.o.time) +
                   " setpoint=" + std::to_string(s.o.setpoint) + " measured=" + std::to_string(s.o.measured) + ">";
        });
}

void register_plant(py::module_& m) {
    py::class_<PyPlant>(m, "Plant")
        .def(py::init(&make_plant), py::arg("settings"), py::arg("seed"), py::arg("setpoint") = py::none(),
             py::arg("models") = py::none(), py::arg("draw_seed") = 1, py::arg("individual") = 0)
        .def_property_readonly("disturbance",
                               [](PyPlant& self) { return locked(self, [](Plant& p) { return p.disturbance(); }); })
        .def("reset", [](PyPlant& self, long seed) { return locked(self, [&](Plant& p) { return seed ? p.reset(seed) : p.reset(); }); },
             py::arg("seed") = 0)
        .def("step", [](PyPlant& self, double u) { return locked(self, [&](Plant& p) { return p.step(u); }); },
             py::arg("control"))
        .def_property_readonly("time", [](PyPlant& self) { return locked(self, [](Plant& p) { return p.time(); }); })
        .def_property_readonly("setpoint", [](PyPlant& self) { return locked(self, [](Plant& p) { return p.setpoint(); }); })
        .def_property_readonly("process_output",
                               [](PyPlant& self) { return locked(self, [](Plant& p) { return p.process_output(); }); })
        .def_property_readonly("measured", [](PyPlant& self) { return locked(self, [](Plant& p) { return p.measured(); }); })
        .def_property_readonly("control", [](PyPlant& self) { return locked(self, [](Plant& p) { return p.control(); }); })
        .def_property_readonly("sums", [](PyPlant& self) { return locked(self, [](Plant& p) { return p.sums(); }); })
        .def("copy", &copy_plant)
        .def("save_state", [](PyPlant& self) {
            const std::vector<std::uint8_t> b = locked(self, [](Plant& p) { return p.save_state(); });
            return py::bytes(reinterpret_cast<const char*>(b.data()), b.size());
        })
        .def("load_state", [](PyPlant& self, const py::bytes& snapshot) {
            const std::string_view view = snapshot;
            const std::vector<std::uint8_t> bytes(view.begin(), view.end());
            locked(self, [&](Plant& p) {
                p.load_state(bytes);
                return 0;
            });
        }, py::arg("snapshot"));
    m.def("step_plants", &step_many, py::arg("plants"), py::arg("controls"));
}

}  // namespace

std::optional<PlantModels> plant_models_of(const std::optional<std::string>& json, std::uint64_t seed,
                                           std::uint64_t individual) {
    if (!json) return std::nullopt;
    std::optional<PlantModels> m = experiments::parse_plant_models(experiments::parse_json_strict(*json));
    if (!m) return std::nullopt;
    m->seed = seed;
    m->individual = individual;
    return m;
}

std::unique_ptr<Controller> controller_of(const py::object& setup) {
    if (py::isinstance<py::dict>(setup)) {
        const py::dict d = setup;
        const std::string kind = d["kind"].cast<std::string>();
        if (kind == "pid") return std::make_unique<PidController>(pid_of(d));
        if (kind == "adaptive")
            return std::make_unique<AdaptiveController>(static_cast<Build>(d["build"].cast<int>()),
                                                         d["threads"].cast<unsigned>());
        throw Error("veltrax:badController", "no built-in controller of kind '" + kind + "'");
    }
    return std::make_unique<PythonController>(setup);
}

bool is_python_controller(const Controller* controller) {
    return dynamic_cast<const PythonController*>(controller) != nullptr;
}

void register_control(py::module_& core) {
    register_observation(core);
    register_plant(core);
    core.def(
        "check_controller", [](const py::dict& setup) { controller_of(setup); }, py::arg("setup"),
        "Checks a built-in controller's dict as a simulation would take it.");
}

}  // namespace veltrax::python
