// A fixed team of threads that runs one job at a time on every member,
// the calling thread included. Workers exist only while the team does: the
// destructor stops and joins them.
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
    explicit SearchTeam(unsigned threads);
    ~SearchTeam();
    SearchTeam(const SearchTeam&) = delete;
    SearchTeam& operator=(const SearchTeam&) = delete;

    unsigned size() const { return static_cast<unsigned>(workers_.size()) + 1; }

    // Calls body(member) on every member (0 is the caller) and returns when
    // all have returned.
    template <class Body>
    void run(Body& body) {
        run_erased(&invoke<Body>, &body);
    }

private:
    template <class Body>
    static void invoke(void* body, unsigned member) {
        (*static_cast<Body*>(body))(member);
    }
    void run_erased(void (*fn)(void*, unsigned), void* context);
    void worker_loop(unsigned member);
    // Spins briefly (the next job usually follows within microseconds), then
    // sleeps until `done` holds.
    template <class Done>
    void await(Done done);
    void wake_all();

    std::vector<std::thread> workers_;
    std::atomic<std::uint32_t> generation_{0};
    std::atomic<std::uint32_t> finished_{0};
    std::atomic<bool> stop_{false};
    void (*fn_)(void*, unsigned) = nullptr;
    void* context_ = nullptr;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::atomic<int> sleepers_{0};
};

}  // namespace veltrax
