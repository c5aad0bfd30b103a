// SPDX-License-Identifier: LGPL-2.1-or-later
// One gateway call of the simulation on plain arrays: the runner that the
// plug-ins, the C++ API, the tests, the benchmarks and the fuzz target share.
#pragma once

#include <cstdint>
#include <memory>
#include <new>

#include "driver/arguments.hpp"
#include "driver/build.hpp"
#include "driver/outputs.hpp"
#include "driver/run_options.hpp"
#include "driver/simulation.hpp"

namespace veltrax {

// Thread count that RunOptions{threads} resolves to. A VELTRAX_THREADS that
// is not a positive integer is reported through options.warning
// (veltrax:badThreadCount) and ignored.
unsigned resolve_threads(unsigned requested, const core::RunOptions& options = {});

// Total bytes of outputs of these shapes.
std::uint64_t output_bytes(const OutputShape (&shapes)[kOutputCount]);

// Throws veltrax:outOfMemory when outputs of `bytes` for `samples` sample
// periods are larger than the memory this process can still take.
void check_output_memory(long samples, std::uint64_t bytes);

// The veltrax:outOfMemory error for outputs that could not be allocated.
[[noreturn]] void throw_out_of_memory(long samples, std::uint64_t bytes);

// Output storage is zeroed in stretches of this many doubles with a
// poll_before_run between two of them: fresh memory costs a page fault per
// 4 kB, a second or more for the 136 MB of a million-sample call on a busy
// machine.
constexpr std::size_t kZeroFillStretch = std::size_t{1} << 18;

// Throws veltrax:interrupted when RunOptions::cancelled says so, for a call
// of `samples` sample periods that has not changed the state yet.
void poll_before_run(const core::RunOptions& options, long samples);

// Runs a decoded call: run start, the N sample periods, the sums. The
// outputs must be zero-filled arrays of the shapes of output_shapes(). A run
// that ends with an error (interrupted) leaves `sim` as it was.
void run_call(core::Build build, SimulationState& sim, const CallRequest& request, const OutputViews& out,
              const core::RunOptions& options = {});

// The adaptive controller of a build alone, for a loop run elsewhere (with
// the plant stepped by its caller). Its state is the controller's part of a
// SimulationState, which the caller keeps.
class AdaptiveStepper {
public:
    AdaptiveStepper(core::Build build, unsigned threads);
    ~AdaptiveStepper();
    AdaptiveStepper(const AdaptiveStepper&) = delete;
    AdaptiveStepper& operator=(const AdaptiveStepper&) = delete;

    // The controller's part of a call's run start, for `config`.
    void start(SimulationState& s, const RunConfig& config) const;
    // u(t) from the measurement of the sample period that starts at `time`,
    // the controller's histories moved on; `schedule` null: the built-in one.
    double control(SimulationState& s, double time, double measured, const core::SetpointSchedule* schedule);

private:
    struct Impl;
    core::Build build_;
    std::unique_ptr<Impl> impl_;
};

// The outputs of a call of `config` from `allocate` (below), after checking
// that they fit into memory; `adaptive` as output_shapes takes it.
template <class Allocate>
OutputViews allocate_outputs(const RunConfig& config, bool adaptive, Allocate&& allocate) {
    OutputShape shapes[kOutputCount];
    output_shapes(config, shapes, adaptive);
    const std::uint64_t bytes = output_bytes(shapes);
    check_output_memory(config.sample_count, bytes);
    try {
        return allocate(shapes);
    } catch (const std::bad_alloc&) {
        throw_out_of_memory(config.sample_count, bytes);
    }
}

// The whole gateway call of a checked request: checks that the five outputs
// fit into memory and asks `allocate` for them, then runs the call on `sim`.
//   allocate(const OutputShape (&shapes)[kOutputCount]) -> OutputViews
// returns zero-filled storage of these shapes, filling nothing before all
// five exist, or throws std::bad_alloc. A rejected call throws
// core::Error before anything is allocated or changed.
template <class Allocate>
void run_gateway_call(core::Build build, SimulationState& sim, const CallRequest& request, Allocate&& allocate,
                      const core::RunOptions& options = {}) {
    if (options.schedule) check_setpoint_schedule(*options.schedule);
    run_call(build, sim, request, allocate_outputs(request.config, true, allocate), options);
}

}  // namespace veltrax
