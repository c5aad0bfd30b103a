// SPDX-License-Identifier: LGPL-2.1-or-later
// Product of two column-major double matrices.
#pragma once

#include <cstddef>

namespace matprod {

// r (m x q) = a (m x n) * b (p x q), summing over the p rows of b in
// increasing order, each partial sum stored in r. n takes no part.
// `cancelled` (when given) is asked first and between blocks of about a
// million multiply-adds; if it returns true the product stops, r only partly
// written, and the result is false.
bool matrix_product(const double* a, const double* b, double* r, std::size_t m, std::size_t n, std::size_t p,
                    std::size_t q, bool (*cancelled)(void*) = nullptr, void* cancel_context = nullptr);

// Why a call cannot be served, or nullptr: identifier and message.
struct Problem {
    const char* id = nullptr;
    char message[200] = {};
};

// Checks counts and inner dimensions of A (m x n) and B (p x q).
Problem check_shapes(int nrhs, int nlhs, std::size_t n, std::size_t p);

// Checks that an m x q result fits into the memory this process can take.
Problem check_memory(std::size_t m, std::size_t q);

// matprod:outOfMemory for an m x q result that could not be allocated.
Problem out_of_memory(std::size_t m, std::size_t q);

// matprod:interrupted.
Problem interrupted();

}  // namespace matprod
