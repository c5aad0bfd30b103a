// veltrax._core: the C++ API for Python. Conversions only: NumPy arrays in
// and out of veltrax::Matrix, veltrax::Error raised as veltrax.Error, and the
// interpreter lock released while the simulation runs. The Python package
// (veltrax/__init__.py) shapes the inputs and names the outputs.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "api/veltrax.hpp"

namespace py = pybind11;
using veltrax::Matrix;

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

// (sample_count, a_order, b_order, gaussian_noise, builtin_model)
py::tuple info_tuple(const std::vector<Matrix>& inputs) {
    const veltrax::CallInfo info = veltrax::check_call(inputs);
    return py::make_tuple(info.sample_count, info.a_order, info.b_order, info.gaussian_noise, info.builtin_model);
}

veltrax::Build to_build(int build) {
    if (build < 1 || build > 3) throw py::value_error("build must be 1, 2 or 3, got " + std::to_string(build));
    return static_cast<veltrax::Build>(build);
}

// Runs `work` on a helper thread with the interpreter lock released, while
// the calling thread looks for signals (Ctrl-C) every 50 ms. When a signal
// handler raises (KeyboardInterrupt), `stop` is set and the exception is
// raised once the work has ended. stopped() is the cancellation hook for
// RunOptions; until the core polls one, the work runs to its end.
class Interruptible {
public:
    std::atomic<bool> stop{false};

    static bool stopped(void* self) { return static_cast<Interruptible*>(self)->stop.load(); }

    template <class Work>
    void run(Work&& work) {
        std::exception_ptr failure;
        std::optional<py::error_already_set> interrupt;
        {
            py::gil_scoped_release release;
            std::mutex mutex;
            std::condition_variable finished;
            bool done = false;
            std::thread helper([&] {
                try {
                    work();
                } catch (...) {
                    failure = std::current_exception();
                }
                std::lock_guard<std::mutex> lock(mutex);
                done = true;
                finished.notify_one();
            });
            std::unique_lock<std::mutex> lock(mutex);
            while (!finished.wait_for(lock, std::chrono::milliseconds(50), [&] { return done; })) {
                if (interrupt) continue;
                lock.unlock();
                {
                    py::gil_scoped_acquire gil;
                    if (PyErr_CheckSignals() != 0) {
                        interrupt.emplace();  // takes the pending exception
                        stop = true;
                    }
                }
                lock.lock();
            }
            lock.unlock();
            helper.join();
        }
        if (interrupt) throw *interrupt;
        if (failure) std::rethrow_exception(failure);
    }
};

// One simulation; the lock keeps a second Python thread from entering it
// (or copying it) while a call runs with the interpreter lock released.
struct PySimulation {
    veltrax::Simulation sim;
    std::mutex busy;

    explicit PySimulation(veltrax::Build build) : sim(build) {}
    explicit PySimulation(const veltrax::Simulation& other) : sim(other) {}
};

py::tuple simulation_call(PySimulation& self, const std::vector<Array>& inputs, unsigned threads) {
    const std::vector<Matrix> in = to_matrices(inputs);
    veltrax::RunOptions options;
    options.threads = threads;
    std::vector<Matrix> out;
    Interruptible interruptible;
    interruptible.run([&] {
        std::lock_guard<std::mutex> lock(self.busy);
        out = self.sim.call(in, 5, options);
    });
    return py::make_tuple(to_arrays(std::move(out)), info_tuple(in));
}

std::unique_ptr<PySimulation> simulation_copy(PySimulation& self) {
    std::optional<veltrax::Simulation> copy;
    {
        py::gil_scoped_release release;
        std::lock_guard<std::mutex> lock(self.busy);
        copy.emplace(self.sim);
    }
    return std::make_unique<PySimulation>(*copy);
}

// Pickling: the bytes of the state-snapshot format, which name their build.
py::bytes simulation_save_state(PySimulation& self) {
    std::vector<std::uint8_t> bytes;
    {
        py::gil_scoped_release release;
        std::lock_guard<std::mutex> lock(self.busy);
        bytes = self.sim.save_state();
    }
    return py::bytes(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

std::unique_ptr<PySimulation> simulation_load_state(const py::bytes& snapshot) {
    const std::string_view view = snapshot;
    const std::vector<std::uint8_t> bytes(view.begin(), view.end());
    auto loaded = std::make_unique<PySimulation>(veltrax::check_snapshot(bytes).build);
    loaded->sim.load_state(bytes);
    return loaded;
}

// jobs: [(build, [[input arrays of a call], ...]), ...]
// returns per job ([outputs of every call that ran], [their call infos], None or (id, message))
py::list batch(const std::vector<std::pair<int, std::vector<std::vector<Array>>>>& jobs, unsigned threads) {
    std::vector<veltrax::BatchJob> batch_jobs;
    batch_jobs.reserve(jobs.size());
    for (const auto& [build, calls] : jobs) {
        veltrax::BatchJob job;
        job.build = to_build(build);
        for (const std::vector<Array>& call : calls) job.calls.push_back(to_matrices(call));
        batch_jobs.push_back(std::move(job));
    }
    std::vector<veltrax::BatchResult> results;
    Interruptible interruptible;
    interruptible.run([&] { results = veltrax::run_batch(batch_jobs, threads); });

    py::list out;
    for (std::size_t j = 0; j < results.size(); ++j) {
        veltrax::BatchResult& r = results[j];
        py::list outputs, infos;
        for (std::size_t c = 0; c < r.outputs.size(); ++c) {
            outputs.append(to_arrays(std::move(r.outputs[c])));
            infos.append(info_tuple(batch_jobs[j].calls[c]));
        }
        py::object error = py::none();
        if (!r.ok) error = py::make_tuple(r.error_id, r.error_message);
        out.append(py::make_tuple(outputs, infos, error));
    }
    return out;
}

py::array matprod(const Array& a, const Array& b) {
    const std::vector<Matrix> in{to_matrix(a), to_matrix(b)};
    std::optional<Matrix> r;
    {
        py::gil_scoped_release release;
        r.emplace(veltrax::call_matprod(in, 1));
    }
    return to_array(std::move(*r));
}

}  // namespace

PYBIND11_MODULE(_core, m) {
    m.doc() = "Compiled core of the veltrax package; use the package, not this module.";
    m.attr("__version__") = VELTRAX_VERSION;

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
        .def_property_readonly("build", [](const PySimulation& self) { return static_cast<int>(self.sim.build()); })
        .def("call", &simulation_call, py::arg("inputs"), py::arg("threads") = 0u,
             "Runs one call on the 2-D float64 inputs: ([t, trajectory, theta, search, sums], info).")
        .def("copy", &simulation_copy, "A branch: continues exactly as this simulation would.")
        .def("save_state", &simulation_save_state)
        .def_static("load_state", &simulation_load_state, py::arg("snapshot"));

    m.def("run_batch", &batch, py::arg("jobs"), py::arg("threads") = 0u);
    m.def("matprod", &matprod, py::arg("a"), py::arg("b"));
}
