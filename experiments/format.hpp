// SPDX-License-Identifier: LGPL-2.1-or-later
// How numbers are written in every file of a run folder and a report: in
// full round-trip precision, and the non-finite ones as words that
// spreadsheets, NumPy and Octave read back.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

namespace veltrax::experiments {

// %.17g; NaN, Inf, -Inf.
std::string format_number(double v);

// %.4g for tables that people read; NaN, Inf, -Inf.
std::string format_short(double v);

// %.17g as the C library prints it (inf, nan), for messages that have
// always printed numbers so.
std::string format_message_number(double v);

// The shortest text that reads back as v (0.1, 1e-05, 70), as JSON writes
// it but whole numbers without ".0"; inf, nan for the non-finite ones. For messages about given values.
std::string format_shortest(double v);

// A JSON value: the number, or the string "NaN", "Inf" or "-Inf" (JSON has
// no non-finite numbers).
nlohmann::ordered_json json_number(double v);

// A CSV field: quoted (with "" for ") when it holds a comma, a quote or a
// line break.
std::string csv_field(const std::string& s);

}  // namespace veltrax::experiments
