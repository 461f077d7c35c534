# shellcheck shell=bash
# Sourced by scripts/matrix.sh: the Debian roots the matrix builds in, and entering them.
#
# make_root CODENAME DIR LOG: a root of the release CODENAME in DIR, made once with mmdebstrap
# from Debian's own packages (minbase: no Recommends), amd64 with the armhf and arm64
# architectures added, holding what building, testing and packaging for all three need
# (ROOT_PACKAGES; the ARM libraries are added by the project's own scripts inside the root,
# under the names that release gives them). A root is made in DIR.new and renamed when
# whole, so an interrupted bootstrap is never taken for a root. DIR/.matrix-root records the
# release, the architectures and the package list; a root whose record differs gets the
# missing architectures and packages added (dpkg and apt-get inside it).
# Returns non-zero (output in LOG) when the release's packages cannot be had.
#
# in_root DIR COMMAND...: runs COMMAND in DIR, with the repository bind-mounted at its own path,
# /proc, a fresh /dev with the usual nodes, /dev/pts, /dev/shm and /tmp. Everything runs in its
# own mount and PID namespaces: when COMMAND ends (or the caller is killed), every mount
# disappears with the namespace and every process left inside (a daemon a test forgot) is
# killed. The network is the machine's (tests use loopback only; apt reaches the mirror).

MATRIX_REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
MATRIX_MIRROR=${QRM_MATRIX_MIRROR:-http://deb.debian.org/debian}
MATRIX_SECURITY_MIRROR=${QRM_MATRIX_SECURITY_MIRROR:-http://deb.debian.org/debian-security}

# Building and testing (amd64 and the armhf and arm64 cross builds), the interoperability tests' agents
# and clients, and packaging with its checks (gpg: the signed repository's check). Not git nor
# clang-format: the style check is the build machine's (each release's clang-format formats a
# little differently).
ROOT_PACKAGES=(cmake make g++ pkg-config libsnmp-dev libjsoncpp-dev libboost-date-time-dev
  libgtest-dev libgmock-dev snmp snmpd snmpsim file binutils dpkg-dev help2man lintian
  devscripts jq gpg g++-arm-linux-gnueabihf binutils-arm-linux-gnueabihf g++-aarch64-linux-gnu
  binutils-aarch64-linux-gnu qemu-user)
ROOT_ARCHITECTURES=(amd64 armhf arm64)

# The package lines of a release: its main suite, and for a stable release its updates and
# security suites, as a unit installed today would have them.
root_sources() {
  local codename=$1
  echo "deb $MATRIX_MIRROR $codename main"
  if [ "$codename" != sid ]; then
    echo "deb $MATRIX_MIRROR $codename-updates main"
    echo "deb $MATRIX_SECURITY_MIRROR $codename-security main"
  fi
}

root_record() {
  printf 'release %s\narchitectures %s\npackages %s\nfix-ups 2\n' "$1" \
    "${ROOT_ARCHITECTURES[*]}" "${ROOT_PACKAGES[*]}"
}

make_root() {
  local codename=$1 dir=$2 log=$3 sources=()
  if [ -f "$dir/.matrix-root" ]; then
    [ "$(cat "$dir/.matrix-root")" = "$(root_record "$codename")" ] && return 0
    # Another list: add the architectures and install the packages that are missing.
    in_root "$dir" sh -c 'for a in $1; do dpkg --add-architecture "$a"; done; shift
      apt-get update -qq && DEBIAN_FRONTEND=noninteractive \
      apt-get install -y -qq --no-install-recommends "$@"' sh "${ROOT_ARCHITECTURES[*]:1}" \
      "${ROOT_PACKAGES[@]}" >"$log" 2>&1 || return 1
    in_root "$dir" sh "$MATRIX_REPO/scripts/matrix-root-fixups.sh" >>"$log" 2>&1 || return 1
    root_record "$codename" >"$dir/.matrix-root"
    return 0
  fi
  rm -rf "$dir.new"
  mkdir -p "$(dirname "$dir")"
  mapfile -t sources < <(root_sources "$codename")
  local includes
  includes=$(IFS=,; echo "${ROOT_PACKAGES[*]}")
  # The mirror may serve a frozen snapshot whose Release files are past their Valid-Until date:
  # apt is told not to refuse them (the option stays in the root's apt configuration).
  if ! mmdebstrap --mode=root --variant=minbase \
    --architectures="$(IFS=,; echo "${ROOT_ARCHITECTURES[*]}")" \
    --aptopt='Acquire::Check-Valid-Until "false"' --include="$includes" \
    "$codename" "$dir.new" "${sources[@]}" >"$log" 2>&1; then
    rm -rf "$dir.new"
    return 1
  fi
  in_root "$dir.new" sh "$MATRIX_REPO/scripts/matrix-root-fixups.sh" >>"$log" 2>&1 || {
    rm -rf "$dir.new"
    return 1
  }
  root_record "$codename" >"$dir.new/.matrix-root"
  mv "$dir.new" "$dir"
}

in_root() {
  local dir=$1
  shift
  local repo=$MATRIX_REPO
  cp -L /etc/resolv.conf "$dir/etc/resolv.conf" 2>/dev/null || true
  # The namespace's first process mounts, then runs COMMAND as its child and waits, reaping
  # whatever a test leaves behind; unshare kills it if the caller dies.
  # shellcheck disable=SC2016 # the script expands in the namespace, from its arguments
  unshare --mount --pid --fork --kill-child --propagation private \
    bash -c '
      set -e
      dir=$1 repo=$2
      shift 2
      # The root is a mount point of its own, as / is: a mount namespace made inside (unshare
      # -m, which a test uses) can then change its propagation.
      mount --bind "$dir" "$dir"
      mount -t proc proc "$dir/proc"
      mount -t tmpfs -o mode=0755,nosuid dev "$dir/dev"
      for node in null zero full random urandom tty; do
        touch "$dir/dev/$node"
        mount --bind "/dev/$node" "$dir/dev/$node"
      done
      mkdir -p "$dir/dev/pts" "$dir/dev/shm"
      mount -t devpts -o newinstance,ptmxmode=0666,mode=0620 devpts "$dir/dev/pts"
      ln -s pts/ptmx "$dir/dev/ptmx"
      ln -s /proc/self/fd "$dir/dev/fd"
      ln -s /proc/self/fd/0 "$dir/dev/stdin"
      ln -s /proc/self/fd/1 "$dir/dev/stdout"
      ln -s /proc/self/fd/2 "$dir/dev/stderr"
      mount -t tmpfs -o mode=1777,nosuid,nodev shm "$dir/dev/shm"
      mount -t tmpfs -o mode=1777,nosuid,nodev tmp "$dir/tmp"
      mkdir -p "$dir$repo"
      mount --bind "$repo" "$dir$repo"
      set +e
      chroot "$dir" /usr/bin/env -i \
        PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        HOME=/root LC_ALL=C.UTF-8 TERM=dumb "$@"
      exit $?
    ' bash "$dir" "$repo" "$@"
}
