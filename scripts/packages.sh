# Sourced by ./run and the scripts it calls: ensure_packages PKG... installs the Debian
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
