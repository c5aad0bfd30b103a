// SPDX-License-Identifier: LGPL-2.1-or-later
// The fast control-move search, the one every call runs: 100 unit starting
// brackets, each walked downhill and refined by golden section, the strictly
// lowest cost winning (the earliest start on a tie; a NaN cost replaces the
// best, as does any cost once the best is NaN).
//
// Results are those of the literal search (driver/literal_search.hpp) with
// less work: the cost uses a per-sample table (CostTable), the integer end
// points shared by neighbouring starts are evaluated once, the golden section
// reuses the bracket's value at its middle point, and the cost at the found
// abscissa is the value the golden section already returns. The starts run on
// a team of threads, five starts to a chunk; each start keeps its result in
// its own slot and the winner is chosen in the order of the starts, so any
// thread count gives the same move.
//
// Where the vector power function has a path (vpow::pow_path() AVX2 or
// AVX-512), each member of the team runs its starts in lock-step lanes
// (driver/lockstep_search.hpp), with the same bits for every start; otherwise,
// and when counting work, one start after another (search_chunk).
#pragma once

#include <cmath>
#include <vector>

#include "controller/cost.hpp"
#include "driver/build_traits.hpp"
#include "driver/lockstep_search.hpp"
#include "driver/run_options.hpp"
#include "driver/sample_loop.hpp"
#include "driver/search_starts.hpp"
#include "driver/search_team.hpp"
#include "driver/simulation.hpp"
#include "numeric/minimiser.hpp"

namespace veltrax {

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
class FastSearch {
public:
    // path: the power-function path whose lanes the search uses (the scalar
    // search for Scalar or a path not usable here, and always when counting).
    explicit FastSearch(unsigned threads, vpow::PowPath path = vpow::pow_path())
        : team_(threads), lanes_(Counting ? 0 : lockstep_lanes(path)) {
        if (lanes_ > 0)
            members_.assign(team_.size(), LockstepLanes(lanes_, vpow::table_access(path), lanes_per_member()));
    }

    template <core::Build B>
    MoveChoice find_move(SimulationState& s) {
        double reference[kHorizonEnd];
        cost_reference<B>(s, reference);
        table_ = make_cost_table(s.prediction, reference, s.config.control_weight, s.config.hill_exponent,
                                 s.config.hill_midpoint);
        search_starts();

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

    // Searches every start on the cost table t; returns the outcomes by start
    // index (for tests).
    const StartOutcome* outcomes_on(const CostTable& t) {
        table_ = t;
        search_starts();
        return outcomes_;
    }

    // Lanes of the lock-step search, 0 for the scalar search.
    int lanes() const { return lanes_; }

    SearchCounts counts;

private:
    static constexpr unsigned kMaxMembers = 64;

    // Each member runs its share of the starts all at once (in chunks), so
    // that no start waits for a lane: a sample then takes the steps of its
    // longest start and no more, and the last steps, which few lanes share,
    // are few.
    int lanes_per_member() const {
        const int members = static_cast<int>(team_.size());
        const int share = (kSearchStarts + members - 1) / members;
        return (share + kStartsPerChunk - 1) / kStartsPerChunk * kStartsPerChunk;
    }

    void search_starts() {
        if (lanes_ > 0) {
            auto body = [this](unsigned member, unsigned chunk, SearchTeam::Claim& more) {
                members_[member].run(table_, chunk, more, outcomes_);
            };
            team_.run_claiming(kSearchChunks, body);
        } else {
            auto body = [this](unsigned member, unsigned chunk) { work(member, static_cast<int>(chunk)); };
            team_.run(kSearchChunks, body);
        }
    }

    void work(unsigned member, int chunk) {
        if constexpr (Counting) {
            SearchCounts& mine = member_counts_[member];
            auto cost = [this, &mine](double du) {
                ++mine.evaluations;
                const bool finite = std::isfinite(du);
                for (int k = finite ? table_.first_moving : 0; k < kHorizonEnd; ++k)
                    if (!(table_.step_coef[k] * du + table_.free_response[k] <= 0.0)) ++mine.powers;
                return evaluate_cost(table_, du);
            };
            search_chunk(chunk, cost, outcomes_);
        } else {
            (void)member;
            auto cost = [this](double du) { return evaluate_cost(table_, du); };
            search_chunk(chunk, cost, outcomes_);
        }
    }

    SearchTeam team_;
    int lanes_;
    std::vector<LockstepLanes> members_;  // one per member of the team
    CostTable table_{};
    StartOutcome outcomes_[kSearchStarts]{};
    SearchCounts member_counts_[Counting ? kMaxMembers : 1]{};
};

}  // namespace veltrax
