// SPDX-License-Identifier: LGPL-2.1-or-later
#include "matprod/matprod.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>

#include "platform/resources.hpp"

namespace matprod {
namespace {

constexpr std::size_t kWorkPerPoll = std::size_t{1} << 20;
// Results up to this size are allocated without asking for the memory first.
constexpr std::uint64_t kUncheckedBytes = std::uint64_t{1} << 20;

std::uint64_t result_bytes(std::size_t m, std::size_t q) {
    std::uint64_t elements = 0, bytes = 0;
    if (__builtin_mul_overflow(m, q, &elements) || __builtin_mul_overflow(elements, sizeof(double), &bytes))
        return UINT64_MAX;
    return bytes;
}

Problem memory_problem(std::size_t m, std::size_t q, std::uint64_t available) {
    Problem problem;
    problem.id = "matprod:outOfMemory";
    std::string message = "the " + std::to_string(m) + " x " + std::to_string(q) + " product needs " +
                          veltrax::platform::describe_bytes(result_bytes(m, q)) + "; not enough memory";
    if (available != veltrax::platform::kUnknownMemory)
        message += " (" + veltrax::platform::describe_bytes(available) + " available)";
    std::snprintf(problem.message, sizeof problem.message, "%s", message.c_str());
    return problem;
}

}  // namespace

bool matrix_product(const double* a, const double* b, double* r, std::size_t m, std::size_t n, std::size_t p,
                    std::size_t q, bool (*cancelled)(void*), void* cancel_context) {
    (void)n;
    std::size_t work = 0;  // multiply-adds and elements since the last poll
    auto go_on = [&] {
        work = 0;
        return !(cancelled && cancelled(cancel_context));
    };
    if (!go_on()) return false;
    for (std::size_t i = 0; i < m; ++i) {
        for (std::size_t j = 0; j < q; ++j) {
            double* out = r + i + m * j;
            *out = 0.0;
            for (std::size_t k0 = 0; k0 < p; k0 += kWorkPerPoll) {
                const std::size_t k1 = std::min(p, k0 + kWorkPerPoll);
                for (std::size_t k = k0; k < k1; ++k) *out = *out + a[i + m * k] * b[k + p * j];
                work += k1 - k0;
                if (work >= kWorkPerPoll && !go_on()) return false;
            }
            if (++work >= kWorkPerPoll && !go_on()) return false;
        }
    }
    return true;
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

Problem check_memory(std::size_t m, std::size_t q) {
    const std::uint64_t bytes = result_bytes(m, q);
    if (bytes <= kUncheckedBytes) return {};
    const std::uint64_t available = veltrax::platform::available_memory();
    if (bytes > SIZE_MAX || bytes > available) return memory_problem(m, q, available);
    return {};
}

Problem out_of_memory(std::size_t m, std::size_t q) { return memory_problem(m, q, veltrax::platform::kUnknownMemory); }

Problem interrupted() {
    Problem problem;
    problem.id = "matprod:interrupted";
    std::snprintf(problem.message, sizeof problem.message, "interrupted before the product was complete");
    return problem;
}

}  // namespace matprod
