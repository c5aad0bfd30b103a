#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# Installs what is missing, builds the plug-ins, their help texts and the
# command-line tool into build/, and runs the example closed-loop
# simulations: their sums go to the screen, their plots to results/.
#
# Environment: VELTRAX_BUILD_DIR (default build), VELTRAX_RESULTS_DIR
# (default results), VELTRAX_JOBS (build jobs, default 2).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh demo
build=${VELTRAX_BUILD_DIR:-build}
results=${VELTRAX_RESULTS_DIR:-results}
jobs=${VELTRAX_JOBS:-2}

mkdir -p "$build"
log=$build/demo-build.log
echo "building the plug-ins, their help texts and the command-line tool in $build/ (log in $log)"
if ! { cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DVELTRAX_TESTS=OFF -DVELTRAX_BENCHMARKS=OFF &&
       cmake --build "$build" -j"$jobs"; } >"$log" 2>&1; then
  cat "$log" >&2
  echo "the build failed; its output is above and in $log" >&2
  exit 1
fi
for f in octave/veltrax1.mex octave/veltrax2.m octave/matprod.mex bin/veltrax; do
  [[ -e $build/$f ]] || { echo "the build made no $build/$f; see $log" >&2; exit 1; }
done

echo "running examples/closed_loop_demo.m"
octave-cli --norc --no-history --no-window-system --eval \
  "addpath('$build/octave'); addpath('examples'); try; closed_loop_demo('$results'); catch err; disp(err.message); exit(1); end; exit(0);"
