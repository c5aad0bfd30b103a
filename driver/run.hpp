// One gateway call of the simulation on plain arrays.
#pragma once

#include <cstddef>

#include "driver/arguments.hpp"
#include "driver/build.hpp"
#include "driver/simulation.hpp"

namespace veltrax {

// The five outputs, column-major, each with `rows` rows.
struct OutputViews {
    double* time = nullptr;        // N x 1
    double* trajectory = nullptr;  // N x 5
    double* theta = nullptr;       // N x (na + nb)
    double* search = nullptr;      // N x 5
    double* sums = nullptr;        // 3 x 1
};

struct OutputShape {
    std::size_t rows, cols;
};

// Shapes of outputs 0 .. 4 for a decoded call.
void output_shapes(const CallRequest& r, OutputShape shapes[5]);

struct RunOptions {
    // Threads for the move search; 0 takes VELTRAX_THREADS, else the hardware threads.
    unsigned threads = 0;
    // Called after every sample period with the periods done and the total.
    void (*progress)(void* context, long done, long total) = nullptr;
    void* progress_context = nullptr;
};

// Thread count that RunOptions{threads} resolves to.
unsigned resolve_threads(unsigned requested);

// Runs the call: run start, the N sample periods, the sums. The outputs must
// be zero-filled arrays of the shapes above.
void run_call(Build build, Simulation& sim, const CallRequest& request, const OutputViews& out,
              const RunOptions& options = {});

}  // namespace veltrax
