// SPDX-License-Identifier: LGPL-2.1-or-later
// Golden files: one line per output matrix, "rows cols" then every element
// as a hexadecimal float, so that doubles round-trip exactly.
#pragma once

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "api/veltrax.hpp"

namespace veltrax::testing {

inline std::string hex_double(double v) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "%a", v);
    return buf;
}

inline void write_outputs(std::ostream& os, const std::vector<Matrix>& outputs) {
    for (const Matrix& m : outputs) {
        os << m.rows << ' ' << m.cols;
        for (double v : m.data) os << ' ' << hex_double(v);
        os << '\n';
    }
}

inline std::vector<Matrix> read_outputs(std::istream& is, int count) {
    std::vector<Matrix> out;
    for (int i = 0; i < count; ++i) {
        std::string line;
        if (!std::getline(is, line)) break;
        std::istringstream ls(line);
        std::size_t r = 0, c = 0;
        ls >> r >> c;
        Matrix m(r, c);
        for (double& v : m.data) {
            std::string token;
            ls >> token;
            v = std::strtod(token.c_str(), nullptr);
        }
        out.push_back(std::move(m));
    }
    return out;
}

}  // namespace veltrax::testing
