// SPDX-License-Identifier: LGPL-2.1-or-later
// veltrax._core.sensitivity. Conversions only: the designs, the estimators
// and the tuning are the experiments library's, as the tool runs them; the
// package (veltrax/sensitivity.py, veltrax/tuning.py) checks the arguments
// and names the results.
#include "python/src/sensitivity_module.hpp"

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "api/veltrax.hpp"
#include "experiments/design.hpp"
#include "experiments/scenario.hpp"
#include "experiments/sensitivity_analysis.hpp"
#include "experiments/sensitivity_design.hpp"
#include "experiments/sweep_sensitivity.hpp"
#include "experiments/tuning.hpp"
#include "python/src/interruptible.hpp"

namespace py = pybind11;
using namespace veltrax;
using namespace veltrax::experiments;
using veltrax::python::Interruptible;

namespace {

using Values = py::array_t<double, py::array::c_style | py::array::forcecast>;

py::array_t<double> rows_of(std::size_t runs, std::size_t d, const std::function<double(std::size_t, std::size_t)>& at) {
    py::array_t<double> out({runs, d});
    auto m = out.mutable_unchecked<2>();
    for (std::size_t r = 0; r < runs; ++r)
        for (std::size_t i = 0; i < d; ++i) m(r, i) = at(r, i);
    return out;
}

void check_sizes(DesignMethod method, std::size_t samples, std::size_t d) {
    const bool sobol = method == DesignMethod::sobol;
    const std::uint64_t minimum = sobol ? kMinSobolSamples : kMinMorrisTrajectories;
    if (d == 0) throw Error("veltrax:badDesign", "problem['names'] is empty");
    if (sobol && d > kMaxSobolInputs)
        throw Error("veltrax:badDesign", "the sobol design takes at most " + std::to_string(kMaxSobolInputs) +
                                             " inputs, got " + std::to_string(d));
    if (samples < minimum)
        throw Error("veltrax:badDesign", std::string(sobol ? "n" : "trajectories") + " must be at least " +
                                             std::to_string(minimum) + " for the " + design_method_name(method) +
                                             " design, got " + std::to_string(samples));
    if (samples > kMaxDesignRuns || samples * (d + 2) > kMaxDesignRuns)
        throw Error("veltrax:badDesign", "the design has more than " + std::to_string(kMaxDesignRuns) + " runs");
}

std::vector<double> outputs(const Values& y, std::size_t runs) {
    if (y.ndim() != 1 || static_cast<std::size_t>(y.shape(0)) != runs)
        throw Error("veltrax:badDesign", "the model must return one value per run: " + std::to_string(runs) +
                                             " values, got shape (" + std::to_string(y.ndim() ? y.shape(0) : 0) + ")");
    return std::vector<double>(y.data(), y.data() + runs);
}

py::array_t<double> sobol_points(std::size_t n, std::size_t d, std::uint64_t seed) {
    check_sizes(DesignMethod::sobol, n, d);
    const SaltelliDesign s = saltelli_design(n, d, seed);
    return rows_of(s.runs(), d, [&](std::size_t r, std::size_t i) { return s.at(r, i); });
}

py::array_t<double> morris_points(std::size_t r, std::size_t d, int levels, std::uint64_t seed) {
    check_sizes(DesignMethod::morris, r, d);
    const MorrisDesign m = morris_design(r, d, levels, seed);
    return rows_of(m.runs(), d, [&](std::size_t k, std::size_t i) { return m.at(k, i); });
}

BootstrapOptions bootstrap(std::size_t resamples, double confidence, std::uint64_t seed) {
    if (!(confidence > 0.0 && confidence < 1.0))
        throw Error("veltrax:badDesign", "confidence must lie between 0 and 1, got " + std::to_string(confidence));
    return {resamples, confidence, seed};
}

py::dict sobol(const Values& y, std::size_t n, std::size_t d, std::size_t resamples, double confidence,
               std::uint64_t seed) {
    check_sizes(DesignMethod::sobol, n, d);
    const SobolIndices s = sobol_indices(n, d, outputs(y, n * (d + 2)), bootstrap(resamples, confidence, seed));
    py::dict out;
    out["S1"] = s.S1;
    out["S1_conf"] = s.S1_conf;
    out["ST"] = s.ST;
    out["ST_conf"] = s.ST_conf;
    out["used"] = s.groups_used;
    out["dropped"] = s.groups_dropped;
    return out;
}

py::dict morris(const Values& y, std::size_t r, std::size_t d, int levels, std::uint64_t seed, std::size_t resamples,
                double confidence) {
    check_sizes(DesignMethod::morris, r, d);
    const MorrisDesign m = morris_design(r, d, levels, seed);
    const MorrisIndices i = morris_indices(m, outputs(y, m.runs()), bootstrap(resamples, confidence, seed));
    py::dict out;
    out["mu"] = i.mu;
    out["mu_star"] = i.mu_star;
    out["mu_star_conf"] = i.mu_star_conf;
    out["sigma"] = i.sigma;
    out["effects"] = i.effects;
    return out;
}

py::list analyze(const std::string& outdir) {
    py::list out;
    for (const DesignAnalysis& a : analyze_designs(outdir)) {
        py::dict d;
        d["scenario"] = a.scenario;
        d["design"] = design_json(a.design).dump();
        d["ok"] = a.ok;
        py::dict metrics;
        for (const MetricAnalysis& m : a.metrics) {
            py::dict v;
            v["finite"] = m.finite;
            if (a.design.method == DesignMethod::sobol) {
                v["S1"] = m.sobol.S1;
                v["S1_conf"] = m.sobol.S1_conf;
                v["ST"] = m.sobol.ST;
                v["ST_conf"] = m.sobol.ST_conf;
                v["used"] = m.sobol.groups_used;
                v["dropped"] = m.sobol.groups_dropped;
            } else {
                v["mu"] = m.morris.mu;
                v["mu_star"] = m.morris.mu_star;
                v["mu_star_conf"] = m.morris.mu_star_conf;
                v["sigma"] = m.morris.sigma;
                v["effects"] = m.morris.effects;
            }
            metrics[m.metric.c_str()] = v;
        }
        d["metrics"] = metrics;
        out.append(d);
    }
    return out;
}

// tune.json's content as JSON text.
std::string run_tune(const Scenario& s, const std::string& outdir, unsigned threads) {
    Interruptible interruptible;
    TuneOptions options;
    options.threads = threads;
    options.outdir = outdir;
    options.run.cancelled = &Interruptible::stopped;
    options.run.cancel_context = &interruptible;
    TuneResult result;
    interruptible.run([&] { result = tune(s, options); });
    return tune_json(result).dump();
}

}  // namespace

void register_sensitivity(py::module_& core) {
    py::module_ m = core.def_submodule("sensitivity", "Sensitivity designs, indices and tuning; use veltrax.sensitivity.");
    m.attr("MIN_SOBOL_SAMPLES") = kMinSobolSamples;
    m.attr("MIN_MORRIS_TRAJECTORIES") = kMinMorrisTrajectories;
    m.attr("MAX_SOBOL_INPUTS") = kMaxSobolInputs;
    m.def("sobol_points", &sobol_points, py::arg("n"), py::arg("d"), py::arg("seed"));
    m.def("morris_points", &morris_points, py::arg("r"), py::arg("d"), py::arg("levels"), py::arg("seed"));
    m.def("sobol", &sobol, py::arg("y"), py::arg("n"), py::arg("d"), py::arg("resamples"), py::arg("confidence"),
          py::arg("seed"));
    m.def("morris", &morris, py::arg("y"), py::arg("r"), py::arg("d"), py::arg("levels"), py::arg("seed"),
          py::arg("resamples"), py::arg("confidence"));
    m.def("analyze", &analyze, py::arg("outdir"));
    m.def("tune", &run_tune, py::arg("scenario"), py::arg("outdir"), py::arg("threads"));
}
