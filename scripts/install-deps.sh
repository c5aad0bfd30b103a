#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# Installs the Debian packages that are missing, without recommended ones:
#
#   scripts/install-deps.sh demo    the build and the demo: compiler, CMake,
#                                   Octave with mkoctfile, gnuplot, the
#                                   command-line tool's libraries
#   scripts/install-deps.sh python  that and the Python package's: NumPy,
#                                   pybind11, Matplotlib, venv
#   scripts/install-deps.sh test    all of that and what the tests add:
#                                   GoogleTest, Google Benchmark, clang with
#                                   libFuzzer and its symbolizer, GNU
#                                   parallel, Slurm (and ss), pytest
#
# The names are those of Debian 12 and Debian 13 alike. A name that the
# configured release lacks is named, the others are installed all the same,
# and the exit status is 1. apt's output goes to a log file
# (VELTRAX_INSTALL_LOG, default /tmp/veltrax-install.log), shown when the
# installation fails.
set -euo pipefail

demo_packages=(
  build-essential cmake
  octave octave-dev gnuplot-nox
  libcli11-dev nlohmann-json3-dev librandom123-dev libgsl-dev libnlopt-dev
)
python_packages=(
  python3-dev python3-numpy python3-pybind11 pybind11-dev python3-matplotlib
  python3-venv python3-setuptools python3-wheel
)
test_packages=(
  libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-dev llvm parallel
  slurm-wlm munge iproute2 python3-pytest
)

case ${1:-} in
  demo) packages=("${demo_packages[@]}") ;;
  python) packages=("${demo_packages[@]}" "${python_packages[@]}") ;;
  test) packages=("${demo_packages[@]}" "${python_packages[@]}" "${test_packages[@]}") ;;
  *) echo "usage: $0 demo|python|test" >&2; exit 2 ;;
esac

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$p")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

sudo=()
if [[ $(id -u) -ne 0 ]]; then
  command -v sudo >/dev/null || { echo "install as root: apt-get install ${missing[*]}" >&2; exit 1; }
  sudo=(sudo)
fi
log=${VELTRAX_INSTALL_LOG:-/tmp/veltrax-install.log}
echo "installing ${missing[*]} and what they need (apt-get, log in $log)"
apt=("${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get -y -q -o DPkg::Lock::Timeout=600)
show_log() {
  cat "$log" >&2
  echo "$1; apt's output is above and in $log" >&2
  exit 1
}
"${apt[@]}" update >"$log" 2>&1 || show_log "apt-get update failed"
# Names without an installation candidate in the configured release.
lacking=() available=()
for p in "${missing[@]}"; do
  if [[ -n $(apt-cache policy "$p" 2>/dev/null | awk '$1 == "Candidate:" && $2 != "(none)"') ]]; then
    available+=("$p")
  else
    lacking+=("$p")
  fi
done
if ((${#available[@]} > 0)); then
  "${apt[@]}" install --no-install-recommends "${available[@]}" >>"$log" 2>&1 || show_log "installing the packages failed"
fi
if ((${#lacking[@]} > 0)); then
  release=$(. /etc/os-release 2>/dev/null && echo "${PRETTY_NAME:-this system}")
  echo "not in the configured release ($release): ${lacking[*]}; the other packages are installed" >&2
  exit 1
fi
