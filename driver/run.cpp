#include "driver/run.hpp"

#include <cstdlib>
#include <thread>

#include "driver/sample_loop.hpp"
#include "driver/search.hpp"

namespace veltrax {

void output_shapes(const CallRequest& r, OutputShape shapes[5]) {
    const std::size_t n = static_cast<std::size_t>(r.sample_count);
    shapes[0] = {n, 1};
    shapes[1] = {n, 5};
    shapes[2] = {n, static_cast<std::size_t>(r.a_order + r.b_order)};
    shapes[3] = {n, 5};
    shapes[4] = {3, 1};
}

unsigned resolve_threads(unsigned requested) {
    constexpr unsigned kLimit = 64;
    unsigned threads = requested;
    if (threads == 0) {
        if (const char* env = std::getenv("VELTRAX_THREADS")) {
            char* end = nullptr;
            const long v = std::strtol(env, &end, 10);
            if (end != env && *end == '\0' && v > 0) threads = static_cast<unsigned>(v > kLimit ? kLimit : v);
        }
    }
    if (threads == 0) threads = std::thread::hardware_concurrency();
    if (threads == 0) threads = 1;
    return threads > kLimit ? kLimit : threads;
}

namespace {

template <Build B>
void run_build(Simulation& sim, const CallRequest& request, const OutputViews& out, const RunOptions& options) {
    start_run<B>(sim, request);
    if (request.sample_count > 0) {
        FastSearch<> search(resolve_threads(options.threads));
        run_samples<B>(sim, out, search, options);
    }
    write_sums<B>(sim, out);
}

}  // namespace

void run_call(Build build, Simulation& sim, const CallRequest& request, const OutputViews& out,
              const RunOptions& options) {
    switch (build) {
        case Build::V1: run_build<Build::V1>(sim, request, out, options); break;
        case Build::V2: run_build<Build::V2>(sim, request, out, options); break;
        case Build::V3: run_build<Build::V3>(sim, request, out, options); break;
    }
}

}  // namespace veltrax
