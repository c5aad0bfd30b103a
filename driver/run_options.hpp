// Options of one run. Only the set-point schedule changes results.
#pragma once

#include "driver/setpoint_schedule.hpp"

namespace veltrax {

// How the control move is searched. Both give the same bits; Literal
// evaluates the cost everywhere the search is written (a reference, about
// four times slower).
enum class SearchMethod { Product, Literal };

// Work of the move search, for benchmarks.
struct SearchCounts {
    long evaluations = 0;  // cost evaluations
    long powers = 0;       // power-function calls
};

struct RunOptions {
    // Threads of the move search; 0 takes VELTRAX_THREADS, else the hardware threads.
    unsigned threads = 0;
    SearchMethod search = SearchMethod::Product;
    // When set, the search adds its work here (slower).
    SearchCounts* counts = nullptr;
    // Called on the calling thread after every sample period with the periods
    // done and the total of the call.
    void (*progress)(void* context, long done, long total) = nullptr;
    void* progress_context = nullptr;
    // A set-point schedule of the user's instead of the built-in one (not
    // owned; must outlive the call).
    const SetpointSchedule* schedule = nullptr;
};

}  // namespace veltrax
