#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# Builds the unit tests with AddressSanitizer and UndefinedBehaviorSanitizer
# and runs them; any report is fatal.
#
#   scripts/sanitize.sh [build dir]     default $VELTRAX_ASAN_BUILD_DIR or <repo>/build-asan
#
# Environment: VELTRAX_ASAN_JOBS (build and test jobs, default 2), CXX (default g++).
# The Octave plug-ins and the Python module are off: they load into an Octave
# and a Python that are not sanitized.
set -euo pipefail

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-${VELTRAX_ASAN_BUILD_DIR:-$repo/build-asan}}"
jobs="${VELTRAX_ASAN_JOBS:-2}"

CXX="${CXX:-g++}" cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=Release -DVELTRAX_SANITIZE=address,undefined \
  -DVELTRAX_OCTAVE=OFF -DVELTRAX_MATLAB=OFF -DVELTRAX_PYTHON=OFF -DVELTRAX_BENCHMARKS=OFF -DVELTRAX_CLI=OFF -DVELTRAX_TESTS=ON
cmake --build "$build" -j "$jobs"

export ASAN_OPTIONS="${ASAN_OPTIONS:-halt_on_error=1:abort_on_error=1:detect_leaks=1:detect_stack_use_after_return=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}"

if [ ! -x "$build/tests/veltrax_tests" ]; then
  echo "sanitize.sh: tests/unit has no sources yet, nothing to run"
  exit 0
fi
ctest --test-dir "$build" --output-on-failure --no-tests=error -j "$jobs"
