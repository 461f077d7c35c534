#!/usr/bin/env bash
# `./run package`: builds the Debian packages into dist/CODENAME (the release of this machine)
# and tests them:
#
#   snmp-marluxa-ac-power_VERSION-1+debNu1_amd64.deb        the plug-in, for the build machine
#   snmp-marluxa-ac-power_VERSION-1+debNu1_armhf.deb        the plug-in, for the unit
#   snmp-marluxa-ac-power-tools_VERSION-1+debNu1_amd64.deb  qrmhost, pdusim, reference host
#   snmp-marluxa-ac-power-tools_VERSION-1+debNu1_armhf.deb  the same, to run on the unit
#   snmp-marluxa-ac-power{,-tools}_VERSION-1+debNu1_arm64.deb   the two, for 64-bit ARM units
#   Packages, Packages.gz, Release                          the folder as an apt repository
#                                                           (scripts/apt-repo.sh; InRelease and
#                                                           Release.gpg with QRM_APT_SIGNING_KEY)
#
# N is the number of the Debian release the machine runs (cmake/packaging.cmake): the packages
# depend on that release's libraries.
#
# Steps, each timed:
#   1. packages: for armhf and arm64, the foreign architecture, the cross toolchain, qemu-user
#      and the runtime libraries that dpkg-shlibdeps maps the packages' needs to (as root;
#      otherwise prints the commands and exits 2). ./run has installed the build machine's
#      packages and the checking tools (lintian, hardening-check from devscripts, help2man, jq)
#      already;
#   2. build A, from scratch in build-package/a: amd64 (Release, hardened, manual pages, no
#      tests, prefix /usr; cpack of the plug-in and the tools), armhf and arm64 (the cross
#      toolchains and sysroots of ./run cross-test; cpack of the plug-in and the tools with
#      dpkg-shlibdeps looking at that architecture's libraries);
#   3. build B: the same, from scratch in build-package/b/second-build, with its own sysroots
#      (build-package/b/ARCH-sysroot): another path, so that no path of this machine may
#      reach the packages unseen;
#   4. reproducible: every package of A is byte for byte the one of B (SOURCE_DATE_EPOCH is the
#      last commit's time, so both carry the same times);
#   5. dist/CODENAME: A's packages (earlier .deb files there of the same architectures are
#      removed);
#   6. hardening-check on every ELF object in the packages;
#   7. lintian on the packages: no error and no warning;
#   8. scripts/package-test.sh on dist/ and on an install of build A's amd64 folder.
# Exit status: non-zero when a step or a check fails.
#
# Environment: QRM_PACKAGE_JOBS (default 2); SOURCE_DATE_EPOCH (default: the last commit's
# time); DEBFULLNAME and DEBEMAIL set the Maintainer (see cmake/packaging.cmake);
# QRM_PACKAGE_ARCHES (default "amd64 armhf arm64"): the architectures whose plug-in and tools
# packages are built, checked and tested ("armhf" the armhf ones alone);
# QRM_PACKAGE_CODENAME (default: this machine's release, /etc/os-release) names the release in
# the repository's Release; QRM_PACKAGE_DIST (default dist/CODENAME) and QRM_PACKAGE_WORK
# (default build-package): where the packages go and where they are built (./run matrix uses
# dist/CODENAME and its own folders); QRM_APT_SIGNING_KEY: a gpg key that signs the Release.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
JOBS=${QRM_PACKAGE_JOBS:-2}
WORK=${QRM_PACKAGE_WORK:-$ROOT/build-package}
# The release the packages are for: this machine's (a matrix root's), unless named.
CODENAME=${QRM_PACKAGE_CODENAME:-$(. /etc/os-release && echo "${VERSION_CODENAME:-unknown}")}
DIST=${QRM_PACKAGE_DIST:-$ROOT/dist/$CODENAME}
case "$WORK" in /*) ;; *) WORK=$ROOT/$WORK ;; esac
case "$DIST" in /*) ;; *) DIST=$ROOT/$DIST ;; esac
ARCHES=${QRM_PACKAGE_ARCHES:-amd64 armhf arm64}
build_amd64=0 cross_arches=()
for arch in $ARCHES; do
  case "$arch" in
    amd64) build_amd64=1 ;;
    armhf | arm64) cross_arches+=("$arch") ;;
    *)
      echo "package: QRM_PACKAGE_ARCHES: unknown architecture $arch" >&2
      exit 2
      ;;
  esac
done

# What the two builds share beside the sources: the time stamps, the locale, the time zone and
# the file modes.
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  SOURCE_DATE_EPOCH=$(git -C "$ROOT" log -1 --format=%ct 2>/dev/null || date +%s)
fi
export SOURCE_DATE_EPOCH LC_ALL=C.UTF-8 TZ=UTC
umask 022

# For the ARM packages: the cross toolchain, qemu-user (the build runs the ARM commands for
# their manual pages and catalogue; the package test runs them), and the libraries of that
# architecture they link or are described by (dpkg-shlibdeps reads their packages' shlibs and
# symbols files), net-snmp's under this release's name for it (added in step 1). The plug-in
# leaves jsoncpp undefined; the tools link it.
HOST_PACKAGES=(cmake make pkg-config file dpkg-dev libboost-date-time-dev qemu-user)

STEP_PREFIX=package
# shellcheck source=scripts/steps.sh
. "$ROOT/scripts/steps.sh"

# cpack_into BUILD OUT [VAR=VALUE...]: runs cpack for BUILD with the environment additions,
# leaving the packages in OUT (emptied first).
cpack_into() {
  local build=$1 out=$2
  shift 2
  rm -rf "$out"
  (cd "$build" && env "$@" cpack -B "$out" >"$out.log" 2>&1) || {
    cat "$out.log" >&2
    echo "package: FAIL: cpack in $build" >&2
    exit 1
  }
}

# ---- 1. packages -----------------------------------------------------------------------------
step packages
# shellcheck source=scripts/packages.sh
. "$ROOT/scripts/packages.sh"
for arch in "${cross_arches[@]}"; do
  triplet=$(cross_triplet "$arch")
  ensure_cross_packages package "$arch" "${HOST_PACKAGES[@]}" "g++-$triplet" "binutils-$triplet" \
    "libjsoncpp-dev:$arch" "libstdc++6:$arch" "$(netsnmp_runtime):$arch"
done

# build_set DIR SYSROOTS: the builds of ARCHES, from scratch, in DIR (emptied first), each ARM
# one with the sysroot SYSROOTS/ARCH-sysroot; the packages land in DIR/ARCH-debs.
build_set() {
  local dir=$1 sysroots=$2 arch
  rm -rf "$dir"
  mkdir -p "$dir"
  [ $build_amd64 = 1 ] && build_amd64_set "$dir"
  for arch in "${cross_arches[@]}"; do
    build_cross_set "$dir" "$arch" "$sysroots/$arch-sysroot"
  done
  return 0
}

build_amd64_set() {
  local dir=$1
  cmake -S "$ROOT" -B "$dir/amd64" -DCMAKE_BUILD_TYPE=Release -DQRM_BUILD_TESTS=OFF \
    -DQRM_HARDENING=ON -DQRM_MAN_PAGES=ON -DCMAKE_INSTALL_PREFIX=/usr \
    -DQRM_PACKAGE_COMPONENTS="plugin;tools" >"$dir/amd64.log" 2>&1 &&
    cmake --build "$dir/amd64" -j"$JOBS" >>"$dir/amd64.log" 2>&1 || {
    tail -40 "$dir/amd64.log" >&2
    echo "package: FAIL: the amd64 build in $dir/amd64" >&2
    exit 1
  }
  cpack_into "$dir/amd64" "$dir/amd64-debs"
}

# build_cross_set DIR ARCH SYSROOT: the ARM build of ARCH (armhf, arm64) in DIR/ARCH.
build_cross_set() {
  local dir=$1 arch=$2 sysroot=$3 triplet
  triplet=$(cross_triplet "$arch")
  if ! "$ROOT/scripts/cross-sysroot.sh" "$sysroot" "$arch"; then
    echo "package: could not prepare $sysroot (see ./run cross-test for the same step)" >&2
    exit 1
  fi
  # The plug-in and the tools, to run on the unit; their manual pages and catalogue are made by
  # running the ARM commands under qemu-user (cmake/packaging.cmake).
  # GNUInstallDirs chooses the multiarch library folder for native builds only: it is named here.
  # The plug-in is linked with its installed run path (none) rather than one into the sysroot:
  # installing removes a run path but leaves its length in the string table, so the sysroot's
  # path would shape the packaged file.
  cmake -S "$ROOT" -B "$dir/$arch" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/$arch-toolchain.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DQRM_BUILD_TESTS=OFF -DQRM_HARDENING=ON \
    -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_INSTALL_LIBDIR="lib/$triplet" \
    -DQRM_PACKAGE_COMPONENTS="plugin;tools" -DQRM_MAN_PAGES=ON \
    -DCMAKE_BUILD_WITH_INSTALL_RPATH=ON -DQRM_CROSS_SYSROOT="$sysroot" >"$dir/$arch.log" 2>&1 &&
    cmake --build "$dir/$arch" -j"$JOBS" >>"$dir/$arch.log" 2>&1 || {
    tail -40 "$dir/$arch.log" >&2
    echo "package: FAIL: the $arch build in $dir/$arch" >&2
    exit 1
  }
  # dpkg-shlibdeps searches the host architecture's library folders and shlibs information.
  cpack_into "$dir/$arch" "$dir/$arch-debs" DEB_HOST_ARCH="$arch" DEB_HOST_MULTIARCH="$triplet"
}

status=0

# ---- 2. build A ------------------------------------------------------------------------------
step "build A"
build_set "$WORK/a" "$WORK"

# ---- 3. build B ------------------------------------------------------------------------------
# In a folder of another depth and with a sysroot of its own, so that a path of the build
# machine reaching the packages shows as a difference.
step "build B"
build_set "$WORK/b/second-build" "$WORK/b"

# ---- 4. reproducible -------------------------------------------------------------------------
step reproducible
echo "SOURCE_DATE_EPOCH=$SOURCE_DATE_EPOCH"
built=()
for arch in $ARCHES; do built+=("$WORK"/a/"$arch"-debs/*.deb); done
for deb in "${built[@]}"; do
  twin=$WORK/b/second-build/${deb#"$WORK"/a/}
  sha256sum "$deb" "$twin" | sed "s|$WORK/||"
  if ! cmp -s "$deb" "$twin"; then
    echo "package: FAIL: ${deb##*/} differs between two builds of the same sources" >&2
    status=1
  fi
done

# ---- 5. dist ---------------------------------------------------------------------------------
step dist
mkdir -p "$DIST"
packages=()
for arch in $ARCHES; do
  rm -f "$DIST"/*_"$arch".deb
  cp "$WORK"/a/"$arch"-debs/*.deb "$DIST"/
  packages+=("$DIST"/*_"$arch".deb)
done
for deb in "${packages[@]}"; do
  printf '%s\n  Depends: %s\n' "${deb#"$ROOT"/}" "$(dpkg-deb -f "$deb" Depends)"
done

# ---- 5b. the apt repository ------------------------------------------------------------------
step "apt repository"
"$ROOT/scripts/apt-repo.sh" "$DIST" "$CODENAME" || {
  echo "package: FAIL: the apt repository of $DIST"
  status=1
}

# ---- 6. hardening ----------------------------------------------------------------------------
# Every ELF object must have the stack protector, fortified functions, RELRO, immediate binding
# and (programs) PIE. Control-flow protection is not asked for: neither this release's
# dpkg-buildflags nor its C runtime start files (crti.o, which carry no IBT/SHSTK marking, so no
# linked object can) provide it, and 32-bit ARM has none.
# hardening-check also fails an object whose calls to fortifiable functions all had bounds the
# compiler proved ("only unprotected functions found"): nothing was left to check at run time.
# That answer is accepted only when the build compiled every target with _FORTIFY_SOURCE.
step hardening
# Branch protection (BTI, pointer authentication) is a 64-bit ARM feature that neither amd64 nor
# 32-bit ARM has; Debian 13's hardening-check asks for it on armhf as well (Debian 12's does
# not know it). On arm64 it is asked for when the release's build flags turn it on
# (-mbranch-protection, Debian 13), so that the arm64 packages carry what Debian's own do.
check_knows_branch_protection=0
if grep -q -- --nobranchprotection <<<"$(hardening-check --help 2>&1)"; then
  check_knows_branch_protection=1
fi
branch_protected_build() { # branch_protected_build BUILD: compiled with -mbranch-protection
  find "$1" -name flags.make -exec grep -l -e '-mbranch-protection=' {} + 2>/dev/null | grep -q .
}
fortified_build() { # fortified_build BUILD: every target compiled with _FORTIFY_SOURCE
  [ -n "$(find "$1" -name flags.make -print -quit)" ] &&
    ! find "$1" -name flags.make -exec grep -L -e '-D_FORTIFY_SOURCE=[1-9]' {} + | grep -q .
}
for deb in "${packages[@]}"; do
  arch=$(dpkg-deb -f "$deb" Architecture)
  build=$WORK/a/$arch
  tree=$WORK/unpacked/${deb##*/}
  rm -rf "$tree"
  mkdir -p "$tree"
  dpkg-deb -x "$deb" "$tree"
  hardening_options=(--nocfprotection)
  if [ $check_knows_branch_protection = 1 ] &&
    { [ "$arch" != arm64 ] || ! branch_protected_build "$build"; }; then
    hardening_options+=(--nobranchprotection)
  fi
  while IFS= read -r -d '' object; do
    file -b "$object" | grep -q '^ELF' || continue
    name=${deb##*/}:${object#"$tree"}
    report=$(hardening-check "${hardening_options[@]}" "$object" 2>&1) || true
    misses=$(grep -E ': no[, ]' <<<"$report" | grep -v '(ignored)' || true)
    if [ -z "$misses" ]; then
      echo "ok: hardening: $name"
    elif [ "$(sed 's/^ *//' <<<"$misses")" = \
      "Fortify Source functions: no, only unprotected functions found!" ] &&
      fortified_build "$build"; then
      echo "ok: hardening: $name (every fortifiable call bounded at compile time; built with" \
        "_FORTIFY_SOURCE)"
    else
      echo "FAIL: hardening: $name"
      sed 's/^/  | /' <<<"$report"
      status=1
    fi
  done < <(find "$tree" -type f -print0 | sort -z)
done

# ---- 7. lintian ------------------------------------------------------------------------------
step lintian
if lintian --fail-on error,warning --tag-display-limit 0 "${packages[@]}" >"$WORK/lintian.log" 2>&1; then
  echo "ok: lintian: no error, no warning on ${#packages[@]} packages"
else
  echo "FAIL: lintian:"
  status=1
fi
{ grep -v 'running with root privileges' "$WORK/lintian.log" || true; } | sed 's/^/  | /'

# ---- 8. test ---------------------------------------------------------------------------------
step "package test"
if [ $build_amd64 = 1 ]; then
  QRM_PACKAGE_ARCHES=$ARCHES "$ROOT/scripts/package-test.sh" "$DIST" "$WORK/a/amd64" || status=1
else
  QRM_PACKAGE_ARCHES=$ARCHES "$ROOT/scripts/package-test.sh" "$DIST" || status=1
fi

step ""
echo "package: total $((SECONDS - START))s, exit status $status"
exit $status
