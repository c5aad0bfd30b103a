// SPDX-License-Identifier: LGPL-2.1-or-later
// PNG plots of a result folder through gnuplot.
#pragma once

#include <filesystem>

#include "experiments/result.hpp"

namespace veltrax::cli {

// Writes plots.gp into `dir`, with the outputs of the calls that ran as
// inline data, and runs gnuplot on it there: per call k, callk_trajectory.png
// (set-point, y and v; u) and callk_theta.png (parameter estimates). Calls
// without sample periods get no plot. Throws veltrax::Error
// "veltrax:plotFailed" when gnuplot cannot be started or fails, and
// "veltrax:writeFailed" when plots.gp cannot be written; messages call the
// folder `shown`.
void plot_results(const std::filesystem::path& dir, const std::filesystem::path& shown,
                  const experiments::RunResult& run);

}  // namespace veltrax::cli
