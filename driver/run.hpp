// One gateway call of the simulation on plain arrays: the runner that the
// plug-ins, the C++ API, the tests, the benchmarks and the fuzz target share.
#pragma once

#include "driver/arguments.hpp"
#include "driver/build.hpp"
#include "driver/outputs.hpp"
#include "driver/run_options.hpp"
#include "driver/simulation.hpp"

namespace veltrax {

// Thread count that RunOptions{threads} resolves to.
unsigned resolve_threads(unsigned requested);

// Runs a decoded call: run start, the N sample periods, the sums. The
// outputs must be zero-filled arrays of the shapes of output_shapes().
void run_call(Build build, SimulationState& sim, const CallRequest& request, const OutputViews& out,
              const RunOptions& options = {});

// The whole gateway call: checks and decodes the nrhs inputs, asks
// `allocate` for the five outputs, then runs the call on `sim`.
//   allocate(const OutputShape (&shapes)[kOutputCount]) -> OutputViews
// returns zero-filled storage of these shapes (or throws). A rejected call
// throws veltrax::Error before anything is allocated or changed.
template <class Allocate>
void run_gateway_call(Build build, SimulationState& sim, int nrhs, const ArgView* args, int nlhs,
                      Allocate&& allocate, const RunOptions& options = {}) {
    const CallRequest request = decode_call(nrhs, args, nlhs);
    if (options.schedule) check_setpoint_schedule(*options.schedule);
    OutputShape shapes[kOutputCount];
    output_shapes(request.config, shapes);
    const OutputViews out = allocate(shapes);
    run_call(build, sim, request, out, options);
}

}  // namespace veltrax
