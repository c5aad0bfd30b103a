// SPDX-License-Identifier: LGPL-2.1-or-later
#include "driver/run.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "driver/errors.hpp"
#include "driver/literal_search.hpp"
#include "driver/open_loop.hpp"
#include "driver/sample_loop.hpp"
#include "driver/search.hpp"
#include "platform/resources.hpp"

namespace veltrax {
namespace {

constexpr unsigned kMaxThreads = 64;
// Outputs up to this size are allocated without asking for the memory first.
constexpr std::uint64_t kUncheckedOutputBytes = std::uint64_t{1} << 20;

void warn(const core::RunOptions& options, const char* id, const std::string& message) {
    if (options.warning) {
        options.warning(options.warning_context, id, message.c_str());
        return;
    }
    static std::atomic<bool> printed{false};
    if (!printed.exchange(true)) std::fprintf(stderr, "warning: %s: %s\n", id, message.c_str());
}

// A positive decimal integer; one beyond the range reads as the largest.
bool parse_thread_count(const char* text, unsigned long& value) {
    if (*text == '\0') return false;
    for (const char* c = text; *c; ++c)
        if (*c < '0' || *c > '9') return false;
    errno = 0;
    value = std::strtoul(text, nullptr, 10);
    if (errno == ERANGE) value = ULONG_MAX;
    return value > 0;
}

std::string samples_need(long samples, std::uint64_t bytes) {
    return "the outputs of " + std::to_string(samples) + " sample periods need " + platform::describe_bytes(bytes);
}

}  // namespace

unsigned resolve_threads(unsigned requested, const core::RunOptions& options) {
    if (requested > 0) return std::min(requested, kMaxThreads);
    const unsigned cpus = std::min(platform::usable_cpus(), kMaxThreads);
    const char* env = std::getenv("VELTRAX_THREADS");
    if (!env) return cpus;
    unsigned long value = 0;
    if (parse_thread_count(env, value)) return static_cast<unsigned>(std::min<unsigned long>(value, cpus));
    std::string shown(env);
    if (shown.size() > 40) shown = shown.substr(0, 37) + "...";
    warn(options, "veltrax:badThreadCount",
         "VELTRAX_THREADS='" + shown + "' is not a positive integer; using " + std::to_string(cpus) +
             (cpus == 1 ? " thread (the CPU" : " threads (the CPUs") + " this process may run on)");
    return cpus;
}

std::uint64_t output_bytes(const OutputShape (&shapes)[kOutputCount]) {
    std::uint64_t total = 0;
    for (const OutputShape& s : shapes) {
        std::uint64_t elements = 0, bytes = 0;
        if (__builtin_mul_overflow(s.rows, s.cols, &elements) ||
            __builtin_mul_overflow(elements, sizeof(double), &bytes) || __builtin_add_overflow(total, bytes, &total))
            return UINT64_MAX;
    }
    return total;
}

void check_output_memory(long samples, std::uint64_t bytes) {
    if (bytes <= kUncheckedOutputBytes) return;
    const std::uint64_t available = platform::available_memory();
    if (bytes > SIZE_MAX || bytes > available) {
        std::string message = samples_need(samples, bytes) + "; not enough memory";
        if (available != platform::kUnknownMemory)
            message += " (" + platform::describe_bytes(available) + " available)";
        throw core::Error("veltrax:outOfMemory", message);
    }
}

void poll_before_run(const core::RunOptions& options, long samples) {
    if (options.cancelled && options.cancelled(options.cancel_context))
        throw core::Error("veltrax:interrupted", "interrupted before sample period 1 of " + std::to_string(samples) +
                                               "; the state is as before the call");
}

void throw_out_of_memory(long samples, std::uint64_t bytes) {
    throw core::Error("veltrax:outOfMemory", samples_need(samples, bytes) + "; not enough memory");
}

void throw_interrupted(long sample, long total) {
    throw core::Error("veltrax:interrupted", "interrupted in sample period " + std::to_string(sample + 1) + " of " +
                                           std::to_string(total) + "; the state is as before the call");
}

void throw_bad_control(double u, long sample) {
    const char* value = std::isnan(u) ? "NaN" : u > 0 ? "Inf" : "-Inf";
    throw core::Error("veltrax:badControl", std::string("the controller returned ") + value + " in sample period " +
                                                std::to_string(sample + 1) + "; a control must be a finite number");
}

namespace {

template <core::Build B, class Search>
void run_with(SimulationState& sim, const CallRequest& request, const OutputViews& out, Search& search,
              const core::RunOptions& options) {
    start_run<B>(sim, request);
    AdaptiveLoopController<B, Search> controller(search, options.schedule);
    run_samples(sim, out, controller, options);
    write_sums(sim, out);
    if (options.counts) {
        options.counts->evaluations += search.counts.evaluations;
        options.counts->powers += search.counts.powers;
    }
}

// The power-function path whose lanes the fast search runs.
vpow::PowPath search_path(SearchLanes lanes) {
    switch (lanes) {
        case SearchLanes::Scalar: return vpow::PowPath::Scalar;
        case SearchLanes::Avx2:
            return vpow::pow_path_usable(vpow::PowPath::Avx2) ? vpow::PowPath::Avx2 : vpow::PowPath::Scalar;
        case SearchLanes::Widest: break;
    }
    return vpow::pow_path();
}

template <core::Build B>
void run_build(SimulationState& sim, const CallRequest& request, const OutputViews& out, const core::RunOptions& options) {
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
    const unsigned threads = request.config.sample_count > 0 ? resolve_threads(options.threads, options) : 1;
    if (options.counts) {
        FastSearch<true> search(threads);
        run_with<B>(sim, request, out, search, options);
    } else {
        FastSearch<false> search(threads, search_path(options.lanes));
        run_with<B>(sim, request, out, search, options);
    }
}

}  // namespace

struct AdaptiveStepper::Impl {
    explicit Impl(unsigned threads) : search(resolve_threads(threads)) {}
    FastSearch<false> search;
};

AdaptiveStepper::AdaptiveStepper(core::Build build, unsigned threads)
    : build_(build), impl_(std::make_unique<Impl>(threads)) {}

AdaptiveStepper::~AdaptiveStepper() = default;

void AdaptiveStepper::start(SimulationState& s, const RunConfig& config) const {
    s.config = config;
    switch (build_) {
        case core::Build::Preview: start_controller<core::Build::Preview>(s); break;
        case core::Build::Base: start_controller<core::Build::Base>(s); break;
        case core::Build::PreviewHold: start_controller<core::Build::PreviewHold>(s); break;
    }
}

namespace {

template <core::Build B>
double adaptive_step(SimulationState& s, FastSearch<false>& search, double time, double measured,
                     const core::SetpointSchedule* schedule) {
    AdaptiveLoopController<B, FastSearch<false>> controller(search, schedule);
    s.run.sim_time = time;
    SampleValues x;
    x.y = measured;
    const double u = controller.control(s, 0, x);
    controller.end_sample(s);
    return u;
}

}  // namespace

double AdaptiveStepper::control(SimulationState& s, double time, double measured,
                                const core::SetpointSchedule* schedule) {
    switch (build_) {
        case core::Build::Preview: return adaptive_step<core::Build::Preview>(s, impl_->search, time, measured, schedule);
        case core::Build::Base: return adaptive_step<core::Build::Base>(s, impl_->search, time, measured, schedule);
        case core::Build::PreviewHold:
            return adaptive_step<core::Build::PreviewHold>(s, impl_->search, time, measured, schedule);
    }
    return 0.0;
}

void run_call(core::Build build, SimulationState& sim, const CallRequest& request, const OutputViews& out,
              const core::RunOptions& options) {
    const SimulationState before = sim;
    try {
        switch (build) {
            case core::Build::Preview: run_build<core::Build::Preview>(sim, request, out, options); break;
            case core::Build::Base: run_build<core::Build::Base>(sim, request, out, options); break;
            case core::Build::PreviewHold: run_build<core::Build::PreviewHold>(sim, request, out, options); break;
        }
    } catch (...) {
        sim = before;
        throw;
    }
}

}  // namespace veltrax
