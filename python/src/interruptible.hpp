// SPDX-License-Identifier: LGPL-2.1-or-later
// Long work of the compiled module with the interpreter lock released and
// Ctrl-C honoured.
#pragma once

#include <pybind11/pybind11.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <optional>
#include <thread>

namespace veltrax::python {

// Runs `work` on a helper thread with the interpreter lock released, while
// the calling thread looks for signals (Ctrl-C) every 50 ms. When a signal
// handler raises (KeyboardInterrupt), `stop` is set and the exception is
// raised once the work has ended. stopped() is the cancellation hook of
// RunOptions: the core then ends the work early, leaving the state as before.
class Interruptible {
public:
    std::atomic<bool> stop{false};

    static bool stopped(void* self) { return static_cast<Interruptible*>(self)->stop.load(); }

    template <class Work>
    void run(Work&& work) {
        std::exception_ptr failure;
        std::optional<pybind11::error_already_set> interrupt;
        {
            pybind11::gil_scoped_release release;
            std::mutex mutex;
            std::condition_variable finished;
            bool done = false;
            std::thread helper([&] {
                try {
                    work();
                } catch (...) {
                    failure = std::current_exception();
                }
                std::lock_guard<std::mutex> lock(mutex);
                done = true;
                finished.notify_one();
            });
            std::unique_lock<std::mutex> lock(mutex);
            while (!finished.wait_for(lock, std::chrono::milliseconds(50), [&] { return done; })) {
                if (interrupt) continue;
                lock.unlock();
                {
                    pybind11::gil_scoped_acquire gil;
                    if (PyErr_CheckSignals() != 0) {
                        interrupt.emplace();  // takes the pending exception
                        stop = true;
                    }
                }
                lock.lock();
            }
            lock.unlock();
            helper.join();
        }
        if (interrupt) throw *interrupt;
        if (failure) std::rethrow_exception(failure);
    }
};

}  // namespace veltrax::python
