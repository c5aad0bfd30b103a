// SPDX-License-Identifier: LGPL-2.1-or-later
#include "cli/plot.hpp"

#include <string>

#include "cli/command.hpp"
#include "experiments/files.hpp"
#include "experiments/format.hpp"
#include "experiments/gnuplot.hpp"
#include "experiments/run_folder.hpp"

namespace veltrax::cli {

namespace fs = std::filesystem;
using namespace experiments;

namespace {

constexpr const char* kTimeAxis = "time t (as recorded; minutes for the built-in model)";

// A gnuplot string in single quotes.
std::string gp_string(const std::string& s) {
    std::string o = "'";
    for (char c : s) o += c == '\'' ? std::string("''") : c == '\n' || c == '\r' ? std::string(" ") : std::string(1, c);
    return o + "'";
}

std::string words(const std::vector<std::string>& names) {
    std::string s;
    for (const std::string& n : names) s += (s.empty() ? "" : " ") + n;
    return s;
}

// Dark colours that tell apart in print, in the order the lines come.
constexpr const char* kColours[] = {"#000000", "#1f4e99", "#c0392b", "#2e7d32", "#6a3d9a", "#b35900",
                                    "#00796b", "#7b341e", "#5d6d7e", "#ad1457"};

std::string colour(std::size_t k) { return kColours[k % (sizeof kColours / sizeof *kColours)]; }

// What ran: "SCENARIO (individual K), call C of M: N samples, build B".
std::string what_ran(const RunResult& run, const CallResult& c) {
    std::string s = run.scenario.empty() ? std::string("run") : run.scenario;
    if (run.individual) s += " (individual " + std::to_string(run.individual_index()) + ")";
    s += ", call " + std::to_string(c.call) + " of " + std::to_string(run.calls.size()) + ": " +
         std::to_string(c.outputs[0].rows) + " samples";
    return s + (run.controller ? ", controller " + run.controller->name : "");
}

// One call: inline data block (time, trajectory, theta) and its two plots.
std::string call_plots(const RunResult& run, const CallResult& c) {
    const std::string call = std::to_string(c.call);
    const std::string data = "$call" + call;
    const Matrix& t = c.outputs[0];
    const Matrix& traj = c.outputs[1];
    const Matrix& theta = c.outputs[2];
    const std::vector<std::string> theta_names = theta_columns(c.setup.settings.a_order, theta.cols);
    const std::string title = gp_string(what_ran(run, c));

    std::string gp = data + " << EOD\n# t " + words(trajectory_columns()) + ' ' + words(theta_names) + '\n';
    for (std::size_t i = 0; i < t.rows; ++i) {
        gp += format_number(t(i, 0));
        for (std::size_t j = 0; j < traj.cols; ++j) gp += ' ' + format_number(traj(i, j));
        for (std::size_t j = 0; j < theta.cols; ++j) gp += ' ' + format_number(theta(i, j));
        gp += '\n';
    }
    gp += "EOD\n\n";

    gp += "set output 'call" + call + "_trajectory.png'\nset multiplot layout 2,1 title " + title + "\n" +
          "set ylabel 'measured output y (0 to 1)'\nset y2label 'process v'\nset y2tics\nset ytics nomirror\n"
          "set xlabel " + gp_string(kTimeAxis) + "\nplot " + data +
          " using 1:2 with steps lw 2 dt 2 lc rgb '#000000' title 'set-point', \\\n     " + data +
          " using 1:4 with lines lw 2 lc rgb '#1f4e99' title 'y (measured)', \\\n     " + data +
          " using 1:6 axes x1y2 with lines lw 1.5 lc rgb '#c0392b' title 'v (process, right axis)'\n" +
          "unset y2label\nunset y2tics\nset ytics mirror\nset ylabel 'control u'\nplot " + data + " using 1:3 with steps lw 2 lc rgb '#2e7d32' title 'u'\n" +
          "unset multiplot\nunset xlabel\nunset ylabel\n\n";

    if (theta.cols > 0) {
        gp += "set output 'call" + call + "_theta.png'\nset title " +
              gp_string(what_ran(run, c) + ": parameter estimates") + "\nset xlabel " + gp_string(kTimeAxis) +
              "\nset ylabel 'estimated coefficient of the model'\nplot ";
        for (std::size_t k = 0; k < theta.cols; ++k)
            gp += std::string(k ? ", \\\n     " : "") + data + " using 1:" + std::to_string(7 + k) +
                  " with lines lw 1.5 lc rgb '" + colour(k) + "' title '" + theta_names[k] + "'";
        gp += "\nunset title\nunset xlabel\nunset ylabel\n\n";
    }
    return gp;
}

}  // namespace

void plot_results(const fs::path& dir, const fs::path& shown, const RunResult& run) {
    OutputFile gp(dir / "plots.gp", shown / "plots.gp");
    gp << "# Plots of the outputs in this folder: gnuplot plots.gp\n"
       << "set terminal pngcairo size 1000,750 noenhanced\n"
       << "set grid\nset key below horizontal\nset offsets 0, 0, graph 0.05, graph 0.05\n\n";
    for (const CallResult& c : run.calls)
        if (c.outputs[0].rows > 0) gp << call_plots(run, c);
    gp << "set output\n";
    gp.close();
    GnuplotRun gnuplot{dir, "plots.gp", "plots.log", shown, "install gnuplot to use --plot"};
    gnuplot.cancelled = &stop_requested_hook;
    run_gnuplot(gnuplot);
}

}  // namespace veltrax::cli
