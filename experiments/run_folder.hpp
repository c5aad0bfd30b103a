// SPDX-License-Identifier: LGPL-2.1-or-later
// The result folder of one run: per call k the five outputs as
// callk_time.csv, callk_trajectory.csv, callk_theta.csv, callk_search.csv
// and callk_sums.csv, summary.json over all calls (with each call's inputs
// and metrics) and metrics.csv (the run's rows of sweep.csv). docs/cli.md
// describes the files.
//
// A result folder appears whole or not at all: it is written as a hidden
// folder beside its place (.NAME.tmp-XXXXXX), flushed to disk, and then put
// in the place of any earlier result folder of the same name in one step.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "api/veltrax.hpp"
#include "experiments/files.hpp"
#include "experiments/result.hpp"

namespace veltrax::experiments {

// Column names of the outputs of one call: "t"; "setpoint", "u", "y",
// "static_gain", "v"; the estimates a1 .. a{a_order}, b0 .. of `count`
// columns; the search record of the build; the three sums.
std::vector<std::string> time_columns();
std::vector<std::string> trajectory_columns();
std::vector<std::string> theta_columns(int a_order, std::size_t count);
std::vector<std::string> search_columns(Build build);
std::vector<std::string> sums_columns();

// Where a result folder goes.
struct RunPlace {
    std::filesystem::path shown;   // as the user named it, for messages
    std::filesystem::path parent;  // the folder that holds it
    std::string name;              // its name there
};

// Creates `folder` if missing and checks that new folders can be made in
// it. Throws veltrax::Error "veltrax:writeFailed".
void check_writable(const std::filesystem::path& folder);

// An existing `folder` may be replaced only when it holds result files
// alone. Throws veltrax::Error "veltrax:writeFailed" naming it as `shown`.
void check_replaceable(const std::filesystem::path& folder, const std::filesystem::path& shown);

// Where `folder` goes: a symbolic link is followed. Throws veltrax::Error
// "veltrax:writeFailed" for a path that names no folder ("/", "..").
RunPlace run_place(const std::filesystem::path& folder);

// run_place, and checks before anything runs that `folder` can become a
// result folder: its parent can be created and written, and `folder` is
// missing, empty or an earlier result folder (result files only; anything
// else is not replaced). Throws veltrax::Error "veltrax:writeFailed".
RunPlace check_run_place(const std::filesystem::path& folder);

// A result folder being written. Files go into a hidden folder beside the
// place, locked while it is being written; commit() puts it in place, and
// without commit() the destructor removes it (a process that is killed
// leaves it, and the next run into that folder removes it). Writes throw
// veltrax::Error "veltrax:writeFailed" naming the file as it will be called
// in place.
class RunFolder {
public:
    explicit RunFolder(const RunPlace& place);

    // The hidden folder, for files that others write (plots).
    const std::filesystem::path& folder() const { return temp_; }
    // `file` as messages name it.
    std::filesystem::path shown(const std::string& file) const { return place_.shown / file; }

    // The CSV files of the calls that ran.
    void write_calls(const RunResult& run);
    // summary.json and metrics.csv.
    void write_summary(const RunResult& run);
    // Flushes every file to disk and replaces any earlier result folder of
    // the place by this one; a crash leaves the earlier folder whole or none.
    void commit();

private:
    void write_csv(const std::string& file, const std::vector<std::string>& columns, const Matrix& m);

    RunPlace place_;
    HiddenFolder hidden_;
    std::filesystem::path temp_;  // hidden_'s path
};

// The run's result folder at `place`, written whole: write_calls,
// write_summary, commit.
void write_run_folder(const RunPlace& place, const RunResult& run);

}  // namespace veltrax::experiments
