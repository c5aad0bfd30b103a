#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# Builds the libFuzzer target with clang and fuzzes the gateway and matprod.
#
#   scripts/fuzz.sh [seconds]        default 60
#
# Environment:
#   VELTRAX_FUZZ_BUILD_DIR   build directory (default <repo>/build-fuzz)
#   VELTRAX_FUZZ_JOBS        build jobs (default 2)
#   VELTRAX_FUZZ_CORPUS      working corpus, grows as the fuzzer finds inputs
#                            (default <build dir>/corpus, seeded from fuzz/corpus)
#
# First replays every input in fuzz/regressions/, then fuzzes for the given
# time. Exits non-zero on a finding; the input is written to
# <build dir>/artifacts/ (copy it to fuzz/regressions/ to keep it).
set -euo pipefail

seconds="${1:-60}"
repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${VELTRAX_FUZZ_BUILD_DIR:-$repo/build-fuzz}"
jobs="${VELTRAX_FUZZ_JOBS:-2}"
corpus="${VELTRAX_FUZZ_CORPUS:-$build/corpus}"

if ! [[ "$seconds" =~ ^[0-9]+$ ]] || [ "$seconds" -lt 1 ]; then
  echo "usage: $0 [seconds]" >&2
  exit 2
fi
cxx="${CXX:-clang++}"
if ! command -v "$cxx" > /dev/null || ! "$cxx" --version | grep -q clang; then
  echo "fuzz.sh: needs clang++ with libFuzzer (packages clang and libclang-rt-dev)" >&2
  exit 2
fi

CXX="$cxx" cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=Release -DVELTRAX_FUZZ=ON \
  -DVELTRAX_OCTAVE=OFF -DVELTRAX_MATLAB=OFF -DVELTRAX_BENCHMARKS=OFF -DVELTRAX_CLI=OFF -DVELTRAX_TESTS=OFF
cmake --build "$build" --target veltrax_fuzz -j "$jobs"
fuzzer="$build/fuzz/veltrax_fuzz"

export ASAN_OPTIONS="${ASAN_OPTIONS:-halt_on_error=1:abort_on_error=1:detect_leaks=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}"

regressions=()
for f in "$repo"/fuzz/regressions/*; do
  [ -f "$f" ] && [[ "$f" != *.md ]] && regressions+=("$f")
done
if [ "${#regressions[@]}" -gt 0 ]; then
  echo "fuzz.sh: replaying ${#regressions[@]} saved findings"
  "$fuzzer" -runs=1 "${regressions[@]}"
fi

mkdir -p "$corpus" "$build/artifacts"
cp -n "$repo"/fuzz/corpus/* "$corpus"/ 2> /dev/null || true
echo "fuzz.sh: fuzzing for $seconds s"
"$fuzzer" -max_total_time="$seconds" -timeout=60 -rss_limit_mb=4096 -max_len=512 \
  -artifact_prefix="$build/artifacts/" -print_final_stats=1 "$corpus"
echo "fuzz.sh: no finding in $seconds s"
