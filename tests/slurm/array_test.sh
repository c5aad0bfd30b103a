#!/usr/bin/env bash
# A sweep as a Slurm job array: starts a private single-node Slurm, runs
# `veltrax batch --shard "$SLURM_ARRAY_TASK_ID/4"` as four array tasks and
# compares every result file with a single-process batch of the same
# scenarios, bit for bit; the daemons are stopped whatever happens.
# Needs VELTRAX (the binary) and VELTRAX_SOURCE_DIR. Exit 77: skipped.
set -u

: "${VELTRAX:?path of bin/veltrax}" "${VELTRAX_SOURCE_DIR:?source tree}"
local_slurm=$VELTRAX_SOURCE_DIR/scripts/slurm-local.sh
tasks=4

skip() {
  echo "skipped: $*"
  exit 77
}
[[ $(id -u) == 0 ]] || skip "a private Slurm needs root"
for tool in munged slurmctld slurmd sbatch; do
  command -v "$tool" >/dev/null || skip "$tool not found (install slurm-wlm and munge)"
done

# The job runs as root on this machine: a world-readable folder of its own.
work=$(mktemp -d /tmp/veltrax-slurm-test.XXXXXX)
chmod 755 "$work"
cleanup() {
  bash "$local_slurm" stop "$work/slurm" >/dev/null 2>&1
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM
cd "$work" || exit 1

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

if ! bash "$local_slurm" start "$work/slurm" >start.log 2>&1; then
  cat start.log
  tail -n 20 "$work"/slurm/log/*.log "$work"/slurm/munge/munged.log 2>/dev/null
  skip "the Slurm daemons did not start"
fi
export SLURM_CONF=$work/slurm/slurm.conf

# Six small scenarios: a linear process with several weights and builds, the built-in model.
mkdir sweep
for w in 0.05 0.1 0.2 0.4; do
  cat >"sweep/weight_$w.json" <<EOF2
{"build": 2, "params": [30, $w, 2, 2, 3, 3, 0.01, 10, 0.1],
 "numerator": [1], "denominator": [1, 3, 3, 1], "curve": [0.404, 0.505, 2.98, 4.0]}
EOF2
done
cat >sweep/preview.json <<'EOF2'
{"build": 3, "params": [30, 0.1, 2, 2, 3, 3, 0.01, 10, 0.1],
 "numerator": [1], "denominator": [1, 3, 3, 1], "curve": [0.404, 0.505, 2.98, 4.0]}
EOF2
cat >sweep/model.json <<'EOF2'
{"build": 2, "params": [20, 0.1, 2, 0, 3, 3, 0.005, 10, 0.1],
 "model": {"body_mass": 70, "cardiac_output": 6.48}, "curve": [50, 0.505, 2.98, 4.0]}
EOF2

"$VELTRAX" batch sweep/*.json -o whole --threads 2 || fail "single-process batch failed"

cat >job.sh <<EOF2
#!/bin/sh
#SBATCH --array=1-$tasks
#SBATCH --output=$work/task_%a.log
# The same relative paths as the single-process batch: summary.json names the file as given.
cd "$work" &&
  "$VELTRAX" batch sweep/*.json -o shards --threads 1 --shard "\$SLURM_ARRAY_TASK_ID/$tasks" &&
  echo "\$SLURM_ARRAY_JOB_ID" >done_\$SLURM_ARRAY_TASK_ID
EOF2
start=$(date +%s)
if ! timeout 150 sbatch --wait --job-name=veltrax-array job.sh >sbatch.log 2>&1; then
  fail "sbatch --wait failed: $(cat sbatch.log)"
  cat task_*.log 2>/dev/null
fi
echo "job array of $tasks tasks: $(($(date +%s) - start)) s"

for ((t = 1; t <= tasks; t++)); do
  [[ -s done_$t ]] || fail "array task $t did not finish: $(cat "task_$t.log" 2>/dev/null)"
done
[[ $(ls whole | wc -l) == 6 ]] || fail "single-process batch wrote $(ls whole)"
if ! diff -r whole shards >diff.log 2>&1; then
  fail "the array's results differ from the single-process batch: $(head -n 20 diff.log)"
fi

if ((failures)); then
  echo "$failures failures"
  exit 1
fi
echo "slurm array test passed"
