// SPDX-License-Identifier: LGPL-2.1-or-later
#include "experiments/gnuplot.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "api/veltrax.hpp"

extern char** environ;

namespace veltrax::experiments {

namespace fs = std::filesystem;

namespace {

[[noreturn]] void plot_failed(const std::string& why) { throw Error("veltrax:plotFailed", why); }

}  // namespace

void run_gnuplot(const GnuplotRun& run) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, run.folder.c_str());
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, run.log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    std::string program = "gnuplot";
    std::string script = run.script;
    std::vector<char*> argv = {program.data(), script.data(), nullptr};
    pid_t pid = 0;
    const int rc = posix_spawnp(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    const fs::path log = run.folder / run.log;
    const std::string shown_log = (run.shown / run.log).string();
    std::error_code ec;
    if (rc != 0) {
        fs::remove(log, ec);
        if (rc == ENOENT) plot_failed("gnuplot not found on the PATH; " + run.missing_hint);
        plot_failed(std::string("cannot start gnuplot: ") + std::strerror(rc));
    }
    int status = 0;
    for (;;) {
        const pid_t done = waitpid(pid, &status, run.cancelled ? WNOHANG : 0);
        if (done == pid) break;
        if (done < 0 && errno != EINTR) plot_failed(std::string("waiting for gnuplot: ") + std::strerror(errno));
        if (done == 0 && run.cancelled(run.cancel_context)) {
            kill(pid, SIGTERM);
            while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            fs::remove(log, ec);
            throw Error("veltrax:interrupted", "gnuplot was stopped");
        }
        if (done == 0) usleep(20000);
    }
    if (WIFSIGNALED(status))
        plot_failed("gnuplot was killed by signal " + std::to_string(WTERMSIG(status)) + "; see " + shown_log);
    if (WEXITSTATUS(status) != 0)
        plot_failed("gnuplot failed with exit status " + std::to_string(WEXITSTATUS(status)) + "; see " + shown_log);
    fs::remove(log, ec);
}

}  // namespace veltrax::experiments
