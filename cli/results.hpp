// SPDX-License-Identifier: LGPL-2.1-or-later
// The result folder of one run of a scenario: per call k the five outputs as
// callk_time.csv, callk_trajectory.csv, callk_theta.csv, callk_search.csv
// and callk_sums.csv, summary.json over all calls (with each call's inputs
// and metrics) and metrics.csv (the run's rows of a sweep report).
//
// A result folder appears whole or not at all: it is written as a hidden
// folder beside its place (.NAME.tmp-XXXXXX), flushed to disk, and then put
// in the place of any earlier result folder of the same name in one step.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

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

// Where a result folder goes.
struct ResultPlace {
    std::filesystem::path shown;   // as the user named it, for messages
    std::filesystem::path parent;  // the folder that holds it
    std::string name;              // its name there
};

// Creates `folder` if missing and checks that new folders can be made in
// it. Throws veltrax::Error "veltrax:writeFailed".
void check_writable(const std::filesystem::path& folder);

// Checks, before anything runs, that `folder` can become a result folder:
// its parent can be created and written, and `folder` is missing, empty or
// an earlier result folder (result files only; anything else is not
// replaced). Throws veltrax::Error "veltrax:writeFailed".
ResultPlace check_result_place(const std::filesystem::path& folder);

// A result folder being written. Files go into a hidden folder beside the
// place; commit() puts it in place, and without commit() the destructor
// removes it. Writes throw veltrax::Error "veltrax:writeFailed" naming the
// file as it will be called in place.
class ResultWriter {
public:
    explicit ResultWriter(const ResultPlace& place);
    ~ResultWriter();
    ResultWriter(const ResultWriter&) = delete;
    ResultWriter& operator=(const ResultWriter&) = delete;

    // The hidden folder, for files that others write (plots).
    const std::filesystem::path& folder() const { return temp_; }

    // The CSV files of the calls that ran (outputs[k] for call k + 1).
    void write_outputs(const Scenario& scenario, const std::vector<std::vector<Matrix>>& outputs);
    // summary.json: the calls that ran with their inputs and metrics, the
    // failure if any, and a population individual's "individual" field.
    void write_summary(const Scenario& scenario, const std::vector<std::vector<Matrix>>& outputs,
                       const Failure* failure, const nlohmann::ordered_json* individual = nullptr);
    // metrics.csv, from the files written before: the header and rows of
    // sweep.csv for this run (`scenario` names it, `individual` 0 for none).
    void write_metrics(const std::string& scenario, std::uint64_t individual);
    // Flushes every file to disk and replaces any earlier result folder of
    // the place by this one; a crash leaves the earlier folder whole or none.
    void commit();

private:
    ResultPlace place_;
    std::filesystem::path temp_;
    bool committed_ = false;
};

// One value as written to the files: %.17g, and NaN, Inf, -Inf.
std::string format_value(double v);

}  // namespace veltrax::cli
