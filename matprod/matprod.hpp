// Product of two column-major double matrices.
#pragma once

#include <cstddef>

namespace matprod {

// r (m x q) = a (m x n) * b (p x q), summing over the p rows of b in
// increasing order, each partial sum stored in r. n takes no part.
void matrix_product(const double* a, const double* b, double* r, std::size_t m, std::size_t n, std::size_t p,
                    std::size_t q);

// Why a call cannot be served, or nullptr: identifier and message.
struct Problem {
    const char* id = nullptr;
    char message[200] = {};
};

// Checks counts and inner dimensions of A (m x n) and B (p x q).
Problem check_shapes(int nrhs, int nlhs, std::size_t n, std::size_t p);

}  // namespace matprod
