#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# Installs what is missing, builds everything from scratch in build-test/ and
# runs every test: unit tests, Octave tests of the plug-ins, command-line
# tool, package, README, the unit tests under AddressSanitizer and
# UndefinedBehaviorSanitizer, and a time-bounded fuzzing run.
#
# Every stage runs even when an earlier one failed; a summary line per stage
# closes the output, and the exit status is non-zero when any stage failed.
#
# Environment: VELTRAX_BUILD_DIR (default build-test), VELTRAX_JOBS (build
# and test jobs, default 2), VELTRAX_FUZZ_SECONDS (default 60).
set -uo pipefail
cd "$(dirname "$0")/.."

build=${VELTRAX_BUILD_DIR:-build-test}
jobs=${VELTRAX_JOBS:-2}

summary=()
failed=0
passed=0
# stage NAME COMMAND...: runs one stage and records its outcome.
stage() {
  local name=$1 start=$SECONDS rc=0
  shift
  echo "=== $name"
  "$@" || rc=$?
  local took=$((SECONDS - start))
  if ((rc == 0)); then
    passed=$((passed + 1))
    summary+=("$(printf '%-12s passed  (%d s)' "$name" "$took")")
  else
    failed=$((failed + 1))
    summary+=("$(printf '%-12s FAILED  (exit %d, %d s)' "$name" "$rc" "$took")")
  fi
}

build_all() {
  rm -rf "$build"
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release && cmake --build "$build" -j"$jobs"
}

stage install bash scripts/install-deps.sh test
stage build build_all
# CTest's output also goes to a log, so that the summary can name skipped tests.
run_ctest() {
  local rc=0
  ctest --test-dir "$build" --output-on-failure --no-tests=error -j"$jobs" 2>&1 | tee "$build/ctest.log" || rc=$?
  skipped=$(grep -oE '[[:alnum:]_.-]+ \(Skipped\)' "$build/ctest.log" | sed 's/ (Skipped)//' | sort -u | paste -sd' ' -) || true
  return "$rc"
}
skipped=
stage ctest run_ctest
[[ -n "$skipped" ]] && summary+=("$(printf '%-12s skipped %s' '' "$skipped")")
stage sanitizers env VELTRAX_ASAN_JOBS="$jobs" bash scripts/sanitize.sh "$build-sanitize"
stage fuzzing env VELTRAX_FUZZ_BUILD_DIR="$build-fuzz" VELTRAX_FUZZ_JOBS="$jobs" \
  bash scripts/fuzz.sh "${VELTRAX_FUZZ_SECONDS:-60}"

echo "=== summary"
printf '%s\n' "${summary[@]}"
echo "stages: $passed passed, $failed failed"
((failed == 0))
