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
# On the systems the project is tested on (Debian 12 and 13 on x86-64), the
# power path that the CPU allows is expected (AVX-512 lanes, AVX2 lanes, or
# the scalar path without AVX2 and FMA), and the test pow_path.expected fails
# when another is selected; VELTRAX_EXPECT_POW_PATH=avx512|avx2|scalar|vector
# says what to expect elsewhere, =any expects nothing.
#
# Environment: VELTRAX_BUILD_DIR (default build-test), VELTRAX_JOBS (build
# and test jobs, default 2), VELTRAX_FUZZ_SECONDS (default 60),
# VELTRAX_STAGES (the stages to run, default "install build ctest sanitizers
# fuzzing"), VELTRAX_CTEST_ARGS (more arguments of ctest, e.g. "-L python"),
# VELTRAX_CMAKE_ARGS (more arguments of the build's cmake).
set -uo pipefail
cd "$(dirname "$0")/.."

build=${VELTRAX_BUILD_DIR:-build-test}
jobs=${VELTRAX_JOBS:-2}
stages=" ${VELTRAX_STAGES:-install build ctest sanitizers fuzzing} "
read -r -a ctest_args <<<"${VELTRAX_CTEST_ARGS:-}"
read -r -a cmake_args <<<"${VELTRAX_CMAKE_ARGS:-}"

# The power path of a tested system: the widest the CPU allows.
expected_pow_path() {
  [[ $(uname -m) == x86_64 && -r /etc/os-release ]] || return 0
  local system flags
  system=$(. /etc/os-release && echo "${ID:-} ${VERSION_ID:-}")
  [[ $system == "debian 12" || $system == "debian 13" ]] || return 0
  flags=" $(grep -m 1 '^flags' /proc/cpuinfo 2>/dev/null) "
  if [[ $flags != *" avx2 "* || $flags != *" fma "* ]]; then
    echo scalar
  elif [[ $flags == *" avx512f "* ]]; then
    echo avx512
  else
    echo avx2
  fi
}
export VELTRAX_EXPECT_POW_PATH=${VELTRAX_EXPECT_POW_PATH-$(expected_pow_path)}

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
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release "${cmake_args[@]}" && cmake --build "$build" -j"$jobs"
}

# stage_if NAME COMMAND...: the stage, when VELTRAX_STAGES names it.
stage_if() {
  [[ $stages == *" $1 "* ]] && stage "$@"
  return 0
}

stage_if install bash scripts/install-deps.sh test
stage_if build build_all
# CTest's output also goes to a log, so that the summary can name skipped tests
# and the power path.
run_ctest() {
  local rc=0
  ctest --test-dir "$build" --output-on-failure --no-tests=error -j"$jobs" "${ctest_args[@]}" 2>&1 |
    tee "$build/ctest.log" || rc=$?
  # "The following tests did not run:" lists them as "  12 - NAME (Skipped)";
  # a parametrised test's NAME ends in "  # GetParam() = ...".
  skipped=$(sed -nE 's/^[[:space:]]+[0-9]+ - (.*) \((Skipped|Disabled)\)$/\1/p' "$build/ctest.log" |
    sed -E 's/  # GetParam\(\).*//' | sort -u | paste -sd' ' -) || true
  return "$rc"
}
skipped=
stage_if ctest run_ctest
[[ -n "$skipped" ]] && summary+=("$(printf '%-12s skipped %s' '' "$skipped")")
if [[ -x $build/tests/pow_path_check ]]; then
  selected=$(env -u VELTRAX_EXPECT_POW_PATH "$build/tests/pow_path_check" | sed -n 's/^path: //p')
  summary+=("$(printf '%-12s %s path selected, %s expected' 'power' "${selected:-no}" "${VELTRAX_EXPECT_POW_PATH:-none}")")
fi
stage_if sanitizers env VELTRAX_ASAN_JOBS="$jobs" bash scripts/sanitize.sh "$build-sanitize"
stage_if fuzzing env VELTRAX_FUZZ_BUILD_DIR="$build-fuzz" VELTRAX_FUZZ_JOBS="$jobs" \
  bash scripts/fuzz.sh "${VELTRAX_FUZZ_SECONDS:-60}"

echo "=== summary"
printf '%s\n' "${summary[@]}"
echo "stages: $passed passed, $failed failed"
((failed == 0))
