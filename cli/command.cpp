// SPDX-License-Identifier: LGPL-2.1-or-later
#include "cli/command.hpp"

#include <csignal>
#include <cstdio>

namespace veltrax::cli {

namespace {

// The signal that asked the tool to stop, or 0.
volatile std::sig_atomic_t g_stop_signal = 0;

extern "C" void on_stop_signal(int signal) { g_stop_signal = signal; }

}  // namespace

void print_error(const std::string& where, const std::string& id, const std::string& message) {
    std::fprintf(stderr, "%s: %s: %s\n", where.c_str(), id.c_str(), message.c_str());
}

void catch_stop_signals() {
    for (int signal : {SIGINT, SIGTERM}) {
        struct sigaction current {};
        if (sigaction(signal, nullptr, &current) != 0 || current.sa_handler == SIG_IGN) continue;
        struct sigaction action {};
        action.sa_handler = on_stop_signal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        sigaction(signal, &action, nullptr);
    }
}

bool stop_requested() { return g_stop_signal != 0; }

bool stop_requested_hook(void*) { return stop_requested(); }

std::string stop_signal_name() { return g_stop_signal == SIGTERM ? "SIGTERM" : "SIGINT"; }

int end_by_stop_signal() {
    const int signal = g_stop_signal;
    std::fflush(nullptr);
    std::signal(signal, SIG_DFL);
    std::raise(signal);
    return 128 + signal;
}

}  // namespace veltrax::cli
