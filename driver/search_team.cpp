// SPDX-License-Identifier: LGPL-2.1-or-later
#include "driver/search_team.hpp"

#include <algorithm>
#include <mutex>
#include <chrono>
#include <exception>

namespace veltrax {
namespace {

inline void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#else
    std::this_thread::yield();
#endif
}

constexpr std::uint64_t kOneItem = std::uint64_t{1} << 16;

// Jobs per window on the team, and the shortest and longest stretch alone.
constexpr unsigned kTeamWindow = 8;
constexpr unsigned kFirstStretch = 8;
constexpr unsigned kLongestStretch = 4096;
// The team keeps its place only when it is clearly faster than the caller alone.
constexpr double kClearWin = 0.9;

// Weight of the newest window in the team's ratio.
constexpr double kRatioWeight = 0.25;

// Where the last team of the process left its pacing, for the next team.
std::mutex g_pacing_mutex;
bool g_pacing_known = false;
bool g_alone = false;
unsigned g_jobs_left = 0, g_alone_stretch = 0;
double g_team_ratio = 0.0;

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

constexpr std::uint64_t job_word(std::uint32_t generation, unsigned items) {
    return (std::uint64_t{generation} << 32) | items;
}
constexpr std::uint32_t generation_of(std::uint64_t word) { return static_cast<std::uint32_t>(word >> 32); }
constexpr unsigned next_of(std::uint64_t word) { return static_cast<unsigned>(word >> 16) & 0xFFFF; }
constexpr unsigned count_of(std::uint64_t word) { return static_cast<unsigned>(word) & 0xFFFF; }

}  // namespace

template <class Done>
void SearchTeam::await(Done done) {
    for (int spin = 0; spin < 4000; ++spin) {
        if (done()) return;
        cpu_relax();
    }
    std::unique_lock<std::mutex> lock(mutex_);
    sleepers_.fetch_add(1, std::memory_order_seq_cst);
    wake_.wait(lock, done);
    sleepers_.fetch_sub(1, std::memory_order_relaxed);
}

// Whoever changes a word that a sleeper waits for takes the lock before
// notifying, so that no sleeper misses the change between its test and its wait.
void SearchTeam::wake_all() {
    if (sleepers_.load(std::memory_order_seq_cst) == 0) return;
    { std::lock_guard<std::mutex> lock(mutex_); }
    wake_.notify_all();
}

SearchTeam::SearchTeam(unsigned threads) {
    pacing_.jobs_left = kTeamWindow;
    pacing_.alone_stretch = kFirstStretch;
    {
        const std::lock_guard<std::mutex> lock(g_pacing_mutex);
        if (g_pacing_known) {
            pacing_.alone = g_alone;
            pacing_.jobs_left = g_jobs_left;
            pacing_.alone_stretch = g_alone_stretch;
            pacing_.team_ratio = g_team_ratio;
        }
    }
    const unsigned extra = threads > 1 ? threads - 1 : 0;
    workers_.reserve(extra);
    for (unsigned w = 0; w < extra; ++w) {
        try {
            workers_.emplace_back([this, w] { worker_loop(w + 1); });
        } catch (const std::exception&) {
            break;  // no more threads to be had: the members that started do the work
        }
    }
}

SearchTeam::~SearchTeam() {
    if (!workers_.empty()) {
        const std::lock_guard<std::mutex> lock(g_pacing_mutex);
        g_pacing_known = true;
        g_alone = pacing_.alone;
        g_jobs_left = pacing_.jobs_left;
        g_alone_stretch = pacing_.alone_stretch;
        g_team_ratio = pacing_.team_ratio;
    }
    stop_.store(true, std::memory_order_seq_cst);
    job_.store(job_word(generation_of(job_.load(std::memory_order_relaxed)) + 1, 0), std::memory_order_seq_cst);
    { std::lock_guard<std::mutex> lock(mutex_); }
    wake_.notify_all();
    for (std::thread& t : workers_) t.join();
}

bool SearchTeam::claim(std::uint32_t generation, unsigned& item) {
    std::uint64_t word = job_.load(std::memory_order_acquire);
    for (;;) {
        if (generation_of(word) != generation || next_of(word) >= count_of(word)) return false;
        if (job_.compare_exchange_weak(word, word + kOneItem, std::memory_order_acq_rel, std::memory_order_acquire)) {
            item = next_of(word);
            return true;
        }
    }
}

bool SearchTeam::Claim::next(unsigned& item) {
    if (team_ == nullptr) {
        if (next_ >= count_) return false;
        item = next_++;
        return true;
    }
    if (!team_->claim(generation_, item)) return false;
    ++claimed_;
    return true;
}

void SearchTeam::run_alone(unsigned items, Function fn, void* context) {
    Claim alone(nullptr, 0, 0, items);
    unsigned item = 0;
    while (alone.next(item)) fn(context, 0, item, alone);
}

// Only the caller publishes jobs, and only after the previous job's items
// have all finished; so a member that claimed an item of a generation reads
// that generation's function and context.
void SearchTeam::run_erased(unsigned items, Function fn, void* context) {
    if (workers_.empty()) return run_alone(items, fn, context);
    const auto start = std::chrono::steady_clock::now();
    if (pacing_.alone) {
        run_alone(items, fn, context);
        next_pacing(seconds_since(start), 0.0);
        return;
    }
    const std::uint32_t generation = generation_of(job_.load(std::memory_order_relaxed)) + 1;
    fn_ = fn;
    context_ = context;
    finished_.store(0, std::memory_order_relaxed);
    job_.store(job_word(generation, items), std::memory_order_seq_cst);
    wake_all();
    unsigned mine = 0, item = 0;
    while (claim(generation, item)) {
        Claim more(this, generation, 0, 0);
        fn(context, 0, item, more);
        mine += 1 + more.claimed_;
    }
    const double own = seconds_since(start);
    const unsigned theirs = items - mine;
    await([this, theirs] { return finished_.load(std::memory_order_seq_cst) == theirs; });

    next_pacing(seconds_since(start), mine > 0 ? own * items / mine : 0.0);
}

void SearchTeam::next_pacing(double seconds, double own_pace_seconds) {
    Pacing& p = pacing_;
    p.seconds += seconds;
    p.own_pace_seconds += own_pace_seconds;
    if (--p.jobs_left > 0) return;
    if (p.alone) {
        p.alone = false;
        p.jobs_left = kTeamWindow;
    } else {
        // The team's time over the caller's alone, from the same jobs; one
        // long stall weighs no more than a window twice as slow.
        const double ratio = p.own_pace_seconds > 0.0 ? std::min(p.seconds / p.own_pace_seconds, 2.0) : 2.0;
        p.team_ratio = p.team_ratio > 0.0 ? (1.0 - kRatioWeight) * p.team_ratio + kRatioWeight * ratio : ratio;
        if (p.team_ratio < kClearWin) {
            p.jobs_left = kTeamWindow;
            p.alone_stretch = std::max(p.alone_stretch / 2, kFirstStretch);
        } else {
            p.alone = true;
            p.jobs_left = p.alone_stretch;
            p.alone_stretch = std::min(2 * p.alone_stretch, kLongestStretch);
        }
    }
    p.seconds = p.own_pace_seconds = 0.0;
}

void SearchTeam::worker_loop(unsigned member) {
    std::uint32_t seen = 0;
    for (;;) {
        await([this, seen] { return generation_of(job_.load(std::memory_order_seq_cst)) != seen; });
        if (stop_.load(std::memory_order_seq_cst)) return;
        seen = generation_of(job_.load(std::memory_order_acquire));
        unsigned item = 0;
        while (claim(seen, item)) {
            Claim more(this, seen, 0, 0);
            fn_(context_, member, item, more);
            finished_.fetch_add(1 + more.claimed_, std::memory_order_seq_cst);
            wake_all();
        }
    }
}

}  // namespace veltrax
