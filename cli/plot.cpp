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

std::string words(const std::vector<std::string>& names) {
    std::string s;
    for (const std::string& n : names) s += (s.empty() ? "" : " ") + n;
    return s;
}

// One call: inline data block (time, trajectory, theta) and its two plots.
std::string call_plots(const CallResult& c) {
    const std::string call = std::to_string(c.call);
    const std::string data = "$call" + call;
    const Matrix& t = c.outputs[0];
    const Matrix& traj = c.outputs[1];
    const Matrix& theta = c.outputs[2];
    const std::vector<std::string> theta_names = theta_columns(c.setup.settings.a_order, theta.cols);

    std::string gp = data + " << EOD\n# t " + words(trajectory_columns()) + ' ' + words(theta_names) + '\n';
    for (std::size_t i = 0; i < t.rows; ++i) {
        gp += format_number(t(i, 0));
        for (std::size_t j = 0; j < traj.cols; ++j) gp += ' ' + format_number(traj(i, j));
        for (std::size_t j = 0; j < theta.cols; ++j) gp += ' ' + format_number(theta(i, j));
        gp += '\n';
    }
    gp += "EOD\n\n";

    gp += "set output 'call" + call + "_trajectory.png'\n" + "set multiplot layout 2,1 title 'call " + call + "'\n" +
          "set ylabel 'output'\n" + "plot " + data + " using 1:2 with steps title 'setpoint', \\\n" + "     " + data +
          " using 1:4 with lines title 'y (measured)', \\\n" + "     " + data +
          " using 1:6 with lines title 'v (process)'\n" + "set ylabel 'control'\nset xlabel 'time'\n" + "plot " +
          data + " using 1:3 with steps title 'u'\n" + "unset multiplot\nunset xlabel\nunset ylabel\n\n";

    if (theta.cols > 0) {
        gp += "set output 'call" + call + "_theta.png'\n" + "set title 'call " + call +
              ": parameter estimates'\nset xlabel 'time'\n" + "plot for [k=1:" + std::to_string(theta.cols) + "] " +
              data + " using 1:(column(6+k)) with lines title word('" + words(theta_names) + "', k)\n" +
              "unset title\nunset xlabel\n\n";
    }
    return gp;
}

}  // namespace

void plot_results(const fs::path& dir, const fs::path& shown, const RunResult& run) {
    OutputFile gp(dir / "plots.gp", shown / "plots.gp");
    gp << "# Plots of the outputs in this folder: gnuplot plots.gp\n"
       << "set terminal pngcairo size 1000,750 noenhanced\n"
       << "set grid\nset key top right\nset offsets 0, 0, graph 0.05, graph 0.05\n\n";
    for (const CallResult& c : run.calls)
        if (c.outputs[0].rows > 0) gp << call_plots(c);
    gp << "set output\n";
    gp.close();
    GnuplotRun gnuplot{dir, "plots.gp", "plots.log", shown, "install gnuplot to use --plot"};
    gnuplot.cancelled = &stop_requested_hook;
    run_gnuplot(gnuplot);
}

}  // namespace veltrax::cli
