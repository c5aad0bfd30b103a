// SPDX-License-Identifier: LGPL-2.1-or-later
// A fixed team of threads that runs jobs of numbered work items, the calling
// thread included. Workers exist only while the team does: the destructor
// stops and joins them.
//
// Members claim items one at a time from the job word, which holds the job's
// generation beside its next unclaimed item, so a helper that wakes late can
// neither claim an item of a finished job nor run a later job's item with an
// earlier job's function. A member runs the job's function only with an item
// it claimed, and may claim more from within it. The caller works through the
// items too and then waits only for items that a helper has claimed and not
// yet finished: a helper that is not running claims nothing and delays
// nothing.
//
// On a busy machine a helper may still be descheduled while it holds items,
// and the caller then waits for it. So the caller keeps time: in windows of
// jobs on the team it compares the team's time with its own pace (its time
// per item over all items). While the team is not clearly faster, it runs
// the jobs alone, in stretches twice as long after each window the team
// loses, and tries the team again between them. A new team starts where the last one of the process left off, since
// the machine is the same. Which member runs an item never changes a result.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

namespace veltrax {

class SearchTeam {
public:
    // Starts threads - 1 helpers; those that cannot be started (a thread or
    // memory limit) are left out, so the team may be smaller, down to the
    // caller alone. Throws only std::bad_alloc, before any thread starts.
    explicit SearchTeam(unsigned threads);
    ~SearchTeam();
    SearchTeam(const SearchTeam&) = delete;
    SearchTeam& operator=(const SearchTeam&) = delete;

    // Members that run jobs, the caller included.
    unsigned size() const { return static_cast<unsigned>(workers_.size()) + 1; }

    static constexpr unsigned kMaxItems = 0xFFFF;

    // Further items of the current job for a member that is running one.
    class Claim {
    public:
        // Claims the next unclaimed item; false when none is left.
        bool next(unsigned& item);

        // Whether the caller runs this job alone (the team is paced out).
        bool alone() const { return team_ == nullptr; }

    private:
        friend class SearchTeam;
        Claim(SearchTeam* team, std::uint32_t generation, unsigned next, unsigned count)
            : team_(team), generation_(generation), next_(next), count_(count) {}
        SearchTeam* team_;          // null: the caller alone, items counted here
        std::uint32_t generation_;
        unsigned next_, count_;
        unsigned claimed_ = 0;
    };

    // Calls body(member, item) once for each item 0 .. items - 1 (at most
    // kMaxItems), spread over the members (0 is the caller), and returns
    // when all have returned.
    template <class Body>
    void run(unsigned items, Body& body) {
        run_erased(items, &invoke<Body>, &body);
    }

    // The same, but body(member, item, claim) may take further items with
    // claim.next and returns when it has finished every item it took.
    template <class Body>
    void run_claiming(unsigned items, Body& body) {
        run_erased(items, &invoke_claiming<Body>, &body);
    }

private:
    using Function = void (*)(void*, unsigned member, unsigned item, Claim& claim);

    template <class Body>
    static void invoke(void* body, unsigned member, unsigned item, Claim&) {
        (*static_cast<Body*>(body))(member, item);
    }
    template <class Body>
    static void invoke_claiming(void* body, unsigned member, unsigned item, Claim& claim) {
        (*static_cast<Body*>(body))(member, item, claim);
    }
    void run_erased(unsigned items, Function fn, void* context);
    // Claims the next item of the job of generation `generation`; false when
    // that job has none left (or a later job has replaced it).
    bool claim(std::uint32_t generation, unsigned& item);
    void worker_loop(unsigned member);
    // Spins briefly (the next job usually follows within microseconds), then
    // sleeps until `done` holds.
    template <class Done>
    void await(Done done);
    void wake_all();

    // Whether the next job runs on the team or on the caller alone.
    struct Pacing {
        bool alone = false;
        unsigned jobs_left = 0;         // of this window (team) or stretch (alone)
        unsigned alone_stretch = 0;     // jobs of the next stretch alone
        double team_ratio = 0.0;        // team time over the caller's alone, smoothed (0: not yet seen)
        double seconds = 0.0;           // of this window so far
        double own_pace_seconds = 0.0;  // the window's jobs at the caller's own pace
    };
    void run_alone(unsigned items, Function fn, void* context);
    void next_pacing(double seconds, double own_pace_seconds);
    Pacing pacing_;

    // Job word: generation (bits 32..63), next unclaimed item (16..31), item count (0..15).
    std::atomic<std::uint64_t> job_{0};
    std::atomic<std::uint32_t> finished_{0};  // items of the current job that helpers finished
    std::atomic<bool> stop_{false};
    Function fn_ = nullptr;
    void* context_ = nullptr;
    std::vector<std::thread> workers_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::atomic<int> sleepers_{0};
};

}  // namespace veltrax
