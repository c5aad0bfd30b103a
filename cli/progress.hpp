// SPDX-License-Identifier: LGPL-2.1-or-later
// Progress bar on stderr for runs that take a while. It shows only when
// stderr is a terminal and the run has lasted about a second, and removes
// itself when done.
#pragma once

#include <chrono>

#include "api/veltrax.hpp"

namespace veltrax::cli {

class ProgressBar {
public:
    // `total`: sample periods of all calls together.
    explicit ProgressBar(long total);
    ~ProgressBar() { finish(); }
    ProgressBar(const ProgressBar&) = delete;
    ProgressBar& operator=(const ProgressBar&) = delete;

    // Options for the next call, which starts after `done_before` periods.
    RunOptions options(unsigned threads, long done_before);

    void finish();

private:
    static void on_progress(void* self, long done, long total);
    void update(long done);

    using Clock = std::chrono::steady_clock;
    bool enabled_;
    long total_;
    long offset_ = 0;
    std::chrono::milliseconds delay_;
    Clock::time_point start_;
    Clock::time_point last_draw_;
    bool shown_ = false;
};

}  // namespace veltrax::cli
