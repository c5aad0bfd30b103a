#include "api/veltrax.hpp"

#include <algorithm>
#include <atomic>
#include <new>
#include <thread>

#include "matprod/matprod.hpp"

namespace veltrax {

Matrix::Matrix(std::size_t r, std::size_t c, std::vector<double> values) : rows(r), cols(c), data(std::move(values)) {
    if (data.size() != r * c) throw Error("veltrax:badMatrix", "matrix data does not match its shape");
}

Matrix Matrix::row(std::initializer_list<double> values) { return Matrix(1, values.size(), values); }

Matrix Matrix::column(std::initializer_list<double> values) { return Matrix(values.size(), 1, values); }

std::unique_ptr<Simulation> make_simulation() { return std::make_unique<Simulation>(); }

std::vector<Matrix> call_gateway(Build build, Simulation& sim, const std::vector<Matrix>& inputs, int nlhs,
                                 const RunOptions& options) {
    const int nrhs = static_cast<int>(inputs.size());
    ArgView views[5];
    for (int i = 0; i < nrhs && i < 5; ++i) views[i] = {inputs[i].data.data(), inputs[i].rows, inputs[i].cols};
    const CallRequest request = decode_call(nrhs, views, nlhs);

    OutputShape shapes[5];
    output_shapes(request, shapes);
    std::vector<Matrix> out;
    try {
        out.reserve(5);
        for (const OutputShape& s : shapes) out.emplace_back(s.rows, s.cols);
    } catch (const std::bad_alloc&) {
        throw Error("veltrax:outOfMemory", "not enough memory for the outputs of " +
                                               std::to_string(request.sample_count) + " sample periods");
    }
    const OutputViews views_out{out[0].data.data(), out[1].data.data(), out[2].data.data(), out[3].data.data(),
                                out[4].data.data()};
    run_call(build, sim, request, views_out, options);
    out.resize(static_cast<std::size_t>(std::max(1, nlhs)));
    return out;
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
                auto sim = make_simulation();
                for (const std::vector<Matrix>& call : jobs[j].calls)
                    result.outputs.push_back(call_gateway(jobs[j].build, *sim, call, 5, one_thread));
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
