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

# ensure_armhf_packages LABEL PKG... installs packages for building for armhf: PKG names the
# build machine's packages plainly and armhf ones as NAME:armhf. The armhf foreign architecture
# is added first, and the package lists are refreshed after adding it so that they cover armhf.
# Not as root: prints the commands (messages start with LABEL) and exits 2.
ensure_armhf_packages() {
  local label=$1 have_armhf=0 missing=() p
  shift
  dpkg --print-foreign-architectures | grep -qx armhf && have_armhf=1
  for p in "$@"; do
    [ "$(dpkg-query -W -f='${db:Status-Abbrev}' "$p" 2>/dev/null)" = "ii " ] || missing+=("$p")
  done
  [ $have_armhf = 1 ] && [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" != 0 ]; then
    echo "$label: missing the armhf architecture or packages; run as root:" >&2
    [ $have_armhf = 0 ] && echo "  dpkg --add-architecture armhf" >&2
    echo "  apt-get update" >&2
    echo "  apt-get install -y --no-install-recommends ${missing[*]:-$*}" >&2
    echo "then run ./run $label again (as any user)." >&2
    exit 2
  fi
  if [ $have_armhf = 0 ]; then
    echo "$label: adding the armhf architecture"
    dpkg --add-architecture armhf
  fi
  # The package lists must cover armhf: update after adding it, even if this run already did.
  if [ $have_armhf = 0 ] || [ -z "${QRM_APT_UPDATED:-}" ] ||
    ! apt-cache show libsnmp40:armhf >/dev/null 2>&1; then
    DEBIAN_FRONTEND=noninteractive apt-get update -qq
    export QRM_APT_UPDATED=1
  fi
  if [ ${#missing[@]} -gt 0 ]; then
    echo "$label: installing: ${missing[*]}"
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" \
      >/dev/null
  fi
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
