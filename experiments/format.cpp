// SPDX-License-Identifier: LGPL-2.1-or-later
#include "experiments/format.hpp"

#include <cmath>
#include <cstdio>

namespace veltrax::experiments {

namespace {

const char* non_finite_word(double v) { return std::isnan(v) ? "NaN" : v > 0 ? "Inf" : "-Inf"; }

std::string printed(const char* format, double v) {
    if (!std::isfinite(v)) return non_finite_word(v);
    char buf[32];
    std::snprintf(buf, sizeof buf, format, v);
    return buf;
}

}  // namespace

std::string format_number(double v) { return printed("%.17g", v); }

std::string format_short(double v) { return printed("%.4g", v); }

std::string format_message_number(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.17g", v);
    return buf;
}

nlohmann::ordered_json json_number(double v) {
    if (std::isfinite(v)) return v;
    return non_finite_word(v);
}

std::string csv_field(const std::string& s) {
    if (s.find_first_of(",\"\n\r") == std::string::npos) return s;
    std::string q = "\"";
    for (char c : s) q += c == '"' ? std::string("\"\"") : std::string(1, c);
    return q + "\"";
}

std::string format_shortest(double v) {
    if (!std::isfinite(v)) return format_message_number(v);
    std::string s = nlohmann::json(v).dump();
    if (s.size() > 2 && s.compare(s.size() - 2, 2, ".0") == 0) s.resize(s.size() - 2);  // 70, not 70.0
    return s;
}

}  // namespace veltrax::experiments
