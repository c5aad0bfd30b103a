#include "matprod/matprod.hpp"

#include <cstdio>

namespace matprod {

void matrix_product(const double* a, const double* b, double* r, std::size_t m, std::size_t n, std::size_t p,
                    std::size_t q) {
    (void)n;
    for (std::size_t i = 0; i < m; ++i) {
        for (std::size_t j = 0; j < q; ++j) {
            double* out = r + i + m * j;
            *out = 0.0;
            for (std::size_t k = 0; k < p; ++k) *out = *out + a[i + m * k] * b[k + p * j];
        }
    }
}

Problem check_shapes(int nrhs, int nlhs, std::size_t n, std::size_t p) {
    Problem problem;
    if (nrhs < 2) {
        problem.id = "matprod:notEnoughInputs";
        std::snprintf(problem.message, sizeof problem.message, "needs 2 inputs (A and B), got %d", nrhs);
    } else if (nlhs > 1) {
        problem.id = "matprod:tooManyOutputs";
        std::snprintf(problem.message, sizeof problem.message, "returns 1 output, %d requested", nlhs);
    } else if (n != p) {
        problem.id = "matprod:dimensionMismatch";
        std::snprintf(problem.message, sizeof problem.message,
                      "inner dimensions must agree: A has %zu columns, B has %zu rows", n, p);
    }
    return problem;
}

}  // namespace matprod
