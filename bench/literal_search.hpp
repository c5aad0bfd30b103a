// The move search exactly as written: for each of the 100 starts the bracket
// walk from the two integer end points, the golden section on its bracket,
// then one more evaluation of the cost at the abscissa found; every
// evaluation is the full cost, with its store into the set-point in the
// preview builds. The reference that the product's search is measured and
// checked against.
#pragma once

#include "driver/sample_loop.hpp"
#include "driver/search.hpp"
#include "numeric/minimiser.hpp"

namespace veltrax {

template <bool Counting = false>
struct LiteralSearch {
    SearchCounts counts;

    template <Build B>
    void find_move(Simulation& s) {
        auto cost = [this, &s](double du) {
            if constexpr (Counting) {
                ++counts.evaluations;
                for (int k = 0; k < kHorizonEnd; ++k)
                    if (!(s.prediction.step_coef[k] * du + s.prediction.free_response[k] <= 0.0)) counts.powers += 2;
            }
            return predictive_cost<B>(s, du);
        };
        double best = kInitialBestCost;
        for (int k = -kStartsPerSide; k <= kStartsPerSide; ++k) {
            if (k == 0) continue;
            double a = k, b = k + 1, c, fa, fb, fc;
            bracket_minimum(&a, &b, &c, &fa, &fb, &fc, cost);
            double x;
            golden_section_minimise(a, b, c, cost, kSearchTolerance, &x);
            const double j = cost(x);
            if (!(j >= best)) {
                best = j;
                s.run.applied_move = x;
            }
        }
    }
};

// One call through the given search policy (run start, samples, sums).
template <Build B, class Search>
void run_call_with(Simulation& sim, const CallRequest& request, const OutputViews& out, Search& search,
                   const RunOptions& options = {}) {
    start_run<B>(sim, request);
    run_samples<B>(sim, out, search, options);
    write_sums<B>(sim, out);
}

}  // namespace veltrax
