#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# veltrax report over real batch results: a whole sweep, the same sweep run
# as three shards into one folder, a partial sweep and bad folders.
# Needs VELTRAX (the binary) and VELTRAX_SOURCE_DIR.
set -u

: "${VELTRAX:?path of bin/veltrax}" "${VELTRAX_SOURCE_DIR:?source tree}"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

mkdir sweep
for w in 0.05 0.1 0.2 0.4; do
  cat >"sweep/weight_$w.json" <<EOF2
{"build": 2, "params": [40, $w, 2, 2, 3, 3, 0.01, 10, 0.1],
 "numerator": [1], "denominator": [1, 3, 3, 1], "curve": [0.404, 0.505, 2.98, 4.0]}
EOF2
done

# The whole sweep in one process; batch writes the manifest.
"$VELTRAX" batch sweep/*.json -o whole --threads 2 || fail "batch of the whole sweep"
out=$("$VELTRAX" report whole 2>&1) || fail "report whole: $out"
[[ $out == *"4 runs expected, 4 found: 4 ok, 0 failed, 0 unreadable, 0 missing"* ]] || fail "report whole said: $out"
[[ $(wc -l <whole/sweep.csv) == 5 ]] || fail "sweep.csv of 4 runs: $(cat whole/sweep.csv)"
if command -v gnuplot >/dev/null; then
  for png in report_band_1.png report_metrics.png; do
    [[ $(head -c 4 "whole/$png" | od -An -c | tr -d ' ') == "211PNG" ]] || fail "no $png"
  done
fi

# Three shards at once into one folder: the same report, byte for byte.
for k in 1 2 3; do
  "$VELTRAX" batch sweep/*.json -o shards --threads 1 --shard "$k/3" &
done
wait
"$VELTRAX" report shards >/dev/null || fail "report of the shards"
for f in sweep.csv report.html report.gp; do
  cmp -s "whole/$f" "shards/$f" || fail "$f of the sharded sweep differs from the whole one"
done

# A partial sweep: one run folder gone.
cp -r whole partial
rm -r partial/weight_0.2
out=$("$VELTRAX" report partial --no-plots)
rc=$?
[[ $rc == 3 && $out == *"3 found: 3 ok, 0 failed, 0 unreadable, 1 missing"* && $out == *"missing: weight_0.2"* ]] ||
  fail "partial sweep: exit $rc, expected 3 (written, runs missing): $out"
grep -q '^weight_0.2,,,missing,,no summary.json,' partial/sweep.csv || fail "no missing row: $(cat partial/sweep.csv)"
grep -q 'Missing runs (1)' partial/report.html || fail "report.html does not list the missing run"
[[ -e partial/report_metrics.png && partial/report_metrics.png -nt partial/sweep.csv ]] &&
  fail "--no-plots ran gnuplot"

# Folders that are no sweep.
err=$("$VELTRAX" report nowhere 2>&1)
[[ $? == 1 && $err == *"veltrax:badSweep"* ]] || fail "report of a missing folder: $err"
mkdir broken && echo '{"sweep": 1, "scenarios": [{"name": "a"}, {"name": "a"}]}' >broken/sweep.json
err=$("$VELTRAX" report broken 2>&1)
[[ $? == 1 && $err == *"'a' is listed twice"* ]] || fail "report with a bad manifest: $err"
"$VELTRAX" report >/dev/null 2>&1
[[ $? == 2 ]] || fail "report without a folder is not a usage error"
# A manifest beyond the limits is refused at once, nothing of it read.
mkdir huge && echo '{"sweep": 1, "scenarios": [{"name": "pop", "individuals": 100000000}]}' >huge/sweep.json
err=$(timeout -s KILL 20 "$VELTRAX" report huge 2>&1)
[[ $? == 1 && $err == *'veltrax:badSweep'*'"individuals" must be a whole number from 1 to 10000000, got 100000000'* ]] ||
  fail "report of a manifest of 10^8 individuals: $err"

# A link in place of a report file is followed, not replaced.
mkdir elsewhere && mv whole/report.html elsewhere/page.html && ln -s ../elsewhere/page.html whole/report.html
"$VELTRAX" report whole --no-plots >/dev/null || fail "report through a link"
[[ -L whole/report.html ]] && grep -q '4 runs expected' elsewhere/page.html || fail "report.html through a link: $(ls -l whole)"

# SIGINT while the runs of 10^7 expected individuals are read, SIGTERM
# while gnuplot runs (which ends too): the report stops at once (here:
# within 20 s on a busy machine; the runs alone take minutes), by that
# signal, and leaves the earlier report as it was.
stop_report() {
  local signal=$1 status=$2
  shift 2
  set -m
  "$VELTRAX" report "$@" >/dev/null 2>stop.err &
  local pid=$! rc
  set +m
  (sleep 20 && kill -KILL "$pid") 2>/dev/null &
  local watchdog=$!
  sleep 1
  kill "-$signal" "$pid"
  wait "$pid"
  rc=$?
  kill "$watchdog" 2>/dev/null
  [[ $rc == "$status" ]] && grep -q "veltrax:interrupted: stopped by SIG$signal; no report written" stop.err ||
    fail "report stopped by SIG$signal: exit $rc, expected $status: $(cat stop.err)"
}
mkdir many && echo '{"sweep": 1, "scenarios": [{"name": "pop", "individuals": 10000000}]}' >many/sweep.json
stop_report INT 130 many
[[ -e many/sweep.csv ]] && fail "a stopped report wrote sweep.csv"
mkdir slow && printf '#!/bin/sh\nexec sleep 60\n' >slow/gnuplot && chmod +x slow/gnuplot
cp whole/sweep.csv earlier.csv
PATH="$work/slow:$PATH" stop_report TERM 143 whole
cmp -s earlier.csv whole/sweep.csv && [[ -z $(ls -A whole | grep '^\.') ]] ||
  fail "a stopped report changed sweep.csv or left files: $(ls -A whole)"

if ((failures)); then
  echo "$failures failures"
  exit 1
fi
echo "report tests passed"
