// SPDX-License-Identifier: LGPL-2.1-or-later
// The move search exactly as written: for each of the 100 starts the bracket
// walk from the two integer end points, the golden section on its bracket,
// then one more evaluation of the cost at the abscissa found; every
// evaluation is the full cost, with its store into the set-point in the
// preview builds. The reference that the fast search is checked and
// measured against.
#pragma once

#include "driver/run_options.hpp"
#include "driver/sample_loop.hpp"
#include "driver/search_starts.hpp"
#include "numeric/minimiser.hpp"

namespace veltrax {

template <bool Counting = false>
class LiteralSearch {
public:
    template <core::Build B>
    MoveChoice find_move(SimulationState& s) {
        sim_ = &s;
        cost_ = &predictive_cost<B>;
        auto cost = [this](double du) {
            count(du);
            return cost_(*sim_, du);
        };
        double best = kInitialBestCost;
        double move = s.run.applied_move;
        for (int index = 0; index < kSearchStarts; ++index) {
            const int k = search_start_value(index);
            double a = k, b = k + 1, c, fa, fb, fc;
            bracket_minimum(&a, &b, &c, &fa, &fb, &fc, cost);
            double x;
            golden_section_minimise(a, b, c, cost, kSearchTolerance, &x);
            const double j = cost(x);
            if (!(j >= best)) {
                best = j;
                move = x;
            }
        }
        return {move, cost_at(move)};
    }

    double cost_at(double du) { return cost_(*sim_, du); }

    SearchCounts counts;

private:
    void count(double du) {
        if constexpr (Counting) {
            ++counts.evaluations;
            const PredictionState& p = sim_->prediction;
            for (int k = 0; k < kHorizonEnd; ++k)
                if (!(p.step_coef[k] * du + p.free_response[k] <= 0.0)) counts.powers += 2;
        } else {
            (void)du;
        }
    }

    SimulationState* sim_ = nullptr;
    double (*cost_)(SimulationState&, double) = nullptr;
};

}  // namespace veltrax
