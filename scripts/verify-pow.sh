#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# Checks whether the vector power function repeats this machine's C library
# exactly, and prints a verdict (tests/tools/verify_pow.cpp says what it
# checks). Run it on a system whose glibc version numeric/vpow/select.cpp
# does not list yet; when it prints "verdict: verified", add the version to
# kVerifiedLibraries there, and the vector paths run on that version.
#
#   scripts/verify-pow.sh [COUNT]     values compared per path, default 100000000
#
# Needs only a C++ compiler (g++, or CXX), on x86-64 with AVX2 and FMA (the
# AVX-512 kernel is checked where the CPU has AVX-512F), and permission to
# single-step a child process with ptrace (root, or the default Yama setting).
# Exit status 0 when verified.
set -euo pipefail

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
count="${1:-100000000}"
out="$(mktemp -d)"
trap 'rm -rf "$out"' EXIT

read -r -a flags <<<"$(sed -e 's/#.*//' "$repo/cmake/compile-flags.txt" | tr '\n' ' ')"
mapfile -t sources < <(sed -n -e 's|^veltrax_core[[:space:]]\{1,\}\(numeric/vpow/.*\.cpp\)$|\1|p' \
  "$repo/cmake/core-sources.txt")
echo "building tests/tools/verify_pow.cpp with ${CXX:-g++}"
(cd "$repo" && "${CXX:-g++}" "${flags[@]}" -I. -Itests/support tests/tools/verify_pow.cpp "${sources[@]}" \
  -o "$out/verify_pow" -ldl -pthread)
"$out/verify_pow" "$count" 1 "$(nproc)"
