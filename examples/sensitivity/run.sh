#!/bin/sh
# SPDX-License-Identifier: LGPL-2.1-or-later
# A Sobol study of MDAPE and overshoot over the example population's
# covariates and the control weight (2048 runs), then a tuning of the control
# weight for the 95th percentile of MDAPE; both with their reports.
#   examples/sensitivity/run.sh [OUTDIR]     (default out/sensitivity)
# Uses build/bin/veltrax, or veltrax on PATH; VELTRAX_THREADS sets the runs at once.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
out=${1:-out/sensitivity}
veltrax=$here/../../build/bin/veltrax
[ -x "$veltrax" ] || veltrax=veltrax
"$veltrax" batch "$here/study.json" -o "$out/study"
"$veltrax" report "$out/study"
"$veltrax" tune "$here/tune.json" -o "$out/tune"
"$veltrax" report "$out/tune"
echo "indices: $out/study/sensitivity.csv, $out/study/report.html; tuning: $out/tune/tune.json, $out/tune/report.html"
