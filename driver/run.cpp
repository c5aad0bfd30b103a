#include "driver/run.hpp"

#include <cstdlib>
#include <thread>

#include "driver/literal_search.hpp"
#include "driver/sample_loop.hpp"
#include "driver/search.hpp"

namespace veltrax {

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

template <Build B, class Search>
void run_with(SimulationState& sim, const CallRequest& request, const OutputViews& out, Search& search,
              const RunOptions& options) {
    start_run<B>(sim, request);
    run_samples<B>(sim, out, search, options);
    write_sums(sim, out);
    if (options.counts) {
        options.counts->evaluations += search.counts.evaluations;
        options.counts->powers += search.counts.powers;
    }
}

template <Build B>
void run_build(SimulationState& sim, const CallRequest& request, const OutputViews& out, const RunOptions& options) {
    if (options.search == SearchMethod::Literal) {
        if (options.counts) {
            LiteralSearch<true> search;
            run_with<B>(sim, request, out, search, options);
        } else {
            LiteralSearch<false> search;
            run_with<B>(sim, request, out, search, options);
        }
        return;
    }
    // The team starts before the state changes; a call without samples needs none.
    const unsigned threads = request.config.sample_count > 0 ? resolve_threads(options.threads) : 1;
    if (options.counts) {
        ProductSearch<true> search(threads);
        run_with<B>(sim, request, out, search, options);
    } else {
        ProductSearch<false> search(threads);
        run_with<B>(sim, request, out, search, options);
    }
}

}  // namespace

void run_call(Build build, SimulationState& sim, const CallRequest& request, const OutputViews& out,
              const RunOptions& options) {
    switch (build) {
        case Build::Preview: run_build<Build::Preview>(sim, request, out, options); break;
        case Build::Base: run_build<Build::Base>(sim, request, out, options); break;
        case Build::PreviewHold: run_build<Build::PreviewHold>(sim, request, out, options); break;
    }
}

}  // namespace veltrax
