// Host-free interface: the gateway calls on plain matrices, for programs,
// tests and the command-line tool.
//
//   veltrax::Simulation sim;               // one loaded plug-in's state
//   auto out = veltrax::call_gateway(veltrax::Build::V2, sim,
//       {params, num, den, curve});        // five output matrices
//
// Failures are thrown as veltrax::Error with the identifier and message the
// plug-ins report.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "driver/build.hpp"
#include "driver/errors.hpp"
#include "driver/run.hpp"
#include "driver/simulation.hpp"

namespace veltrax {

// Real double matrix, column-major.
struct Matrix {
    std::size_t rows = 0;
    std::size_t cols = 0;
    std::vector<double> data;

    Matrix() = default;
    Matrix(std::size_t r, std::size_t c) : rows(r), cols(c), data(r * c, 0.0) {}
    Matrix(std::size_t r, std::size_t c, std::vector<double> values);
    static Matrix row(std::initializer_list<double> values);
    static Matrix column(std::initializer_list<double> values);

    std::size_t numel() const { return data.size(); }
    double& operator()(std::size_t i, std::size_t j) { return data[i + rows * j]; }
    double operator()(std::size_t i, std::size_t j) const { return data[i + rows * j]; }
};

// Runs one call of the given build on `sim`, as the plug-in would with these
// inputs and nlhs requested outputs; returns max(1, nlhs) outputs. The whole
// simulation runs whatever nlhs is.
std::vector<Matrix> call_gateway(Build build, Simulation& sim, const std::vector<Matrix>& inputs, int nlhs = 5,
                                 const RunOptions& options = {});

// The matrix-product plug-in.
Matrix call_matprod(const std::vector<Matrix>& inputs, int nlhs = 1);

// A sequence of calls in one fresh simulation.
struct BatchJob {
    Build build = Build::V2;
    std::vector<std::vector<Matrix>> calls;
};

struct BatchResult {
    std::vector<std::vector<Matrix>> outputs;  // one entry per call that ran
    bool ok = true;
    std::string error_id;       // of the first failing call; later calls do not run
    std::string error_message;
};

// Runs independent jobs on up to `threads` threads (0: VELTRAX_THREADS or the
// hardware threads), each on its own simulation with a one-thread search.
// Results equal running the jobs one after another.
std::vector<BatchResult> run_batch(const std::vector<BatchJob>& jobs, unsigned threads = 0);

// A fresh simulation, as after loading a plug-in.
std::unique_ptr<Simulation> make_simulation();

}  // namespace veltrax
