#!/usr/bin/env bash
# `./run matrix [TARGET...]`: the project built, tested and packaged on each Debian release a
# unit may carry, each inside a root made from that release's own packages:
#
#   bookworm amd64, armhf, arm64   Debian 12, net-snmp 5.9.3, 32-bit time_t on armhf
#   trixie amd64, armhf, arm64     Debian 13, net-snmp 5.9.4, 64-bit time_t on armhf
#   sid amd64, armhf               Debian unstable, net-snmp 5.9.5 (libnetsnmp.so.45)
#
# armhf is the supervision unit (32-bit ARM); arm64 is newer units running 64-bit ARM Debian.
# A TARGET is CODENAME (each of its architectures) or CODENAME:ARCH; without one, all eight
# run, one after another. For each release a root is made once with mmdebstrap in
# build-matrix/roots/CODENAME (scripts/matrix-root.sh) and kept: a later run builds in it
# without bootstrapping. Each target runs scripts/matrix-target.sh in the root (entered with
# chroot, in namespaces of its own that take every mount and process with them when it ends):
# the whole suite (armhf and arm64 under qemu-user, as ./run cross-test), the net-snmp version,
# and the packages of that architecture into dist/CODENAME. Work folders:
# build-matrix/CODENAME/ARCH (logs there: suite.log, package.log, target.log).
#
# Prints progress and each target's time on standard error and, at the end, one line per target
# on standard output:
#
#   matrix: CODENAME ARCH net-snmp VERSION: N passed, M failed
#   matrix: CODENAME ARCH net-snmp ?: not built: REASON
#
# The target upgrade[:ARCH] (ARCH armhf, the default, arm64 or amd64) upgrades a unit from Debian 12
# to 13 with the plug-in from the project's apt repositories (scripts/matrix-upgrade.sh). The
# repositories dist/bookworm and dist/trixie are used as they are; when one lacks ARCH's
# packages, they are built first in that release's root (scripts/package.sh alone, not the
# suite). Its line:
#
#   matrix: upgrade bookworm trixie ARCH: plug-in VERSION_BEFORE -> VERSION_AFTER, N walks answered
#
# Exit status: 0 when every target ran with no failure, 1 otherwise.
#
# Environment: QRM_MATRIX_DIR (default build-matrix), QRM_MATRIX_JOBS (default 2),
# QRM_MATRIX_FRESH_ROOTS=1 (make the roots anew), QRM_MATRIX_MIRROR and
# QRM_MATRIX_SECURITY_MIRROR (the package mirror), SOURCE_DATE_EPOCH (default: the last
# commit's time; it dates the packages), QRM_APT_SIGNING_KEY (a key of the caller's gpg
# keyring: each dist/CODENAME the run wrote gets a signed Release, made outside the roots).
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
REPO=$(pwd)
DIR=${QRM_MATRIX_DIR:-build-matrix}
case "$DIR" in /*) ;; *) DIR=$REPO/$DIR ;; esac
ALL_TARGETS=(bookworm:amd64 bookworm:armhf bookworm:arm64 trixie:amd64 trixie:armhf trixie:arm64
  sid:amd64 sid:armhf)

# shellcheck source=scripts/matrix-root.sh
. "$REPO/scripts/matrix-root.sh"

if [ "$(id -u)" != 0 ]; then
  echo "matrix: needs root (mmdebstrap, chroot and mounts); run as root: ./run matrix" >&2
  exit 2
fi

targets=()
upgrades=()
for arg in "${@:-all}"; do
  case "$arg" in
    upgrade | upgrade:armhf) upgrades+=(armhf) ;;
    upgrade:amd64) upgrades+=(amd64) ;;
    upgrade:arm64) upgrades+=(arm64) ;;
    all) targets+=("${ALL_TARGETS[@]}") ;;
    bookworm | trixie) targets+=("$arg:amd64" "$arg:armhf" "$arg:arm64") ;;
    sid) targets+=("$arg:amd64" "$arg:armhf") ;;
    bookworm:amd64 | bookworm:armhf | bookworm:arm64 | trixie:amd64 | trixie:armhf | \
      trixie:arm64 | sid:amd64 | sid:armhf)
      targets+=("$arg")
      ;;
    *)
      echo "matrix: unknown target $arg (one of: ${ALL_TARGETS[*]}, a codename, upgrade," \
        "upgrade:armhf, upgrade:arm64, upgrade:amd64)" >&2
      exit 2
      ;;
  esac
done

if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  SOURCE_DATE_EPOCH=$(git -C "$REPO" log -1 --format=%ct 2>/dev/null || date +%s)
fi

progress() { echo "  $*" >&2; }

lines=()
status=0
declare -A root_state # codename -> "ok" or the reason it could not be made

# ensure_root CODENAME: the release's root, made or kept (root_state says which).
ensure_root() {
  local codename=$1 root=$DIR/roots/$1 made root_start
  if [ -z "${root_state[$codename]:-}" ]; then
    if [ "${QRM_MATRIX_FRESH_ROOTS:-0}" = 1 ]; then rm -rf "$root"; fi
    made=$([ -f "$root/.matrix-root" ] && echo "kept" || echo "made")
    progress "$codename: root ($made) ..."
    root_start=$SECONDS
    if make_root "$codename" "$root" "$DIR/roots/$codename.log"; then
      root_state[$codename]=ok
      progress "$codename: root $made in $((SECONDS - root_start)) s ($root)"
    else
      root_state[$codename]="no root of $codename: $(grep -E '^E: ' "$DIR/roots/$codename.log" |
        head -1 | cut -c1-200)"
      progress "$codename: ${root_state[$codename]} (log: $DIR/roots/$codename.log)"
    fi
  fi
}

for target in "${targets[@]}"; do
  codename=${target%:*} arch=${target#*:}
  out=$DIR/$codename/$arch
  root=$DIR/roots/$codename
  mkdir -p "$out"
  start=$SECONDS

  ensure_root "$codename"
  if [ "${root_state[$codename]}" != ok ]; then
    lines+=("matrix: $codename $arch net-snmp ?: not built: ${root_state[$codename]}")
    status=1
    continue
  fi

  progress "$codename $arch: suite and packages ..."
  target_start=$SECONDS
  in_root "$root" env SOURCE_DATE_EPOCH="$SOURCE_DATE_EPOCH" QRM_MATRIX_JOBS="${QRM_MATRIX_JOBS:-2}" \
    bash "$REPO/scripts/matrix-target.sh" "$codename" "$arch" "$out" >"$out/target.log" 2>&1
  if [ -f "$out/result" ] && read -r version passed failed <"$out/result"; then
    lines+=("matrix: $codename $arch net-snmp $version: $passed passed, $failed failed")
    [ "$failed" = 0 ] || status=1
    progress "$codename $arch: $passed passed, $failed failed in $((SECONDS - target_start)) s" \
      "(suite $(grep -oE 'Total Test time \(real\) = +[0-9.]+ sec' "$out/suite.log" |
        grep -oE '[0-9.]+ sec' || echo '? sec') of tests; logs in $out)"
    if [ "$failed" != 0 ]; then
      grep -hE '\*\*\*|^FAIL|FAIL:' "$out/suite.log" "$out/package.log" 2>/dev/null | head -20 |
        sed 's/^/    /' >&2
    fi
  else
    lines+=("matrix: $codename $arch net-snmp ?: not built: the target stopped (see $out/target.log)")
    status=1
    tail -5 "$out/target.log" | sed 's/^/    /' >&2
  fi
  progress "$codename $arch: $((SECONDS - start)) s in all"
done

for arch in "${upgrades[@]}"; do
  start=$SECONDS
  ok=1
  for codename in bookworm trixie; do
    grep -qx "Architecture: $arch" "$REPO/dist/$codename/Packages" 2>/dev/null && continue
    ensure_root "$codename"
    if [ "${root_state[$codename]}" != ok ]; then
      lines+=("matrix: upgrade bookworm trixie $arch: not run: ${root_state[$codename]}")
      ok=0
      break
    fi
    out=$DIR/$codename/$arch
    mkdir -p "$out"
    progress "upgrade $arch: the $codename $arch packages ..."
    if ! in_root "$DIR/roots/$codename" env SOURCE_DATE_EPOCH="$SOURCE_DATE_EPOCH" \
      QRM_PACKAGE_ARCHES="$arch" QRM_PACKAGE_DIST="$REPO/dist/$codename" \
      QRM_PACKAGE_CODENAME="$codename" QRM_PACKAGE_WORK="$out/package" \
      QRM_PACKAGE_JOBS="${QRM_MATRIX_JOBS:-2}" bash "$REPO/scripts/package.sh" \
      >"$out/package.log" 2>&1; then
      lines+=("matrix: upgrade bookworm trixie $arch: not run: the $codename packages failed (see $out/package.log)")
      ok=0
      break
    fi
  done
  if [ $ok = 1 ]; then
    line=$(bash "$REPO/scripts/matrix-upgrade.sh" "$arch") || ok=0
    lines+=("${line:-matrix: upgrade bookworm trixie $arch: not run: see build-matrix/upgrade-$arch}")
  fi
  [ $ok = 1 ] || status=1
  progress "upgrade $arch: $((SECONDS - start)) s in all"
done

# The roots see neither the caller's environment nor its keyring: the repositories the run
# wrote are signed here, on the build machine, when the integrator names a key.
if [ -n "${QRM_APT_SIGNING_KEY:-}" ]; then
  for codename in $(printf '%s\n' "${targets[@]%:*}" ${upgrades[@]:+bookworm trixie} | sort -u); do
    [ -f "$REPO/dist/$codename/Packages" ] || continue
    "$REPO/scripts/apt-repo.sh" "$REPO/dist/$codename" "$codename" >&2 || status=1
  done
fi

printf '%s\n' "${lines[@]}"
exit $status
