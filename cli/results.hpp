// The result folder of one scenario: per call k the five outputs as
// callk_time.csv, callk_trajectory.csv, callk_theta.csv, callk_search.csv
// and callk_sums.csv, and summary.json over all calls.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "api/veltrax.hpp"
#include "cli/scenario.hpp"

namespace veltrax::cli {

// The first call that failed; the calls after it did not run.
struct Failure {
    std::size_t call = 0;  // 1-based
    std::string id;
    std::string message;
};

// Column names of the outputs of one call.
std::vector<std::string> time_columns();
std::vector<std::string> trajectory_columns();
std::vector<std::string> theta_columns(const std::vector<Matrix>& inputs, const Matrix& theta);
std::vector<std::string> search_columns(Build build);
std::vector<std::string> sums_columns();

// Writes the outputs of the calls that ran (outputs[k] for call k + 1) and
// summary.json into `dir`, creating it. Throws veltrax::Error
// "veltrax:writeFailed" when a file cannot be written.
void write_results(const std::filesystem::path& dir, const Scenario& scenario,
                   const std::vector<std::vector<Matrix>>& outputs, const Failure* failure);

// One value as written to the files: %.17g, and NaN, Inf, -Inf.
std::string format_value(double v);

}  // namespace veltrax::cli
