// SPDX-License-Identifier: LGPL-2.1-or-later
// A vector power function with the exact bits of this machine's std::pow.
//
// pow_n(x, n, y, out) computes out[i] = pow(x[i], y) for n values and one
// exponent, four at a time with AVX2 or eight at a time with AVX-512, and
// returns for every input, including zeros, negatives, subnormals,
// infinities, NaNs and results that overflow or underflow, exactly the bits
// std::pow returns. It repeats the C library's own power function operation
// by operation, with the library's tables (numeric/vpow/kernel-inl.hpp
// explains how); inputs the library handles on a special path go to std::pow
// lane by lane. errno is not set by the vector lanes; those are the lanes
// whose results are finite and nonzero, for which std::pow does not set it
// either.
//
// Selection, once, at the first call of any function below (thread-safe):
// a vector path is used only when
//   - VELTRAX_POW_PATH allows it: auto (or unset) allows every path, avx512
//     and avx2 at most that path, scalar none; a path the machine cannot run
//     falls back to the next narrower one, and the report says why;
//   - the C library is a verified one (select.cpp lists them, and says how a
//     new version is verified and added);
//   - the C library itself reports FMA and AVX2 usable (the condition under
//     which its pow runs the FMA variant; <sys/platform/x86.h>), and, for the
//     AVX-512 path, AVX512F usable;
//   - a self-check over a fixed set of inputs (every fused step, the special
//     paths, the overflow and underflow borders) gives the bits of std::pow.
// Otherwise everything falls back to std::pow. pow_path() tells which path
// runs; pow_summary() says it in one line, pow_selection_report() in detail.
// What selection learns (std::pow's outputs on the self-check inputs, the
// table access calibrated, whether this code's kernels passed) is kept for
// the process across plug-in loads, in one key of the process keyring, and
// only while the user's key quota has ample room; otherwise the next load
// checks again, about 1 ms (numeric/vpow/process_memo.hpp). Paths narrower
// than the chosen one are checked when first asked about.
//
// Calling the kernel directly: code compiled for AVX2 and FMA (or AVX-512F)
// can call vpow::avx2::pow_kernel or vpow::avx512::pow_kernel
// (numeric/vpow/avx2.hpp, avx512.hpp) after checking pow_path_usable.
#pragma once

#include <atomic>
#include <cstddef>
#include <string>

namespace veltrax::vpow {

enum class PowPath { Scalar = 0, Avx2 = 1, Avx512 = 2 };

// How a vector kernel reads the library's table entries of its lanes: with
// gather instructions, or with one plain load per lane and permutes. Both
// read the same values; which is faster depends on the processor.
enum class TableAccess { Gathers = 0, Loads = 1 };

// The path pow_n uses: the widest usable one.
PowPath pow_path();

// Whether the path passed selection (Scalar always does). The AVX-512 path
// may be usable or not independently of the AVX2 path.
bool pow_path_usable(PowPath path);

// "scalar", "avx2", "avx512".
const char* pow_path_name(PowPath path);

// One line: the path in use and why, e.g.
// "power: avx512 (glibc 2.36 verified, self-check passed)".
std::string pow_summary();

// One line per path: used or not, and the reason.
std::string pow_selection_report();

// out[i] = std::pow(x[i], y) for i < n, bit for bit; out may be x.
void pow_n(const double* x, std::size_t n, double y, double* out);

// pow_n on a given path (tests and benchmarks), with the table access chosen
// for it or a given one. A vector path requires the CPU features
// (pow_path_usable, or at least pow_path_supported_by_cpu).
void pow_n_on(PowPath path, const double* x, std::size_t n, double y, double* out);
void pow_n_on(PowPath path, TableAccess access, const double* x, std::size_t n, double y, double* out);

// The table access a vector path uses: VELTRAX_POW_TABLES=gathers or =loads
// (a testing aid), else the faster one in a short calibration at selection.
TableAccess table_access(PowPath path);
const char* table_access_name(TableAccess access);  // "gathers", "loads"

// Replaces the table access of a path for later calls (benchmarks).
void set_table_access(PowPath path, TableAccess access);

// Whether the CPU (as the C library reports it) can run the path at all,
// whatever the other checks say.
bool pow_path_supported_by_cpu(PowPath path);

// std::pow(x, y) without the C library's errno wrapper: the library's pow is
// a wrapper that calls its core (__ieee754_pow, exported as __pow_finite)
// and only sets errno afterwards, returning the core's result unchanged;
// scalar_pow calls the core directly, which is about 1 ns faster per call.
// Same bits as std::pow for every input; errno is not set. Selected at the
// first call on a verified C library whose core passes the self-check,
// whatever VELTRAX_POW_PATH says; otherwise std::pow.
namespace detail {
using PowFunction = double (*)(double, double);
extern std::atomic<PowFunction> g_scalar_pow;  // first a resolver that replaces itself
}  // namespace detail

inline double scalar_pow(double x, double y) {
    return detail::g_scalar_pow.load(std::memory_order_relaxed)(x, y);
}

// Whether scalar_pow calls the library core directly (runs the selection).
bool scalar_pow_is_direct();

}  // namespace veltrax::vpow
