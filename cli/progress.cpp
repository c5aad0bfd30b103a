// SPDX-License-Identifier: LGPL-2.1-or-later
#include "cli/progress.hpp"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace veltrax::cli {

namespace {
// VELTRAX_PROGRESS_DELAY_MS overrides the delay (tests show the bar at once).
std::chrono::milliseconds delay() {
    const char* env = std::getenv("VELTRAX_PROGRESS_DELAY_MS");
    return std::chrono::milliseconds(env ? std::atol(env) : 1000);
}
constexpr auto kRedraw = std::chrono::milliseconds(100);
constexpr int kWidth = 40;
}  // namespace

ProgressBar::ProgressBar(long total)
    : enabled_(total > 0 && isatty(STDERR_FILENO) == 1),
      total_(total),
      delay_(delay()),
      start_(Clock::now()),
      last_draw_(start_) {}

RunOptions ProgressBar::options(unsigned threads, long done_before) {
    offset_ = done_before;
    RunOptions o;
    o.threads = threads;
    if (enabled_) {
        o.progress = &ProgressBar::on_progress;
        o.progress_context = this;
    }
    return o;
}

void ProgressBar::on_progress(void* self, long done, long /*call total*/) {
    static_cast<ProgressBar*>(self)->update(done);
}

void ProgressBar::update(long done) {
    const Clock::time_point now = Clock::now();
    if (now - start_ < delay_ || (shown_ && now - last_draw_ < kRedraw)) return;
    last_draw_ = now;
    shown_ = true;
    const long all = offset_ + done;
    const double fraction = all >= total_ ? 1.0 : static_cast<double>(all) / static_cast<double>(total_);
    const int filled = static_cast<int>(fraction * kWidth);
    char bar[kWidth + 1];
    for (int i = 0; i < kWidth; ++i) bar[i] = i < filled ? '#' : '-';
    bar[kWidth] = '\0';
    std::fprintf(stderr, "\r[%s] %3d%%  %ld/%ld sample periods", bar, static_cast<int>(fraction * 100), all, total_);
    std::fflush(stderr);
}

void ProgressBar::finish() {
    if (!shown_) return;
    shown_ = false;
    std::fputs("\r\033[K", stderr);  // clear the line
    std::fflush(stderr);
}

}  // namespace veltrax::cli
