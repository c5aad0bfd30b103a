#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# run_readme.sh README SOURCE_DIR
# Runs the README top to bottom as a newcomer would, in a fresh copy of the
# source tree: every sh block line by line (bash scripts/demo.sh builds
# build/ there; bash scripts/test.sh, this test's own caller, is left out)
# and every octave block, in the order they appear.
set -euo pipefail
readme=$1 src=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/veltrax"
tar -C "$src" --exclude='./build*' --exclude=./results --exclude=./out --exclude=./.git -cf - . |
  tar -C "$work/veltrax" -xf -
cd "$work/veltrax"

fail() { echo "FAIL: $*" >&2; exit 1; }

# The fenced blocks, numbered in order: blocks/NNN.sh, blocks/NNN.octave, ...
mkdir "$work/blocks"
awk -v dir="$work/blocks" '
  /^```[a-z]+$/ && !inside { n++; inside = 1; file = sprintf("%s/%03d.%s", dir, n, substr($0, 4)); next }
  /^```/ { inside = 0; next }
  inside { print > file }' "$readme"

ran_demo=0 ran_octave=0 ran_cli=0
for block in "$work"/blocks/*; do
  case $block in
    *.sh)
      while IFS= read -r line; do
        [[ -z $line || $line == \#* || $line == "bash scripts/test.sh" ]] && continue
        echo "\$ $line"
        if [[ $line == "bash scripts/demo.sh" ]]; then
          bash -c "$line" </dev/null 2>&1 | tee "$work/demo.log"
          ran_demo=1
        else
          bash -c "$line" </dev/null || fail "README command failed: $line"
          [[ $line == build/bin/veltrax* ]] && ran_cli=1
        fi
      done <"$block"
      ;;
    *.octave)
      cp "$block" readme_block.m   # run() works in the script's folder
      octave-cli --norc --no-history --no-window-system --eval \
        "try; run('readme_block.m'); catch err; disp(err.message); exit(1); end; exit(0);" 2>&1 |
        tee "$work/octave.log"
      grep -q 'is not documented' "$work/octave.log" && fail "help text missing"
      ran_octave=1
      ;;
  esac
done

((ran_demo && ran_octave && ran_cli)) || fail "the README lacks the demo, an octave block or a command-line block"
# The demo ends with its results, says no error, and wrote every plot of the README's table.
grep -q '^error:' "$work/demo.log" && fail "the demo printed an error"
tail -n 1 "$work/demo.log" | grep -q 'three_builds.png' || fail "the demo does not end with the list of plots"
for f in $(grep -o 'results/[a-z_]*\.png' "$readme" | sort -u); do
  [[ -s $f ]] || fail "the demo wrote no $f"
done
ls out/two_calls/call2_trajectory.csv out/two_calls/summary.json out/examples/*/summary.json >/dev/null
echo "the README ran top to bottom"
