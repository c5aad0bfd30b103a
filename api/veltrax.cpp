#include "api/veltrax.hpp"

#include <algorithm>
#include <atomic>
#include <new>
#include <thread>

#include "driver/run.hpp"
#include "driver/simulation.hpp"
#include "matprod/matprod.hpp"

namespace veltrax {

Matrix::Matrix(std::size_t r, std::size_t c, std::vector<double> values) : rows(r), cols(c), data(std::move(values)) {
    if (data.size() != r * c) throw Error("veltrax:badMatrix", "matrix data does not match its shape");
}

Matrix Matrix::row(std::initializer_list<double> values) { return Matrix(1, values.size(), values); }

Matrix Matrix::column(std::initializer_list<double> values) { return Matrix(values.size(), 1, values); }

namespace {

struct InputViews {
    ArgView views[5];
    int nrhs;
    explicit InputViews(const std::vector<Matrix>& inputs) : nrhs(static_cast<int>(inputs.size())) {
        for (int i = 0; i < nrhs && i < 5; ++i) views[i] = {inputs[i].data.data(), inputs[i].rows, inputs[i].cols};
    }
};

// Outputs as matrices.
struct MatrixOutputs {
    std::vector<Matrix> matrices;
    OutputViews operator()(const OutputShape (&shapes)[kOutputCount]) {
        try {
            matrices.reserve(kOutputCount);
            for (const OutputShape& s : shapes) matrices.emplace_back(s.rows, s.cols);
        } catch (const std::bad_alloc&) {
            throw Error("veltrax:outOfMemory", "not enough memory for the outputs of " +
                                                   std::to_string(shapes[0].rows) + " sample periods");
        }
        return {matrices[0].data.data(), matrices[1].data.data(), matrices[2].data.data(), matrices[3].data.data(),
                matrices[4].data.data()};
    }
};

}  // namespace

CallInfo check_call(const std::vector<Matrix>& inputs, int nlhs) {
    const InputViews in(inputs);
    const RunConfig c = decode_call(in.nrhs, in.views, nlhs).config;
    CallInfo info;
    info.sample_count = c.sample_count;
    info.a_order = c.a_order;
    info.b_order = c.b_order;
    info.gaussian_noise = c.gaussian_noise;
    info.builtin_model = !c.linear_process;
    return info;
}

Simulation::Simulation(Build build) : build_(build), state_(std::make_unique<SimulationState>()) {}
Simulation::Simulation(const Simulation& other)
    : build_(other.build_), state_(std::make_unique<SimulationState>(*other.state_)) {}
Simulation& Simulation::operator=(const Simulation& other) {
    if (this != &other) {
        build_ = other.build_;
        *state_ = *other.state_;
    }
    return *this;
}
Simulation::Simulation(Simulation&&) noexcept = default;
Simulation& Simulation::operator=(Simulation&&) noexcept = default;
Simulation::~Simulation() = default;

std::vector<Matrix> Simulation::call(const std::vector<Matrix>& inputs, int nlhs, const RunOptions& options) {
    const InputViews in(inputs);
    MatrixOutputs out;
    run_gateway_call(build_, *state_, in.nrhs, in.views, nlhs, out, options);
    out.matrices.resize(static_cast<std::size_t>(std::max(1, nlhs)));
    return std::move(out.matrices);
}

Matrix call_matprod(const std::vector<Matrix>& inputs, int nlhs) {
    const int nrhs = static_cast<int>(inputs.size());
    const matprod::Problem problem =
        matprod::check_shapes(nrhs, nlhs, nrhs >= 2 ? inputs[0].cols : 0, nrhs >= 2 ? inputs[1].rows : 0);
    if (problem.id) throw Error(problem.id, problem.message);
    const Matrix& a = inputs[0];
    const Matrix& b = inputs[1];
    Matrix r(a.rows, b.cols);
    matprod::matrix_product(a.data.data(), b.data.data(), r.data.data(), a.rows, a.cols, b.rows, b.cols);
    return r;
}

std::vector<BatchResult> run_batch(const std::vector<BatchJob>& jobs, unsigned threads) {
    std::vector<BatchResult> results(jobs.size());
    std::atomic<std::size_t> next{0};
    auto worker = [&] {
        RunOptions one_thread;
        one_thread.threads = 1;
        for (;;) {
            const std::size_t j = next.fetch_add(1);
            if (j >= jobs.size()) return;
            BatchResult& result = results[j];
            try {
                Simulation sim(jobs[j].build);
                for (const std::vector<Matrix>& call : jobs[j].calls)
                    result.outputs.push_back(sim.call(call, 5, one_thread));
            } catch (const Error& e) {
                result.ok = false;
                result.error_id = e.id();
                result.error_message = e.what();
            } catch (const std::bad_alloc&) {
                result.ok = false;
                result.error_id = "veltrax:outOfMemory";
                result.error_message = "not enough memory";
            }
        }
    };
    const unsigned n = std::min<std::size_t>(resolve_threads(threads), std::max<std::size_t>(jobs.size(), 1));
    std::vector<std::thread> pool;
    for (unsigned t = 1; t < n; ++t) pool.emplace_back(worker);
    worker();
    for (std::thread& t : pool) t.join();
    return results;
}

}  // namespace veltrax
