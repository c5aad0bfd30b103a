#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# The NetCDF store through the tool: a population sweep with --store netcdf
# gives the same sweep.csv as run folders, whole or as two shards; a shard
# killed at any moment resumes to the same result; truncated and foreign
# files, overlapping shards and a shard of another scenario are refused
# without anything overwritten.
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
sed -e 's/"samples": 300/"samples": 40/' -e 's/"size": 20/"size": 12/' \
  -e 's/\[\[0, 0.5\].*\]\],/[[0, 0.5], [20, 0.7]],/' \
  "$VELTRAX_SOURCE_DIR/examples/populations/patients.json" >sweep/patients.json
cat >sweep/linear.json <<'EOF2'
{"build": 2, "params": [40, 0.1, 2, 2, 3, 3, 0.01, 10, 0.1],
 "numerator": [1], "denominator": [1, 3, 3, 1], "curve": [0.404, 0.505, 2.98, 4.0]}
EOF2

"$VELTRAX" batch sweep/*.json -o folders --threads 2 >/dev/null || fail "batch into run folders"
"$VELTRAX" report folders --no-plots >/dev/null || fail "report of the run folders"
"$VELTRAX" batch sweep/*.json -o whole --threads 2 --store netcdf >/dev/null || fail "batch into the store"
[[ -f whole/sweep.nc && ! -e whole/linear ]] || fail "the store wrote run folders: $(ls whole)"
"$VELTRAX" report whole --no-plots >/dev/null || fail "report of the store"
cmp -s folders/sweep.csv whole/sweep.csv || fail "sweep.csv of the store differs from the run folders'"
grep -q "patients" whole/report.html || fail "report.html of the store does not name the scenario"

# Two shards, the second killed at some moment and run again: the same rows.
"$VELTRAX" batch sweep/*.json -o shards --threads 1 --shard 1/2 --store netcdf >/dev/null || fail "shard 1/2"
"$VELTRAX" batch sweep/*.json -o shards --threads 1 --shard 2/2 --store netcdf >/dev/null 2>&1 &
pid=$!
sleep 0.3
kill -KILL "$pid" 2>/dev/null
wait "$pid" 2>/dev/null
"$VELTRAX" batch sweep/*.json -o shards --threads 1 --shard 2/2 --store netcdf >/dev/null ||
  fail "shard 2/2 run again after a kill"
"$VELTRAX" report shards --no-plots >/dev/null || fail "report of the shards"
cmp -s whole/sweep.csv shards/sweep.csv || fail "sweep.csv of the resumed shards differs"

# Bad shard files: refused, sweep.csv untouched.
expect_refused() {  # NAME FOLDER TEXT: report FOLDER fails with TEXT and leaves sweep.csv as it was
  local before err
  before=$(md5sum "$2/sweep.csv" 2>/dev/null)
  err=$("$VELTRAX" report "$2" --no-plots 2>&1)
  [[ $? == 1 && $err == *"$3"* ]] || fail "$1: $err"
  [[ -n ${VERBOSE:-} ]] && echo "$1: $err"
  [[ $(md5sum "$2/sweep.csv" 2>/dev/null) == "$before" ]] || fail "$1: sweep.csv was overwritten"
}
cp -r whole truncated
truncate -s "$(($(stat -c %s whole/sweep.nc) / 2))" truncated/sweep.nc
expect_refused "truncated file" truncated "sweep.nc"
cp -r whole foreign
echo "not a NetCDF file" >foreign/sweep.nc
expect_refused "foreign file" foreign "sweep.nc"
cp -r shards overlap
cp shards/sweep.1-of-2.nc overlap/sweep.nc
expect_refused "overlapping shards" overlap "veltrax:badSweep"
mkdir other
cp -r sweep other-sweep && sed -i 's/"seed": 7/"seed": 8/' other-sweep/patients.json
"$VELTRAX" batch other-sweep/*.json -o other --shard 1/2 --store netcdf >/dev/null 2>&1
cp shards/sweep.2-of-2.nc shards/sweep.json other/
expect_refused "a shard of another scenario" other "veltrax:badSweep"
err=$("$VELTRAX" batch sweep/*.json -o foreign --store netcdf 2>&1)
[[ $? == 1 && $(cat foreign/sweep.nc) == "not a NetCDF file" ]] || fail "batch over a foreign sweep.nc: $err"

if ((failures)); then
  echo "$failures failures"
  exit 1
fi
echo "store tests passed"
