#!/usr/bin/env bash
# run_readme.sh octave|cli|demo README SOURCE_DIR BUILD_DIR
# Runs the README's code blocks of one kind in a scratch folder laid out like
# the repository root (build/ is the build under test).
set -euo pipefail
part=$1 readme=$2 src=$3 build=$4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
ln -s "$build" build
ln -s "$src/examples" examples

blocks() {  # the fenced blocks of language $1
  awk -v lang="$1" '$0 == "```" lang { inside = 1; next } /^```/ { inside = 0; next } inside { print }' "$readme"
}

case $part in
  octave)
    blocks octave > readme.m
    [[ -s readme.m ]] || { echo "no octave block"; exit 1; }
    octave-cli --norc --no-history --no-window-system --eval \
      "try; run('readme.m'); catch err; disp(err.message); exit(1); end; exit(0);"
    ;;
  cli)
    blocks sh | grep '^build/bin/veltrax' > cli.sh
    [[ -s cli.sh ]] || { echo "no command-line block"; exit 1; }
    bash -euo pipefail cli.sh
    ls out/two_calls/call2_trajectory.csv out/two_calls/summary.json out/examples/*/summary.json >/dev/null
    ;;
  demo)
    # The first command, on a build folder of its own.
    grep -qx 'bash scripts/demo.sh' "$readme"
    VELTRAX_BUILD_DIR="$work/demo-build" VELTRAX_RESULTS_DIR="$work/results" bash "$src/scripts/demo.sh"
    for f in linear_closed_loop linear_estimates model_closed_loop model_concentration three_builds; do
      grep -q "results/$f.png" "$readme"
      [[ -s "$work/results/$f.png" ]] || { echo "missing $f.png"; exit 1; }
    done
    ;;
esac
