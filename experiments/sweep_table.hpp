// SPDX-License-Identifier: LGPL-2.1-or-later
// The table of a sweep, sweep.csv: one row per run and call, with the call's
// parameters, the drawn values of a population's individual, its metrics and
// the run's status. Every run folder writes its own rows as metrics.csv when
// the run ends; the report merges them. docs/experiments.md lists the columns.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "experiments/result.hpp"

namespace veltrax::experiments {

// The column names, in order.
const std::vector<std::string>& sweep_columns();

// The column's number; throws std::out_of_range for a name not in the table.
std::size_t sweep_column(std::string_view name);

// The unit of a metric column (docs/experiments.md); empty for the others.
std::string sweep_column_unit(std::string_view name);

// The metric columns (iae ... runaway), in order.
const std::vector<std::string>& metric_columns();

// The value of metric column `metric` for a call, as sweep.csv holds it
// (NaN for the built-in model's measures of a linear process). Throws
// std::out_of_range for a name that is not a metric column.
double metric_value(const CallResult& call, const std::string& metric);

// The header line, with its line break.
std::string sweep_header();

// The rows of one run (each with its line break): one per call that ran,
// and for a failed run one more with the error (call 0 when none ran).
std::string run_rows(const RunResult& run);

// The same rows as fields.
std::vector<std::vector<std::string>> run_fields(const RunResult& run);

// The numeric columns that hold a value per call (the call's parameters,
// process, curve, samples and metrics) and per run (build, drawn values),
// in the table's order. The other columns are scenario, individual, call,
// status, error_id and error_message.
const std::vector<std::string>& call_columns();
const std::vector<std::string>& run_columns();

// The one row of a run without results, as fields: its status ("missing",
// "unreadable"), and why.
std::vector<std::string> placeholder_fields(const std::string& scenario, std::uint64_t individual,
                                            const std::string& status, const std::string& error_id,
                                            const std::string& message);

// The row of these fields, quoted where needed, with its line break.
std::string csv_row(const std::vector<std::string>& fields);

// Reads the CSV record at `pos` of `text` into `fields` (quoted fields may
// hold commas, quotes as "" and line breaks) and moves `pos` past it.
// False at the end of the text; throws std::runtime_error for a record
// that does not end with a line break.
bool read_csv_record(std::string_view text, std::size_t& pos, std::vector<std::string>& fields);

// The records of a CSV file, read a piece at a time (a table of any size in
// little memory). Throws std::runtime_error as read_csv_record does, and when
// the file cannot be read.
class CsvReader {
public:
    explicit CsvReader(const std::filesystem::path& path);
    // The next record; false at the end of the file.
    bool next(std::vector<std::string>& fields);

private:
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file_;
    std::string buffer_;
    std::size_t pos_ = 0;
    bool end_ = false;
};

}  // namespace veltrax::experiments
