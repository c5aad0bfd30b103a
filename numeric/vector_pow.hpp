// SPDX-License-Identifier: LGPL-2.1-or-later
// A vector power function with the exact bits of this machine's std::pow.
//
// pow_n(x, n, y, out) computes out[i] = pow(x[i], y) for n values and one
// exponent, four at a time with AVX2 or eight at a time with AVX-512, and
// returns for every input, including zeros, negatives, subnormals,
// infinities, NaNs and results that overflow or underflow, exactly the bits
// std::pow returns. It repeats the C library's own power function (glibc
// 2.36, the variant the library runs on CPUs with FMA and AVX2) operation by
// operation, with the library's tables; inputs the library handles on a
// special path go to std::pow lane by lane. numeric/vector_pow_avx2.hpp
// explains the details. errno is not set by the vector lanes; those are the
// lanes whose results are finite and nonzero, for which std::pow does not set
// it either.
//
// Selection, once, at the first call of any function below (thread-safe):
// a vector path is used only when
//   - VELTRAX_SCALAR_POW is not set to 1 (set it to force std::pow, e.g. under
//     valgrind, which cannot run AVX-512);
//   - VELTRAX_POW_PATH, a testing aid, does not exclude it: =avx2 leaves out
//     the AVX-512 path, =scalar both vector paths (scalar_pow unchanged);
//   - the C library is the one transcribed: gnu_get_libc_version() is "2.36";
//   - the C library itself reports FMA and AVX2 usable (the condition under
//     which its pow runs the FMA variant; <sys/platform/x86.h>), and, for the
//     AVX-512 path, AVX512F usable;
//   - a self-check over a fixed set of inputs (every fused step, the special
//     paths, the overflow and underflow borders) gives the bits of std::pow.
// Otherwise everything falls back to std::pow. pow_path() tells which path
// runs; pow_selection_report() says why.
//
// Calling the kernel directly: a caller compiled for AVX2 and FMA (or
// AVX-512F) can call the inline kernels pow4_avx2 (__m256d) and pow8_avx512
// (__m512d) of numeric/vector_pow_avx2.hpp and vector_pow_avx512.hpp,
// after checking pow_path_usable(PowPath::Avx2) or (PowPath::Avx512):
//   - give the caller __attribute__((target("avx2,fma"))) (or
//     "avx512f,avx2,fma"); the kernels are always_inline, so a caller without
//     the target does not compile. A lambda inside such a function does not
//     inherit the attribute: pass intrinsics through attributed functions.
//   - prefer attributes to -mavx2 on a whole source file: inline functions
//     and templates instantiated in such a file may be the copy the linker
//     keeps for every other file, and then fault on a CPU without AVX2.
//   - lanes that are not positive normal numbers go to std::pow one by one
//     (20 to 30 ns each): put 1.0 in lanes whose result is not used (w <= 0
//     in the cost) and blend afterwards.
//   - the exponent is the same for all lanes; the kernel checks it on every
//     call (a few integer operations).
#pragma once

#include <atomic>
#include <cstddef>
#include <string>

namespace veltrax::vpow {

enum class PowPath { Scalar = 0, Avx2 = 1, Avx512 = 2 };

// The path pow_n, pow4 and pow8 use: the widest usable one.
PowPath pow_path();

// Whether the path passed selection (Scalar always does). The AVX-512 path
// may be usable or not independently of the AVX2 path.
bool pow_path_usable(PowPath path);

// "scalar", "avx2", "avx512".
const char* pow_path_name(PowPath path);

// One line per path: used or not, and the reason.
std::string pow_selection_report();

// out[i] = std::pow(x[i], y) for i < n, bit for bit; out may be x.
void pow_n(const double* x, std::size_t n, double y, double* out);

// The same for 4 or 8 values.
void pow4(const double* x, double y, double* out);
void pow8(const double* x, double y, double* out);

// pow_n on a given path (tests and benchmarks). A vector path requires the
// CPU features (pow_path_usable, or at least the features when testing).
void pow_n_on(PowPath path, const double* x, std::size_t n, double y, double* out);

// Whether the CPU (as the C library reports it) can run the path at all,
// whatever the other checks say.
bool pow_path_supported_by_cpu(PowPath path);

// std::pow(x, y) without the C library's errno wrapper: glibc 2.36's pow is
// a wrapper that calls the library's core (__ieee754_pow, exported as
// __pow_finite) and only sets errno afterwards, returning the core's result
// unchanged; scalar_pow calls the core directly, which is about 1 ns faster
// per call. Same bits as std::pow for every input; errno is not set.
// Selected at the first call under the same checks as the vector path
// (library version, self-check; VELTRAX_SCALAR_POW=1 forces std::pow),
// otherwise std::pow.
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
