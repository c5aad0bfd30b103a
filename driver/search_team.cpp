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

// Spins briefly (the next job usually follows within microseconds), then sleeps.
template <class Pred>
void await(std::atomic<std::uint32_t>& word, Pred done) {
    for (int spin = 0; spin < 4000; ++spin) {
        if (done(word.load(std::memory_order_acquire))) return;
        cpu_relax();
    }
    for (;;) {
        const std::uint32_t seen = word.load(std::memory_order_acquire);
        if (done(seen)) return;
        word.wait(seen, std::memory_order_acquire);
    }
}

}  // namespace

SearchTeam::SearchTeam(unsigned threads) {
    const unsigned extra = threads > 1 ? threads - 1 : 0;
    workers_.reserve(extra);
    for (unsigned w = 0; w < extra; ++w) workers_.emplace_back([this, w] { worker_loop(w + 1); });
}

SearchTeam::~SearchTeam() {
    stop_.store(true, std::memory_order_relaxed);
    generation_.fetch_add(1, std::memory_order_release);
    generation_.notify_all();
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
    generation_.fetch_add(1, std::memory_order_release);
    generation_.notify_all();
    fn(context, 0);
    await(finished_, [helpers](std::uint32_t v) { return v == helpers; });
}

void SearchTeam::worker_loop(unsigned member) {
    std::uint32_t seen = 0;
    for (;;) {
        await(generation_, [seen](std::uint32_t v) { return v != seen; });
        seen = generation_.load(std::memory_order_acquire);
        if (stop_.load(std::memory_order_relaxed)) return;
        fn_(context_, member);
        if (finished_.fetch_add(1, std::memory_order_acq_rel) + 1 == workers_.size()) finished_.notify_one();
    }
}

}  // namespace veltrax
