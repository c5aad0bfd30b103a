// SPDX-License-Identifier: LGPL-2.1-or-later
// What the commands of the tool share: exit statuses, error lines and the
// stop signals.
#pragma once

#include <string>

#include "api/veltrax.hpp"

namespace veltrax::cli {

constexpr int kExitFailed = 1;  // a scenario or run failed, results not written
constexpr int kExitUsage = 2;   // bad command line
constexpr int kExitIncomplete = 3;  // report written, but runs of the sweep are missing or unreadable

// "WHERE: IDENTIFIER: MESSAGE" on stderr.
void print_error(const std::string& where, const std::string& id, const std::string& message);

// SIGINT and SIGTERM stop the calls that run; the tool keeps the results of
// the runs that finished and ends by that signal (status 130 or 143). A
// signal that the tool was started to ignore (a background job of a script)
// stays ignored.
void catch_stop_signals();
// A stop signal arrived.
bool stop_requested();
// The cancellation hook of RunOptions: stop_requested().
bool stop_requested_hook(void* context);
// "SIGINT" or "SIGTERM".
std::string stop_signal_name();
// Ends the tool by the signal that stopped it, once everything is cleaned
// up; returns 128 + signal where raising it does not end the process.
int end_by_stop_signal();

}  // namespace veltrax::cli
