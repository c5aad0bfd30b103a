#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# A private single-node Slurm on this machine, for testing job arrays.
#
#   scripts/slurm-local.sh start|stop|status [DIR]
#
# DIR (default $VELTRAX_SLURM_DIR, else /tmp/veltrax-slurm) holds the
# configuration, state, pid and log files: a munge daemon on its own socket,
# slurmctld and slurmd, talking over the loopback interface on two free ports
# from $VELTRAX_SLURM_PORT (default 16817) up. Needs root and Debian's
# slurm-wlm and munge.
#
# start   starts the three daemons and waits until the node is idle; prints
#         the SLURM_CONF to export and where the logs are. Exit status 3: not
#         installed or not root; 1: a daemon did not start (see the logs).
# stop    cancels the jobs and ends the daemons by their pid files; any
#         number of times.
# status  shows which daemons run and the node's state.
set -euo pipefail

cmd=${1:-}
dir=${2:-${VELTRAX_SLURM_DIR:-/tmp/veltrax-slurm}}
conf=$dir/slurm.conf
logs=$dir/log
daemons=(slurmd slurmctld munged)

usage() {
  echo "usage: $0 start|stop|status [DIR]" >&2
  exit 2
}

# pid_of NAME: the pid in NAME's pid file if that process is NAME, else nothing.
pid_of() {
  local file=$dir/$1.pid pid
  [[ -f $file ]] || return 0
  pid=$(tr -dc '0-9' <"$file")
  [[ -n $pid && -r /proc/$pid/comm && $(cat "/proc/$pid/comm") == "$1" ]] && echo "$pid"
  return 0
}

stop() {
  [[ -d $dir ]] || return 0
  if [[ -f $conf && -n $(pid_of slurmctld) ]]; then
    SLURM_CONF=$conf timeout 10 scancel --quiet --user=root >/dev/null 2>&1 || true
  fi
  local name pid i
  for name in "${daemons[@]}"; do
    pid=$(pid_of "$name")
    if [[ -n $pid ]]; then
      kill -TERM "$pid" 2>/dev/null || true
      for ((i = 0; i < 100; i++)); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
      done
      kill -KILL "$pid" 2>/dev/null || true
    fi
    rm -f "$dir/$name.pid"
  done
}

status() {
  local name pid running=0
  for name in "${daemons[@]}"; do
    pid=$(pid_of "$name")
    if [[ -n $pid ]]; then
      echo "$name: running (pid $pid)"
      running=$((running + 1))
    else
      echo "$name: stopped"
    fi
  done
  if [[ $running == 3 ]]; then
    SLURM_CONF=$conf timeout 10 sinfo --noheader --format='node %N: %t' 2>/dev/null || true
    return 0
  fi
  return 1
}

# free_port FROM: the first port from FROM on with it and the next one unused.
free_port() {
  local p=$1
  while ss -Htln "( sport = :$p or sport = :$((p + 1)) )" | grep -q .; do
    p=$((p + 2))
  done
  echo "$p"
}

fail_start() {
  echo "slurm-local: $1; logs in $logs" >&2
  stop
  exit 1
}

start() {
  [[ $(id -u) == 0 ]] || { echo "slurm-local: needs root" >&2; exit 3; }
  local tool
  local -A package=([munged]=munge [ss]=iproute2 [runuser]=util-linux)
  for tool in munged slurmctld slurmd sinfo sbatch scancel runuser ss; do
    command -v "$tool" >/dev/null ||
      { echo "slurm-local: $tool not found (install ${package[$tool]:-slurm-wlm})" >&2; exit 3; }
  done
  getent passwd munge >/dev/null || { echo "slurm-local: no user munge (install munge)" >&2; exit 3; }
  stop
  mkdir -p "$dir" "$logs" "$dir/state" "$dir/spool" "$dir/munge"
  chmod 755 "$dir"

  # munge: its own key, socket and files, as user munge.
  local m=$dir/munge
  chown munge: "$m"
  chmod 711 "$m"  # clients reach the socket through it
  if [[ ! -f $m/munge.key ]]; then
    if [[ -r /etc/munge/munge.key ]]; then
      cp /etc/munge/munge.key "$m/munge.key"
    else
      dd if=/dev/urandom of="$m/munge.key" bs=1024 count=1 status=none
    fi
  fi
  chown munge: "$m/munge.key"
  chmod 400 "$m/munge.key"
  runuser -u munge -- munged --socket="$m/munge.socket" --key-file="$m/munge.key" \
    --pid-file="$m/munged.pid" --log-file="$m/munged.log" --seed-file="$m/munged.seed" ||
    fail_start "munged did not start (see $m/munged.log)"
  local i
  for ((i = 0; i < 50; i++)); do
    [[ -S $m/munge.socket && -s $m/munged.pid ]] && break
    sleep 0.1
  done
  cp "$m/munged.pid" "$dir/munged.pid" 2>/dev/null || fail_start "munged wrote no pid file (see $m/munged.log)"

  local host port
  host=$(hostname -s)
  port=$(free_port "${VELTRAX_SLURM_PORT:-16817}")
  cat >"$conf" <<EOF
# Private single-node Slurm of scripts/slurm-local.sh
ClusterName=veltrax-local
SlurmctldHost=$host(127.0.0.1)
SlurmctldPort=$port
SlurmdPort=$((port + 1))
SlurmUser=root
SlurmdUser=root
AuthType=auth/munge
AuthInfo=socket=$m/munge.socket
CredType=cred/munge
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
SelectType=select/cons_tres
SelectTypeParameters=CR_Core
SchedulerType=sched/builtin
MpiDefault=none
ReturnToService=2
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
JobCompType=jobcomp/none
StateSaveLocation=$dir/state
SlurmdSpoolDir=$dir/spool
SlurmctldPidFile=$dir/slurmctld.pid
SlurmdPidFile=$dir/slurmd.pid
SlurmctldLogFile=$logs/slurmctld.log
SlurmdLogFile=$logs/slurmd.log
NodeName=$host NodeAddr=127.0.0.1 CPUs=$(nproc) State=UNKNOWN
PartitionName=local Nodes=$host Default=YES MaxTime=INFINITE State=UP
EOF
  # slurmd 23.11 and later load a cgroup plugin, which fails where no usable
  # cgroup file system is mounted (a chroot, a container); this Slurm uses
  # none. Earlier versions reject the value.
  local version
  version=$(slurmd -V 2>/dev/null | grep -oE '[0-9]+\.[0-9]+' | head -n 1)
  if [[ -n $version ]] && (( ${version%%.*} * 100 + 10#${version#*.} >= 2311 )); then
    echo "CgroupPlugin=disabled" >"$dir/cgroup.conf"
  else
    rm -f "$dir/cgroup.conf"
  fi
  export SLURM_CONF=$conf
  slurmctld -c -f "$conf" || fail_start "slurmctld did not start"
  slurmd -f "$conf" || fail_start "slurmd did not start"
  local state=""
  for ((i = 0; i < 300; i++)); do
    state=$(timeout 5 sinfo --noheader --format=%t 2>/dev/null || true)
    [[ $state == idle* || $state == mix* || $state == alloc* ]] && break
    sleep 0.1
  done
  [[ $state == idle* || $state == mix* || $state == alloc* ]] || fail_start "the node did not become idle (state '${state}')"
  echo "slurm-local: running; export SLURM_CONF=$conf; logs in $logs"
}

case $cmd in
  start) start ;;
  stop) stop ;;
  status) status ;;
  *) usage ;;
esac
