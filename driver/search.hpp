// The control-move search of the product: 100 unit starting brackets, each
// walked downhill and refined by golden section, the strictly lowest cost
// winning (the earliest start on a tie; a NaN cost replaces the best, as does
// any cost once the best is NaN).
//
// Results are those of the literal search (driver/literal_search.hpp) with
// less work: the cost uses a per-sample table (CostTable), the integer end
// points shared by neighbouring starts are evaluated once, the golden section
// reuses the bracket's value at its middle point, and the cost at the found
// abscissa is the value the golden section already returns. The starts run on
// a team of threads; each keeps its result in its own slot and the winner is
// chosen in the order of the starts, so any thread count gives the same move.
#pragma once

#include <atomic>
#include <cmath>

#include "controller/cost.hpp"
#include "driver/build_traits.hpp"
#include "driver/run_options.hpp"
#include "driver/sample_loop.hpp"
#include "driver/search_starts.hpp"
#include "driver/search_team.hpp"
#include "driver/simulation.hpp"
#include "numeric/minimiser.hpp"

namespace veltrax {

constexpr int kStartsPerChunk = 5;
constexpr int kSearchChunks = kSearchStarts / kStartsPerChunk;

struct StartOutcome {
    double cost;
    double move;
};

// Searches the starts of one chunk; integer end points shared by consecutive
// starts are evaluated once.
template <class Cost>
inline void search_chunk(int chunk, Cost& cost, StartOutcome* outcomes) {
    bool have_next = false;
    double next_value = 0.0;
    int next_point = 0;
    for (int index = chunk * kStartsPerChunk; index < (chunk + 1) * kStartsPerChunk; ++index) {
        const int k = search_start_value(index);
        double a = k, b = k + 1, c, fa, fb, fc;
        fa = (have_next && next_point == k) ? next_value : cost(a);
        fb = cost(b);
        have_next = true;
        next_point = k + 1;
        next_value = fb;
        bracket_from(&a, &b, &c, &fa, &fb, &fc, cost);
        double x;
        const double j = golden_section_minimise_known(a, b, c, fb, cost, kSearchTolerance, &x);
        outcomes[index] = {j, x};
    }
}

template <bool Counting = false>
class ProductSearch {
public:
    explicit ProductSearch(unsigned threads) : team_(threads) {}

    template <Build B>
    MoveChoice find_move(SimulationState& s) {
        double reference[kHorizonEnd];
        cost_reference<B>(s, reference);
        table_ = make_cost_table(s.prediction, reference, s.config.control_weight, s.config.hill_exponent,
                                 s.config.hill_midpoint);
        next_chunk_.store(0, std::memory_order_relaxed);
        auto body = [this](unsigned member) { work(member); };
        team_.run(body);

        double best = kInitialBestCost;
        int winner = -1;
        for (int index = 0; index < kSearchStarts; ++index) {
            if (!(outcomes_[index].cost >= best)) {
                best = outcomes_[index].cost;
                winner = index;
            }
        }
        if constexpr (Counting) {
            counts.powers += 1;  // c^p of the table
            for (int k = 0; k < table_.first_moving; ++k) counts.powers += table_.free_response[k] > 0.0 ? 1 : 0;
            for (unsigned m = 0; m < team_.size() && m < kMaxMembers; ++m) {
                counts.evaluations += member_counts_[m].evaluations;
                counts.powers += member_counts_[m].powers;
                member_counts_[m] = {};
            }
        }
        if (winner < 0) return {s.run.applied_move, cost_at(s.run.applied_move)};
        return {outcomes_[winner].move, outcomes_[winner].cost};
    }

    double cost_at(double du) const { return evaluate_cost(table_, du); }

    SearchCounts counts;

private:
    static constexpr unsigned kMaxMembers = 64;

    void work(unsigned member) {
        if constexpr (Counting) {
            SearchCounts& mine = member_counts_[member];
            auto cost = [this, &mine](double du) {
                ++mine.evaluations;
                const bool finite = std::isfinite(du);
                for (int k = finite ? table_.first_moving : 0; k < kHorizonEnd; ++k)
                    if (!(table_.step_coef[k] * du + table_.free_response[k] <= 0.0)) ++mine.powers;
                return evaluate_cost(table_, du);
            };
            run_chunks(cost);
        } else {
            (void)member;
            auto cost = [this](double du) { return evaluate_cost(table_, du); };
            run_chunks(cost);
        }
    }

    template <class Cost>
    void run_chunks(Cost& cost) {
        for (;;) {
            const int chunk = next_chunk_.fetch_add(1, std::memory_order_relaxed);
            if (chunk >= kSearchChunks) return;
            search_chunk(chunk, cost, outcomes_);
        }
    }

    SearchTeam team_;
    CostTable table_{};
    StartOutcome outcomes_[kSearchStarts]{};
    std::atomic<int> next_chunk_{0};
    SearchCounts member_counts_[Counting ? kMaxMembers : 1]{};
};

}  // namespace veltrax
