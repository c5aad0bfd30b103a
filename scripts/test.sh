#!/usr/bin/env bash
# Installs what is missing, builds everything from scratch and runs every
# test: unit tests, Octave tests of the plug-ins, command-line tool, package,
# the unit tests under AddressSanitizer and UndefinedBehaviorSanitizer, and a
# time-bounded fuzzing run.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
build=${VELTRAX_BUILD_DIR:-build-test}
rm -rf "$build"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release
cmake --build "$build" -j"$(nproc)"
ctest --test-dir "$build" --output-on-failure -j"$(nproc)"

bash scripts/sanitize.sh "$build-sanitize"
VELTRAX_FUZZ_BUILD_DIR="$build-fuzz" bash scripts/fuzz.sh "${VELTRAX_FUZZ_SECONDS:-60}"
echo "all tests passed"
