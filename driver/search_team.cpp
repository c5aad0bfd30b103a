#include "driver/search_team.hpp"

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

// Only the caller publishes jobs, and only after the previous job's items
// have all finished; so a member that claimed an item of a generation reads
// that generation's function and context.
void SearchTeam::run_erased(unsigned items, Function fn, void* context) {
    if (workers_.empty()) {
        Claim alone(nullptr, 0, 0, items);
        unsigned item = 0;
        while (alone.next(item)) fn(context, 0, item, alone);
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
    const unsigned theirs = items - mine;
    await([this, theirs] { return finished_.load(std::memory_order_seq_cst) == theirs; });
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
