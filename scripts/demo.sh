#!/usr/bin/env bash
# Installs what is missing, builds the plug-ins and runs the example
# closed-loop simulations; the plots go to results/.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
build=${VELTRAX_BUILD_DIR:-build}
results=${VELTRAX_RESULTS_DIR:-results}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j"$(nproc)" --target veltrax1_octave veltrax2_octave veltrax3_octave matprod_octave
octave-cli --norc --no-history --no-window-system --eval \
  "addpath('$build/octave'); addpath('examples'); try; closed_loop_demo('$results'); catch err; disp(err.message); exit(1); end; exit(0);"
ls "$results"/*.png
