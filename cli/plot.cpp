// SPDX-License-Identifier: LGPL-2.1-or-later
#include "cli/plot.hpp"

#include <fcntl.h>
#include <spawn.h>
#include <unistd.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <string>

#include "cli/results.hpp"

extern char** environ;

namespace veltrax::cli {
namespace fs = std::filesystem;

namespace {

[[noreturn]] void plot_failed(const std::string& why) { throw Error("veltrax:plotFailed", why); }

std::string words(const std::vector<std::string>& names) {
    std::string s;
    for (const std::string& n : names) s += (s.empty() ? "" : " ") + n;
    return s;
}

// One call: inline data block (time, trajectory, theta) and its two plots.
void write_call(std::ofstream& gp, std::size_t k, const std::vector<Matrix>& in, const std::vector<Matrix>& out) {
    const std::string call = std::to_string(k);
    const std::string data = "$call" + call;
    const Matrix& t = out[0];
    const Matrix& traj = out[1];
    const Matrix& theta = out[2];
    const std::vector<std::string> theta_names = theta_columns(in, theta);

    gp << data << " << EOD\n# t " << words(trajectory_columns()) << ' ' << words(theta_names) << '\n';
    for (std::size_t i = 0; i < t.rows; ++i) {
        gp << format_value(t(i, 0));
        for (std::size_t j = 0; j < traj.cols; ++j) gp << ' ' << format_value(traj(i, j));
        for (std::size_t j = 0; j < theta.cols; ++j) gp << ' ' << format_value(theta(i, j));
        gp << '\n';
    }
    gp << "EOD\n\n";

    gp << "set output 'call" << call << "_trajectory.png'\n"
       << "set multiplot layout 2,1 title 'call " << call << "'\n"
       << "set ylabel 'output'\n"
       << "plot " << data << " using 1:2 with steps title 'setpoint', \\\n"
       << "     " << data << " using 1:4 with lines title 'y (measured)', \\\n"
       << "     " << data << " using 1:6 with lines title 'v (process)'\n"
       << "set ylabel 'control'\nset xlabel 'time'\n"
       << "plot " << data << " using 1:3 with steps title 'u'\n"
       << "unset multiplot\nunset xlabel\nunset ylabel\n\n";

    if (theta.cols > 0) {
        gp << "set output 'call" << call << "_theta.png'\n"
           << "set title 'call " << call << ": parameter estimates'\nset xlabel 'time'\n"
           << "plot for [k=1:" << theta.cols << "] " << data << " using 1:(column(6+k)) with lines title word('"
           << words(theta_names) << "', k)\n"
           << "unset title\nunset xlabel\n\n";
    }
}

// Runs gnuplot on plots.gp in `dir`, its messages going to plots.log, which
// is kept only when gnuplot fails.
void run_gnuplot(const fs::path& dir, const fs::path& shown) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, dir.c_str());
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "plots.log", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    char program[] = "gnuplot";
    char script[] = "plots.gp";
    char* argv[] = {program, script, nullptr};
    pid_t pid = 0;
    const int rc = posix_spawnp(&pid, program, &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    const fs::path log = dir / "plots.log";
    const std::string shown_log = (shown / "plots.log").string();
    std::error_code ec;
    if (rc != 0) {
        fs::remove(log, ec);
        if (rc == ENOENT) plot_failed("gnuplot not found on the PATH; install gnuplot to use --plot");
        plot_failed(std::string("cannot start gnuplot: ") + std::strerror(rc));
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) plot_failed(std::string("waiting for gnuplot: ") + std::strerror(errno));
    }
    if (WIFSIGNALED(status))
        plot_failed("gnuplot was killed by signal " + std::to_string(WTERMSIG(status)) + "; see " + shown_log);
    if (WEXITSTATUS(status) != 0)
        plot_failed("gnuplot failed with exit status " + std::to_string(WEXITSTATUS(status)) + "; see " + shown_log);
    fs::remove(log, ec);
}

}  // namespace

void plot_results(const fs::path& dir, const fs::path& shown, const Scenario& scenario,
                  const std::vector<std::vector<Matrix>>& outputs) {
    const fs::path script = dir / "plots.gp";
    const std::string shown_script = (shown / "plots.gp").string();
    {
        std::ofstream gp(script);
        if (!gp) plot_failed("cannot write '" + shown_script + "'");
        gp << "# Plots of the outputs in this folder: gnuplot plots.gp\n"
           << "set terminal pngcairo size 1000,750 noenhanced\n"
           << "set grid\nset key top right\nset offsets 0, 0, graph 0.05, graph 0.05\n\n";
        for (std::size_t k = 0; k < outputs.size(); ++k)
            if (outputs[k][0].rows > 0) write_call(gp, k + 1, scenario.calls[k], outputs[k]);
        gp << "set output\n";
        gp.close();
        if (!gp) plot_failed("cannot write '" + shown_script + "'");
    }
    run_gnuplot(dir, shown);
}

}  // namespace veltrax::cli
