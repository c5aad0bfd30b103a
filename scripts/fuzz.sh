#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# Builds the libFuzzer targets with clang and fuzzes the gateway and matprod
# (veltrax_fuzz) and the snapshot loader (snapshot_fuzz), each for half the time.
#
#   scripts/fuzz.sh [seconds]        default 60
#
# Environment:
#   VELTRAX_FUZZ_BUILD_DIR   build directory (default <repo>/build-fuzz)
#   VELTRAX_FUZZ_JOBS        build jobs (default 2)
#   VELTRAX_FUZZ_CORPUS      working corpus, grows as the fuzzer finds inputs
#                            (default <build dir>/corpus, seeded from fuzz/corpus)
#   VELTRAX_FUZZ_SNAPSHOT_CORPUS  the same for snapshot_fuzz (default
#                            <build dir>/snapshot-corpus, seeded by snapshot_seeds)
#
# First replays every input in fuzz/regressions/ (fuzz/regressions/snapshot/
# for snapshot_fuzz), then fuzzes for the given time. Exits non-zero on a finding; the input is written to
# <build dir>/artifacts/ (copy it to fuzz/regressions/ to keep it).
set -euo pipefail

seconds="${1:-60}"
repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${VELTRAX_FUZZ_BUILD_DIR:-$repo/build-fuzz}"
jobs="${VELTRAX_FUZZ_JOBS:-2}"
corpus="${VELTRAX_FUZZ_CORPUS:-$build/corpus}"
snapshot_corpus="${VELTRAX_FUZZ_SNAPSHOT_CORPUS:-$build/snapshot-corpus}"

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
  -DVELTRAX_OCTAVE=OFF -DVELTRAX_MATLAB=OFF -DVELTRAX_PYTHON=OFF -DVELTRAX_BENCHMARKS=OFF -DVELTRAX_CLI=OFF -DVELTRAX_TESTS=OFF
cmake --build "$build" --target veltrax_fuzz snapshot_fuzz snapshot_seeds -j "$jobs"
fuzzer="$build/fuzz/veltrax_fuzz"
snapshot_fuzzer="$build/fuzz/snapshot_fuzz"

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
snapshot_regressions=()
for f in "$repo"/fuzz/regressions/snapshot/*; do
  [ -f "$f" ] && snapshot_regressions+=("$f")
done
if [ "${#snapshot_regressions[@]}" -gt 0 ]; then
  echo "fuzz.sh: replaying ${#snapshot_regressions[@]} saved snapshot findings"
  "$snapshot_fuzzer" -runs=1 "${snapshot_regressions[@]}"
fi

mkdir -p "$corpus" "$build/artifacts"
cp -n "$repo"/fuzz/corpus/* "$corpus"/ 2> /dev/null || true
snapshot_seconds=$((seconds / 2 > 0 ? seconds / 2 : 1))
gateway_seconds=$((seconds - seconds / 2))
echo "fuzz.sh: fuzzing the gateway for $gateway_seconds s"
"$fuzzer" -max_total_time="$gateway_seconds" -timeout=60 -rss_limit_mb=4096 -max_len=512 \
  -artifact_prefix="$build/artifacts/" -print_final_stats=1 "$corpus"

mkdir -p "$snapshot_corpus" "$build/artifacts/snapshot"
"$build/fuzz/snapshot_seeds" "$snapshot_corpus"
echo "fuzz.sh: fuzzing the snapshot loader for $snapshot_seconds s"
"$snapshot_fuzzer" -max_total_time="$snapshot_seconds" -timeout=60 -rss_limit_mb=4096 -max_len=16384 \
  -artifact_prefix="$build/artifacts/snapshot/" -print_final_stats=1 "$snapshot_corpus"
echo "fuzz.sh: no finding in $seconds s"
