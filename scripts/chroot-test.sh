#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# Builds and tests this source tree in a fresh Debian chroot, as a newcomer
# on that release would: minbase plus git, then scripts/test.sh there, which
# installs the packages, builds from scratch and runs the tests.
#
#   scripts/chroot-test.sh [SUITE]          default trixie (Debian 13)
#
# Needs root. The tree is cloned into the chroot with its uncommitted and
# untracked files. The base system comes from the machine's own Debian mirror
# (its apt sources) through debootstrap, and is kept as a tar file in
# VELTRAX_CHROOT_CACHE (default /var/cache/veltrax-ci), made again when older
# than VELTRAX_CHROOT_MAX_DAYS (default 7) or from another mirror; the
# downloaded packages are kept there too and copied into each chroot. The
# chroot is a file system in memory (tmpfs, at most VELTRAX_CHROOT_SIZE,
# default 16g; about 3 GB are used) in a mount and PID namespace of its own:
# it, its mounts (/proc, /sys, /sys/fs/cgroup, /dev, /dev/pts, /dev/shm) and
# every process started in it end with the namespace, whatever happens;
# nothing stays on the disk but the cache. Runs at the same time do not
# disturb each other.
#
# Environment passed to scripts/test.sh in the chroot: VELTRAX_STAGES
# (default "install build ctest"), VELTRAX_CTEST_ARGS, VELTRAX_CMAKE_ARGS,
# VELTRAX_EXPECT_POW_PATH, VELTRAX_JOBS.
set -euo pipefail

suite=${1:-trixie}
src=$(cd "$(dirname "$0")/.." && pwd)
cache=${VELTRAX_CHROOT_CACHE:-/var/cache/veltrax-ci}
max_days=${VELTRAX_CHROOT_MAX_DAYS:-7}

[[ $(id -u) == 0 ]] || { echo "chroot-test: needs root" >&2; exit 2; }

# The first Debian mirror of the machine's apt sources that is not the
# security archive (deb822 .sources files and the one-line format).
mirror() {
  local uri
  uri=$(cat /etc/apt/sources.list.d/*.sources 2>/dev/null |
    awk 'tolower($1) == "uris:" { for (i = 2; i <= NF; i++) print $i }' | grep -v -- '-security' | head -n 1 || true)
  [[ -n $uri ]] || uri=$(cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null |
    awk '$1 == "deb" { for (i = 2; i <= NF; i++) if ($i ~ /^[a-z]+:\/\//) { print $i; break } }' |
    grep -v -- '-security' | head -n 1 || true)
  echo "${uri:-http://deb.debian.org/debian}"
}

install_tools() {
  local missing=() tool
  local -A package=([debootstrap]=debootstrap [unshare]=util-linux [git]=git)
  for tool in debootstrap unshare git; do
    command -v "$tool" >/dev/null || missing+=("${package[$tool]}")
  done
  ((${#missing[@]} == 0)) && return 0
  echo "chroot-test: installing ${missing[*]}"
  DEBIAN_FRONTEND=noninteractive apt-get -y -q -o DPkg::Lock::Timeout=600 update >/dev/null
  DEBIAN_FRONTEND=noninteractive apt-get -y -q -o DPkg::Lock::Timeout=600 install --no-install-recommends \
    "${missing[@]}" >/dev/null
}

# The base system as a tar file, made when missing, stale or from another
# mirror; one maker at a time.
base_tar() {
  local url=$1 tar=$cache/$suite-minbase.tar stamp=$cache/$suite-minbase.stamp
  local want="$suite minbase ca-certificates,git $url"
  mkdir -p "$cache"
  exec 9>"$cache/$suite.lock"
  flock 9
  if [[ -s $tar && -f $stamp && $(cat "$stamp") == "$want" &&
    -n $(find "$tar" -maxdepth 0 -mtime "-$max_days" 2>/dev/null) ]]; then
    echo "chroot-test: base system from $tar" >&2
  else
    echo "chroot-test: debootstrap $suite from $url into $tar" >&2
    local dir
    dir=$(mktemp -d "$cache/$suite-bootstrap.XXXXXX")
    if ! debootstrap --variant=minbase --include=ca-certificates,git "$suite" "$dir" "$url" \
      >"$cache/$suite-debootstrap.log" 2>&1; then
      tail -n 30 "$cache/$suite-debootstrap.log" >&2
      rm -rf "$dir"
      echo "chroot-test: debootstrap failed (log: $cache/$suite-debootstrap.log)" >&2
      return 1
    fi
    chmod 755 "$dir"
    tar -C "$dir" -cf "$tar.new" . && mv "$tar.new" "$tar" && echo "$want" >"$stamp"
    rm -rf "$dir"
  fi
  exec 9>&-
  echo "$tar"
}

# The tree as it is: a clone, with the uncommitted and untracked files over it.
copy_tree() {
  local dest=$1
  git clone -q --no-hardlinks "$src" "$dest"
  (cd "$src" && git ls-files -z -m -o --exclude-standard | tar --null -T - -cf -) | tar -C "$dest" -xf -
}

# Inside the new namespaces (this script, called with "inside ROOT"): mounts,
# the tests, and the mounts undone.
mounts=()
inside() {
  local root=$1 tar=$2
  undo() {
    local i
    for ((i = ${#mounts[@]} - 1; i >= 0; i--)); do umount -l "${mounts[i]}" 2>/dev/null || true; done
  }
  trap undo EXIT
  mnt() {
    local target=${*: -1}
    mount "$@"
    mounts+=("$target")
  }
  # The chroot lives in memory: no disk writes to wait for (dpkg syncs every
  # file), and nothing to remove afterwards.
  mnt -t tmpfs -o "size=${VELTRAX_CHROOT_SIZE:-16g},mode=755" veltrax-chroot "$root"
  tar -C "$root" -xf "$tar"
  chmod 755 "$root"  # the chroot's / : its users (munge, _apt) must reach its files
  copy_tree "$root/root/veltrax"
  mnt -t proc proc "$root/proc"
  mnt -t sysfs sysfs "$root/sys"
  mnt --rbind /sys/fs/cgroup "$root/sys/fs/cgroup"
  mnt --bind /dev "$root/dev"
  mnt -t devpts -o newinstance,ptmxmode=0666 devpts "$root/dev/pts"
  mnt --bind "$root/dev/pts/ptmx" "$root/dev/ptmx"
  mnt -t tmpfs -o mode=1777 shm "$root/dev/shm"
  # The packages downloaded before, copied in (not shared: apt locks the
  # folder, and another run may be using it).
  mkdir -p "$cache/$suite-archives"
  cp "$cache/$suite-archives"/*.deb "$root/var/cache/apt/archives/" 2>/dev/null || true
  cp /etc/resolv.conf "$root/etc/resolv.conf" 2>/dev/null || true
  host_authorities "$root"
  local rc=0
  chroot "$root" /usr/bin/env -i HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    LANG=C.UTF-8 TERM=dumb CI="${CI:-}" \
    VELTRAX_STAGES="${VELTRAX_STAGES:-install build ctest}" VELTRAX_CTEST_ARGS="${VELTRAX_CTEST_ARGS:-}" \
    VELTRAX_CMAKE_ARGS="${VELTRAX_CMAKE_ARGS:-}" VELTRAX_JOBS="${VELTRAX_JOBS:-2}" \
    ${VELTRAX_EXPECT_POW_PATH+VELTRAX_EXPECT_POW_PATH="$VELTRAX_EXPECT_POW_PATH"} \
    bash -c 'cd /root/veltrax && bash scripts/test.sh' </dev/null || rc=$?
  # The cache keeps the packages of this run's release, each file whole.
  chroot "$root" apt-get -q autoclean >/dev/null 2>&1 || true
  local deb
  for deb in "$root"/var/cache/apt/archives/*.deb; do
    [[ -f $deb && ! -f $cache/$suite-archives/${deb##*/} ]] || continue
    cp "$deb" "$cache/$suite-archives/.${deb##*/}.$$" &&
      mv "$cache/$suite-archives/.${deb##*/}.$$" "$cache/$suite-archives/${deb##*/}"
  done
  for deb in "$cache/$suite-archives"/*.deb; do
    [[ -f $deb && ! -f $root/var/cache/apt/archives/${deb##*/} ]] && rm -f "$deb"
  done
  return "$rc"
}

# The certificate authorities that this machine trusts and the chroot's
# Debian does not (a proxy's, say), added to the chroot's, so that what
# reaches the network from here (npm's registry) reaches it from there.
host_authorities() {
  local root=$1 dir=$1/usr/local/share/ca-certificates/veltrax-host
  [[ -r /etc/ssl/certs/ca-certificates.crt && -r $root/etc/ssl/certs/ca-certificates.crt ]] || return 0
  mkdir -p "$dir"
  awk -v dir="$dir" '
    /-----BEGIN CERTIFICATE-----/ { c = "" }
    { c = c $0 "\n" }
    /-----END CERTIFICATE-----/ {
      if (FNR == NR) seen[c] = 1
      else if (!(c in seen)) { f = sprintf("%s/host-%03d.crt", dir, ++n); printf "%s", c > f; close(f) }
    }' "$root/etc/ssl/certs/ca-certificates.crt" /etc/ssl/certs/ca-certificates.crt
  chroot "$root" update-ca-certificates >/dev/null 2>&1 || true
}

if [[ ${1:-} == inside ]]; then
  suite=$4
  inside "$2" "$3"
  exit
fi

install_tools
url=$(mirror)
tar=$(base_tar "$url")
# The mount point: an empty folder here, the chroot's memory in the
# namespace. Its mounts end with the namespace's last process, whatever
# happens; the folder stays empty in this namespace.
root=$(mktemp -d /var/tmp/veltrax-chroot-"$suite".XXXXXX)
trap 'rmdir "$root"' EXIT
echo "chroot-test: Debian $suite in $root (in memory)"
# Stopped, this script ends the namespace: unshare (which blocks SIGINT and
# SIGTERM) is killed, the kernel kills its child, the namespace's first
# process, and with it every other one.
unshare --mount --propagation private --pid --fork --kill-child -- \
  bash "$src/scripts/chroot-test.sh" inside "$root" "$tar" "$suite" &
namespace=$!
trap 'kill -KILL "$namespace" 2>/dev/null' INT TERM
rc=0
wait "$namespace" || rc=$?
while kill -0 "$namespace" 2>/dev/null; do wait "$namespace" || rc=$?; done
echo "chroot-test: Debian $suite: exit status $rc"
exit "$rc"
