#include "driver/search_team.hpp"

namespace veltrax {
namespace {

inline void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#else
    std::this_thread::yield();
#endif
}

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
    const unsigned extra = threads > 1 ? threads - 1 : 0;
    workers_.reserve(extra);
    for (unsigned w = 0; w < extra; ++w) workers_.emplace_back([this, w] { worker_loop(w + 1); });
}

SearchTeam::~SearchTeam() {
    stop_.store(true, std::memory_order_relaxed);
    generation_.fetch_add(1, std::memory_order_seq_cst);
    { std::lock_guard<std::mutex> lock(mutex_); }
    wake_.notify_all();
    for (std::thread& t : workers_) t.join();
}

void SearchTeam::run_erased(void (*fn)(void*, unsigned), void* context) {
    const std::uint32_t helpers = static_cast<std::uint32_t>(workers_.size());
    if (helpers == 0) {
        fn(context, 0);
        return;
    }
    fn_ = fn;
    context_ = context;
    finished_.store(0, std::memory_order_relaxed);
    generation_.fetch_add(1, std::memory_order_seq_cst);
    wake_all();
    fn(context, 0);
    await([this, helpers] { return finished_.load(std::memory_order_seq_cst) == helpers; });
}

void SearchTeam::worker_loop(unsigned member) {
    std::uint32_t seen = 0;
    for (;;) {
        await([this, seen] { return generation_.load(std::memory_order_seq_cst) != seen; });
        seen = generation_.load(std::memory_order_acquire);
        if (stop_.load(std::memory_order_relaxed)) return;
        fn_(context_, member);
        finished_.fetch_add(1, std::memory_order_seq_cst);
        wake_all();
    }
}

}  // namespace veltrax
