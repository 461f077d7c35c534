#!/usr/bin/env bash
# `./run matrix upgrade[:ARCH]`: a unit upgraded from Debian 12 to Debian 13 with the plug-in
# installed from the project's apt repositories, as an operator does it:
#
#   1. a Debian 12 (bookworm) root of ARCH (default armhf; arm64 too, both run under qemu; amd64
#      is quicker and takes the same steps), minbase, made once with mmdebstrap and kept
#      (build-matrix/units/bookworm-ARCH.base), copied afresh for each run;
#   2. Debian's bookworm lines and "deb [trusted=yes] file:REPO/dist/bookworm ./";
#      `apt-get install snmp-marluxa-ac-power snmp-marluxa-ac-power-tools`;
#   3. the sources switched to Debian 13 (trixie): Debian's lines and, unless
#      QRM_UPGRADE_PLAIN=1, "deb [trusted=yes] file:REPO/dist/trixie ./" in place of the
#      bookworm one; `apt-get update`, `apt-get full-upgrade -y`;
#   4. the plug-in's version, and the installed qrmhost walking the installed pdusim with the
#      installed plug-in (two rounds).
#
# dist/bookworm and dist/trixie must hold the ARCH packages and their index (./run matrix
# CODENAME:ARCH, or scripts/matrix.sh's upgrade target, which makes them when missing).
# Prints one line on standard output:
#
#   matrix: upgrade bookworm trixie ARCH: plug-in VERSION_BEFORE -> VERSION_AFTER, N walks answered
#
# VERSION_AFTER is "none" when the plug-in is no longer installed (or its file is gone); with
# QRM_UPGRADE_PLAIN=1 the line ends "(without the trixie repository)". Logs and what apt removed:
# build-matrix/upgrade-ARCH/. Exit status 0 when the plug-in is installed at a +deb13u version
# after the upgrade (with QRM_UPGRADE_PLAIN=1: installed at all) and at least one walk was
# answered; 1 otherwise; 2 when the repositories are missing.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
REPO=$(pwd)
ARCH=${1:-armhf}
FROM=bookworm TO=trixie
DIR=${QRM_MATRIX_DIR:-build-matrix}
case "$DIR" in /*) ;; *) DIR=$REPO/$DIR ;; esac
PLAIN=${QRM_UPGRADE_PLAIN:-0}
# shellcheck source=scripts/matrix-root.sh
. "$REPO/scripts/matrix-root.sh"
# shellcheck source=scripts/packages.sh
. "$REPO/scripts/packages.sh"
progress() { echo "  upgrade $ARCH: $*" >&2; }

needed=("$FROM")
[ "$PLAIN" = 1 ] || needed+=("$TO")
for c in "${needed[@]}"; do
  if ! grep -qx "Package: snmp-marluxa-ac-power" "$REPO/dist/$c/Packages" 2>/dev/null ||
    ! grep -qx "Architecture: $ARCH" "$REPO/dist/$c/Packages"; then
    echo "matrix-upgrade: no $ARCH repository in dist/$c (./run matrix $c:$ARCH makes it)" >&2
    exit 2
  fi
done

# ---- 1. the unit's root --------------------------------------------------------------------
base=$DIR/units/$FROM-$ARCH.base
unit=$DIR/units/$FROM-$ARCH
logs=$DIR/upgrade-$ARCH
rm -rf "$logs"
mkdir -p "$logs" "$DIR/units"
if [ ! -f "$base/.matrix-unit" ]; then
  progress "making the $FROM $ARCH root ..."
  rm -rf "$base.new"
  hooks=()
  if [ "$ARCH" != "$(dpkg --print-architecture)" ]; then
    # A foreign root runs through the kernel's binfmt_misc entry for qemu; the entry names its
    # interpreter by path, which must be found inside the root as well.
    binfmt=$(cross_qemu "$ARCH")
    if [ ! -e "/proc/sys/fs/binfmt_misc/$binfmt" ]; then
      [ -e /proc/sys/fs/binfmt_misc/register ] ||
        mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc 2>/dev/null
      update-binfmts --enable "$binfmt" >/dev/null 2>&1
    fi
    interp=$(sed -n 's/^interpreter //p' "/proc/sys/fs/binfmt_misc/$binfmt" 2>/dev/null)
    if [ -z "$interp" ]; then
      echo "matrix-upgrade: no binfmt_misc entry for $binfmt (apt-get install qemu-user-static)" >&2
      exit 1
    fi
    hooks=(--setup-hook="mkdir -p \"\$1$(dirname "$interp")\" && cp -L $interp \"\$1$interp\"")
  fi
  if ! mmdebstrap --mode=root --variant=minbase --architectures="$ARCH" \
    --aptopt='Acquire::Check-Valid-Until "false"' "${hooks[@]}" "$FROM" "$base.new" \
    "deb $MATRIX_MIRROR $FROM main" >"$DIR/units/$FROM-$ARCH.log" 2>&1; then
    echo "matrix-upgrade: no $FROM $ARCH root (see $DIR/units/$FROM-$ARCH.log)" >&2
    exit 1
  fi
  touch "$base.new/.matrix-unit"
  mv "$base.new" "$base"
fi
rm -rf "$unit"
cp -a "$base" "$unit"

unit_do() { # unit_do ARGS...: scripts/matrix-unit.sh ARGS in the unit's root
  # shellcheck disable=SC2016 # expanded by the shell inside the root
  in_root "$unit" env MIRROR="$MATRIX_MIRROR" SECURITY_MIRROR="$MATRIX_SECURITY_MIRROR" \
    LOGS=/tmp/logs sh -c 'mkdir -p /tmp/logs; "$@"; s=$?; cp /tmp/logs/* "$0"/ 2>/dev/null; exit $s' \
    "$logs" bash "$REPO/scripts/matrix-unit.sh" "$@"
}

# ---- 2. Debian 12 with the plug-in -----------------------------------------------------------
progress "$FROM with the plug-in from dist/$FROM ..."
unit_do sources "$FROM" "$REPO/dist/$FROM"
if ! unit_do install; then
  echo "matrix-upgrade: the plug-in does not install on $FROM $ARCH (see $logs/install.log)" >&2
  exit 1
fi
before=$(unit_do version)

# ---- 3. the upgrade --------------------------------------------------------------------------
start=$SECONDS
if [ "$PLAIN" = 1 ]; then
  progress "sources switched to $TO, dist/$FROM kept; full-upgrade ..."
  unit_do sources "$TO" "$REPO/dist/$FROM"
else
  progress "sources switched to $TO with dist/$TO; full-upgrade ..."
  unit_do sources "$TO" "$REPO/dist/$TO"
fi
unit_do upgrade
upgrade_status=$?
removed=$(sed -n '/^The following packages will be REMOVED:/,/^[^ ]/p' "$logs/upgrade.log" |
  sed '1d;$d' | xargs)
progress "full-upgrade exit $upgrade_status in $((SECONDS - start)) s; removed: ${removed:-nothing}"
after=$(unit_do version)

# ---- 4. the walk -----------------------------------------------------------------------------
walks=0
if [ "$after" != none ]; then
  progress "walking the simulator ..."
  walks=$(unit_do walk 2)
fi

suffix=""
[ "$PLAIN" = 1 ] && suffix=" (without the $TO repository)"
echo "matrix: upgrade $FROM $TO $ARCH: plug-in $before -> $after, ${walks:-0} walks answered$suffix"
[ "$upgrade_status" = 0 ] && [ "$after" != none ] && [ "${walks:-0}" -ge 1 ] || exit 1
if [ "$PLAIN" != 1 ]; then
  case "$after" in *+deb13u*) ;; *) exit 1 ;; esac
fi
exit 0
