#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# Installs the Debian packages that are missing, without recommended ones:
#
#   scripts/install-deps.sh demo    the build and the demo: compiler, CMake,
#                                   Octave with mkoctfile, gnuplot, the
#                                   command-line tool's libraries (NetCDF),
#                                   npm
#   scripts/install-deps.sh python  that and the Python package's: NumPy,
#                                   pybind11, Matplotlib, venv, netCDF4,
#                                   xarray
#   scripts/install-deps.sh test    all of that and what the tests add:
#                                   GoogleTest, Google Benchmark, clang with
#                                   libFuzzer and its symbolizer, GNU
#                                   parallel, Slurm (and ss), pytest,
#                                   Chromium
#
# Then npm's cache gets the report page's charting library, the version
# that experiments/report_assets/package-lock.json pins (from the npm
# registry, unless the cache has it); the build installs it from that cache
# without network. Where that fails the exit status is 1 and the tool's
# report shows its PNG plots alone.
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
  libcli11-dev nlohmann-json3-dev librandom123-dev libnetcdf-dev npm libgsl-dev libnlopt-dev
)
python_packages=(
  python3-dev python3-numpy python3-pybind11 pybind11-dev python3-matplotlib
  python3-venv python3-setuptools python3-wheel python3-netcdf4 python3-xarray
)
test_packages=(
  libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-dev llvm parallel
  slurm-wlm munge iproute2 python3-pytest chromium
)

case ${1:-} in
  demo) packages=("${demo_packages[@]}") ;;
  python) packages=("${demo_packages[@]}" "${python_packages[@]}") ;;
  test) packages=("${demo_packages[@]}" "${python_packages[@]}" "${test_packages[@]}") ;;
  *) echo "usage: $0 demo|python|test" >&2; exit 2 ;;
esac

log=${VELTRAX_INSTALL_LOG:-/tmp/veltrax-install.log}
assets="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/experiments/report_assets"

# npm's cache gets the locked charting library: a throw-away `npm ci`, from
# the cache alone when it has it, else from the registry.
fill_npm_cache() {
  command -v npm >/dev/null || { echo "npm not found: the report page shows its PNG plots alone" >&2; return 1; }
  local dir rc=0
  dir=$(mktemp -d)
  cp "$assets/package.json" "$assets/package-lock.json" "$dir/"
  local ci=(npm ci --ignore-scripts --no-audit --no-fund --loglevel=error)
  if ! (cd "$dir" && "${ci[@]}" --offline) >/dev/null 2>&1; then
    echo "npm: fetching the report page's charting library into npm's cache (log in $log)"
    (cd "$dir" && "${ci[@]}") >>"$log" 2>&1 || rc=$?
    if ((rc != 0)); then
      tail -n 5 "$log" >&2
      echo "npm could not fetch the charting library (above, whole in $log): the report page shows its PNG plots alone" >&2
    fi
  fi
  rm -rf "$dir"
  return "$rc"
}

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  # An npm of another origin (one that comes with Node.js) serves as well.
  [[ $p == npm ]] && command -v npm >/dev/null && continue
  [[ "$status" == "install ok installed" ]] || missing+=("$p")
done
if [[ ${#missing[@]} -eq 0 ]]; then
  fill_npm_cache
  exit
fi

sudo=()
if [[ $(id -u) -ne 0 ]]; then
  command -v sudo >/dev/null || { echo "install as root: apt-get install ${missing[*]}" >&2; exit 1; }
  sudo=(sudo)
fi
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
npm_rc=0
fill_npm_cache || npm_rc=1
if ((${#lacking[@]} > 0)); then
  release=$(. /etc/os-release 2>/dev/null && echo "${PRETTY_NAME:-this system}")
  echo "not in the configured release ($release): ${lacking[*]}; the other packages are installed" >&2
  exit 1
fi
exit "$npm_rc"
