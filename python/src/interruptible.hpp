// SPDX-License-Identifier: LGPL-2.1-or-later
// Long work of the compiled module with the interpreter lock released and
// Ctrl-C honoured, and the interpreter's exit while such work runs.
//
// Python 3.11 to 3.13 end a thread that asks for the interpreter lock during
// shutdown (a daemon thread still running at exit) by unwinding its stack; a
// destructor must not be left that way, so the lock is taken back in
// ordinary code (pybind11's gil_scoped_release takes it in its destructor),
// and not at all once shutdown has begun: the thread then waits until the
// process ends, its run abandoned.
#pragma once

#include <pybind11/pybind11.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>

namespace veltrax::python {

inline std::atomic<bool> g_exiting{false};  // set at exit: runs stop

inline bool interpreter_finalizing() {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing() != 0;
#else
    return _Py_IsFinalizing() != 0;
#endif
}

[[noreturn]] inline void wait_for_the_end() {
    for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}

inline void take_gil_back(PyThreadState* saved) {
    if (g_exiting || interpreter_finalizing()) wait_for_the_end();
    PyEval_RestoreThread(saved);
}

// f() without the interpreter lock.
template <class F>
void without_gil(F&& f) {
    PyThreadState* saved = PyEval_SaveThread();
    std::exception_ptr failure;
    try {
        f();
    } catch (...) {
        failure = std::current_exception();
    }
    take_gil_back(saved);
    if (failure) std::rethrow_exception(failure);
}

// Helper threads whose work runs; at exit the interpreter waits for them to
// stop (abandon_runs).
inline std::mutex g_runs_mutex;
inline std::condition_variable g_runs_ended;
inline int g_runs = 0;

// Registered with atexit, which Python runs after joining its non-daemon
// threads: the runs left are those of daemon threads, and they stop.
inline void abandon_runs() {
    g_exiting = true;
    PyThreadState* saved = PyEval_SaveThread();
    {
        std::unique_lock<std::mutex> lock(g_runs_mutex);
        g_runs_ended.wait_for(lock, std::chrono::seconds(10), [] { return g_runs == 0; });
    }
    PyEval_RestoreThread(saved);
}

// Runs `work` on a helper thread with the interpreter lock released, while
// the calling thread looks for signals (Ctrl-C) every 50 ms. When a signal
// handler raises (KeyboardInterrupt), `stop` is set and the exception is
// raised once the work has ended. stopped() is the cancellation hook of
// RunOptions: the core then ends the work early, leaving the state as before.
class Interruptible {
public:
    std::atomic<bool> stop{false};

    static bool stopped(void* self) { return static_cast<Interruptible*>(self)->stop.load() || g_exiting.load(); }

    template <class Work>
    void run(Work&& work) {
        std::exception_ptr failure;
        std::mutex mutex;
        std::condition_variable finished;
        bool done = false, interrupted = false;
        PyThreadState* saved = PyEval_SaveThread();
        {
            std::lock_guard<std::mutex> lock(g_runs_mutex);
            ++g_runs;
        }
        std::thread helper([&] {
            try {
                work();
            } catch (...) {
                failure = std::current_exception();
            }
            {
                std::lock_guard<std::mutex> lock(g_runs_mutex);
                --g_runs;
            }
            g_runs_ended.notify_all();
            std::lock_guard<std::mutex> lock(mutex);
            done = true;
            finished.notify_one();
        });
        // Should this thread be ended while the helper runs: stop the work
        // and wait for it, which the cancellation hook makes quick.
        struct StopAndJoin {
            std::thread& helper;
            std::atomic<bool>& stop;
            ~StopAndJoin() {
                if (!helper.joinable()) return;
                stop = true;
                helper.join();
            }
        } stop_and_join{helper, stop};
        std::unique_lock<std::mutex> lock(mutex);
        while (!finished.wait_for(lock, std::chrono::milliseconds(50), [&] { return done; })) {
            if (interrupted) continue;
            lock.unlock();
            take_gil_back(saved);
            interrupted = PyErr_CheckSignals() != 0;  // the exception stays set
            if (interrupted) stop = true;
            saved = PyEval_SaveThread();
            lock.lock();
        }
        lock.unlock();
        helper.join();
        take_gil_back(saved);
        if (interrupted) throw pybind11::error_already_set();
        if (failure) std::rethrow_exception(failure);
    }
};

}  // namespace veltrax::python
