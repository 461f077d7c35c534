# shellcheck shell=bash
# Sourced by ./run and the scripts it calls. ensure_packages PKG... installs the Debian
# packages that are missing. As root it runs `apt-get update` once per run, then
# `apt-get install -y`; otherwise it prints the exact command and exits 2.

ensure_packages() {
  local missing=() arch p
  arch=$(dpkg --print-architecture)
  for p in "$@"; do
    # A library installed for two architectures answers only to its qualified name.
    dpkg -s "$p" >/dev/null 2>&1 || dpkg -s "$p:$arch" >/dev/null 2>&1 || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" != 0 ]; then
    echo "missing packages; run as root:" >&2
    echo "  apt-get update && apt-get install -y ${missing[*]}" >&2
    exit 2
  fi
  echo "installing: ${missing[*]}"
  if [ -z "${QRM_APT_UPDATED:-}" ]; then
    DEBIAN_FRONTEND=noninteractive apt-get update -qq
    export QRM_APT_UPDATED=1
  fi
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# ensure_cross_packages LABEL ARCH PKG... installs packages for building for the foreign
# architecture ARCH (armhf, arm64): PKG names the build machine's packages plainly and ARCH's as
# NAME:ARCH. ARCH is added as a foreign architecture first, and the package lists are refreshed
# after adding it so that they cover it. Not as root: prints the commands (messages start with
# LABEL) and exits 2.
ensure_cross_packages() {
  local label=$1 arch=$2 have_arch=0 missing=() p
  shift 2
  dpkg --print-foreign-architectures | grep -qx "$arch" && have_arch=1
  for p in "$@"; do
    [ "$(dpkg-query -W -f='${db:Status-Abbrev}' "$p" 2>/dev/null)" = "ii " ] || missing+=("$p")
  done
  [ $have_arch = 1 ] && [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" != 0 ]; then
    echo "$label: missing the $arch architecture or packages; run as root:" >&2
    [ $have_arch = 0 ] && echo "  dpkg --add-architecture $arch" >&2
    echo "  apt-get update" >&2
    echo "  apt-get install -y --no-install-recommends ${missing[*]:-$*}" >&2
    echo "then run ./run $label again (as any user)." >&2
    exit 2
  fi
  if [ $have_arch = 0 ]; then
    echo "$label: adding the $arch architecture"
    dpkg --add-architecture "$arch"
  fi
  # The package lists must cover ARCH: update after adding it, even if this run already did.
  if [ $have_arch = 0 ] || [ -z "${QRM_APT_UPDATED:-}" ] ||
    ! apt-cache show "libc6:$arch" >/dev/null 2>&1; then
    DEBIAN_FRONTEND=noninteractive apt-get update -qq
    export QRM_APT_UPDATED=1
  fi
  if [ ${#missing[@]} -gt 0 ]; then
    echo "$label: installing: ${missing[*]}"
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" \
      >/dev/null
  fi
}

# cross_triplet ARCH prints the GNU triplet of the ARM architecture ARCH (armhf, arm64): the
# cross compiler's prefix, the multiarch folder and the toolchain's folder in /usr.
cross_triplet() {
  case "$1" in
    armhf) echo arm-linux-gnueabihf ;;
    arm64) echo aarch64-linux-gnu ;;
    *) return 1 ;;
  esac
}

# cross_qemu ARCH prints the qemu-user emulator that runs ARCH's programs here.
cross_qemu() {
  case "$1" in
    armhf) echo qemu-arm ;;
    arm64) echo qemu-aarch64 ;;
    *) return 1 ;;
  esac
}

# release_runtime DEV PATTERN prints the library package that this release's development
# package DEV depends on, the one whose name matches the extended regular expression PATTERN:
# from the installed DEV, else from the package lists. A library keeps its soname across
# releases but not always its package name: net-snmp's is libsnmp40 in Debian 12, libsnmp40t64
# in Debian 13 (64-bit time_t on 32-bit architectures) and libsnmp45 with net-snmp 5.9.5.
release_runtime() {
  local depends
  depends=$(dpkg-query -W -f='${Depends}' "$1" 2>/dev/null ||
    apt-cache show --no-all-versions "$1" 2>/dev/null | sed -n 's/^Depends: //p')
  grep -oE "(^|[ ,])$2( |,|$)" <<<"$depends" | head -1 | tr -d ' ,'
}
netsnmp_runtime() { release_runtime libsnmp-dev 'libsnmp[0-9]+(t64)?'; }
openssl_runtime() { release_runtime libssl-dev 'libssl[0-9.]+(t64)?'; }
