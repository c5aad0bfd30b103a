#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# A population sweep as a Slurm job array: starts a private single-node
# Slurm, runs `veltrax batch --shard "$SLURM_ARRAY_TASK_ID/4"` as four array
# tasks, into run folders and into the NetCDF store, and `veltrax report` of
# both as a job that depends on them, and compares sweep.csv and every run
# folder with the same sweep run in one process, byte for byte; the daemons
# are stopped whatever happens.
# Needs VELTRAX (the binary) and VELTRAX_SOURCE_DIR. Exit 77, skipped: not
# root, Slurm or munge not installed, or no /sys/fs/cgroup; where all of
# these are there, daemons that do not start fail the test.
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
# slurmd reads the machine's cgroups; a chroot or container may not have them.
[[ -n $(ls -A /sys/fs/cgroup 2>/dev/null) ]] || skip "/sys/fs/cgroup is not mounted (slurmd needs it)"

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
  echo "FAIL: the Slurm daemons did not start (logs above)" >&2
  exit 1
fi
export SLURM_CONF=$work/slurm/slurm.conf

# 24 individuals of a short call of the built-in model and a plain linear scenario.
mkdir sweep
cat >sweep/patients.json <<'EOF2'
{"build": 2, "params": [20, 0.1, 2, 0, 3, 3, 0.005, 10, 0.1],
 "model": {"body_mass": 70, "cardiac_output": 6.48}, "curve": [50, 0.505, 2.98, 4.0],
 "setpoint": [[0, 0.8], [8, 0.95, "ramp"], [12, 0.9]], "seed": 5,
 "population": {"size": 24, "seed": 42,
   "body_mass": {"dist": "normal", "mean": 70, "sd": 12, "min": 40, "max": 130},
   "cardiac_output": {"dist": "lognormal", "median": 6.5, "sigma": 0.15},
   "plant_hill_midpoint": {"dist": "uniform", "low": 40, "high": 60},
   "noise_amplitude": {"dist": "lognormal", "median": 0.005, "sigma": 0.5},
   "correlation": {"body_mass,cardiac_output": 0.6}}}
EOF2
cat >sweep/linear.json <<'EOF2'
{"build": 3, "params": [30, 0.1, 2, 2, 3, 3, 0.01, 10, 0.1],
 "numerator": [1], "denominator": [1, 3, 3, 1], "curve": [0.404, 0.505, 2.98, 4.0]}
EOF2

"$VELTRAX" batch sweep/*.json -o whole --threads 2 || fail "single-process batch failed"
"$VELTRAX" report whole --no-plots >/dev/null || fail "report of the single-process sweep failed"

# The job script of the README: the array, then the report once every task has ended.
cat >job.sh <<EOF2
#!/bin/sh
#SBATCH --array=1-$tasks
#SBATCH --output=$work/task_%a.log
# The same relative paths as the single-process batch: summary.json names the file as given.
cd "$work" &&
  "$VELTRAX" batch sweep/*.json -o shards --threads 1 --shard "\$SLURM_ARRAY_TASK_ID/$tasks" &&
  "$VELTRAX" batch sweep/*.json -o stored --store netcdf --threads 1 --shard "\$SLURM_ARRAY_TASK_ID/$tasks" &&
  echo "\$SLURM_ARRAY_JOB_ID" >done_\$SLURM_ARRAY_TASK_ID
EOF2
cat >report.sh <<EOF2
#!/bin/sh
#SBATCH --output=$work/report.log
cd "$work" && "$VELTRAX" report shards --no-plots && "$VELTRAX" report stored --no-plots
EOF2
start=$(date +%s)
array=$(sbatch --parsable --job-name=veltrax-array job.sh 2>sbatch.log) || fail "sbatch of the array failed: $(cat sbatch.log)"
array=${array%%;*}
if [[ -n $array ]] &&
  ! timeout 150 sbatch --wait --dependency="afterany:$array" --job-name=veltrax-report report.sh >>sbatch.log 2>&1; then
  fail "the report job failed: $(cat sbatch.log report.log 2>/dev/null)"
  cat task_*.log 2>/dev/null
fi
echo "job array of $tasks tasks and the report: $(($(date +%s) - start)) s"

for ((t = 1; t <= tasks; t++)); do
  [[ -s done_$t ]] || fail "array task $t did not finish: $(cat "task_$t.log" 2>/dev/null)"
done
[[ $(ls whole/patients | wc -l) == 24 ]] || fail "single-process sweep wrote $(ls whole/patients | wc -l) individuals"
grep -q '25 runs expected, 25 found: 25 ok' report.log || fail "report of the shards: $(cat report.log 2>/dev/null)"
cmp -s whole/sweep.csv shards/sweep.csv || fail "sweep.csv of the array differs from the single-process sweep"
cmp -s whole/sweep.csv stored/sweep.csv || fail "sweep.csv of the array's store differs from the single-process sweep"
if ! diff -r whole shards >diff.log 2>&1; then
  fail "the array's results differ from the single-process sweep: $(head -n 20 diff.log)"
fi

if ((failures)); then
  echo "$failures failures"
  exit 1
fi
echo "slurm array test passed"
