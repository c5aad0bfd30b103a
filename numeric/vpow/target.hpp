// SPDX-License-Identifier: LGPL-2.1-or-later
// Code for one instruction set, written once for all of them.
//
// Each instruction set has a traits type Isa (numeric/vpow/avx2.hpp,
// avx512.hpp): its vector and mask types and the few operations the code
// needs, each one instruction or a short fixed sequence. Code over those
// operations lives in files named *-inl.hpp, which have no include guard and
// include nothing: a header of an instruction set includes them inside its
// namespace and inside a target region, so that every function defined there
// is compiled for that set's instructions, and nothing else is.
//
//   VELTRAX_BEGIN_AVX2                    // or VELTRAX_BEGIN_AVX512
//   namespace veltrax::vpow::avx2 {
//   #include "numeric/vpow/kernel-inl.hpp"
//   }
//   VELTRAX_END_TARGET
//
// Only this project's code goes inside a region: include every standard
// header before it, or its inline functions may be compiled for the wider
// instruction set, and the linker may then keep that copy for every caller.
// A function outside a region that calls into one needs the same target:
// VELTRAX_AVX2 or VELTRAX_AVX512 on its definition.
#pragma once

#define VELTRAX_AVX2 __attribute__((target("avx2,fma")))
#define VELTRAX_AVX512 __attribute__((target("avx512f,avx2,fma")))

#if defined(__clang__)
#define VELTRAX_BEGIN_AVX2 \
    _Pragma("clang attribute push(__attribute__((target(\"avx2,fma\"))), apply_to = function)")
#define VELTRAX_BEGIN_AVX512 \
    _Pragma("clang attribute push(__attribute__((target(\"avx512f,avx2,fma\"))), apply_to = function)")
#define VELTRAX_END_TARGET _Pragma("clang attribute pop")
#else
// gcc 12 reports the undefined pass-through operands of some AVX-512
// intrinsics as "may be used uninitialized" (a false positive).
#define VELTRAX_BEGIN_AVX2 \
    _Pragma("GCC push_options") _Pragma("GCC target(\"avx2,fma\")") _Pragma("GCC diagnostic push")
#define VELTRAX_BEGIN_AVX512                                                                  \
    _Pragma("GCC push_options") _Pragma("GCC target(\"avx512f,avx2,fma\")")                  \
        _Pragma("GCC diagnostic push") _Pragma("GCC diagnostic ignored \"-Wmaybe-uninitialized\"")
#define VELTRAX_END_TARGET _Pragma("GCC diagnostic pop") _Pragma("GCC pop_options")
#endif

// Operations of the traits types: always inlined into their callers.
#define VELTRAX_OP __attribute__((always_inline)) static inline
