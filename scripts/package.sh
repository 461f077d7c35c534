#!/usr/bin/env bash
# `./run package`: builds the Debian packages into dist/ and tests them.
#
#   dist/snmp-marluxa-ac-power_VERSION-1_amd64.deb        the plug-in, for the build machine
#   dist/snmp-marluxa-ac-power_VERSION-1_armhf.deb        the plug-in, for the supervision unit
#   dist/snmp-marluxa-ac-power-tools_VERSION-1_amd64.deb  qrmhost, pdusim, reference host, README
#
# Steps, each timed:
#   1. packages: the armhf foreign architecture, the cross toolchain and the armhf runtime
#      libraries that dpkg-shlibdeps maps the plug-in's needs to (as root; otherwise prints the
#      commands and exits 2). ./run has installed the build machine's packages already;
#   2. build-package/amd64: Release, no tests, prefix /usr; cpack (plug-in and tools);
#   3. build-package/armhf: the cross toolchain and sysroot of ./run cross-test, Release, no
#      tests; cpack of the plug-in with dpkg-shlibdeps looking at armhf libraries;
#   4. dist/: the three packages (earlier .deb files there are removed);
#   5. scripts/package-test.sh on dist/ and on an install of build-package/amd64.
# Exit status: non-zero when a step or the package test fails.
#
# Environment: QRM_PACKAGE_JOBS (default 2).
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
JOBS=${QRM_PACKAGE_JOBS:-2}
WORK=$ROOT/build-package
DIST=$ROOT/dist
TRIPLET=arm-linux-gnueabihf

# For the armhf plug-in: the cross toolchain, and the armhf libraries it links or is described
# by (dpkg-shlibdeps reads their packages' shlibs and symbols files). jsoncpp's development
# files are needed to configure the project, not by the plug-in, which leaves jsoncpp undefined.
HOST_PACKAGES=(cmake make pkg-config file dpkg-dev g++-arm-linux-gnueabihf
  binutils-arm-linux-gnueabihf libboost-date-time-dev)
ARMHF_PACKAGES=(libsnmp40:armhf libjsoncpp-dev:armhf libstdc++6:armhf)

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
ensure_armhf_packages package "${HOST_PACKAGES[@]}" "${ARMHF_PACKAGES[@]}"

# ---- 2. amd64 --------------------------------------------------------------------------------
step "build machine packages"
cmake -S "$ROOT" -B "$WORK/amd64" -DCMAKE_BUILD_TYPE=Release -DQRM_BUILD_TESTS=OFF \
  -DCMAKE_INSTALL_PREFIX=/usr -DQRM_PACKAGE_COMPONENTS="plugin;tools" >/dev/null
cmake --build "$WORK/amd64" -j"$JOBS"
cpack_into "$WORK/amd64" "$WORK/amd64-debs"

# ---- 3. armhf --------------------------------------------------------------------------------
step "armhf plug-in package"
SYSROOT=$WORK/armhf/sysroot
if ! "$ROOT/scripts/armhf-sysroot.sh" "$SYSROOT"; then
  echo "package: could not prepare $SYSROOT (see ./run cross-test for the same step)" >&2
  exit 1
fi
# Only the plug-in is built: installing a component then needs nothing else. GNUInstallDirs
# chooses the multiarch library folder for native builds only: it is named here.
config=(-DCMAKE_BUILD_TYPE=Release -DQRM_BUILD_TESTS=OFF -DCMAKE_INSTALL_PREFIX=/usr
  -DCMAKE_INSTALL_LIBDIR=lib/$TRIPLET -DQRM_PACKAGE_COMPONENTS=plugin
  -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON -DQRM_ARMHF_SYSROOT="$SYSROOT")
[ -f "$WORK/armhf/CMakeCache.txt" ] ||
  config+=(-DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/armhf-toolchain.cmake")
cmake -S "$ROOT" -B "$WORK/armhf" "${config[@]}" >/dev/null
cmake --build "$WORK/armhf" -j"$JOBS" --target snmp_marluxa_ac_power
# dpkg-shlibdeps searches the host architecture's library folders and shlibs information.
cpack_into "$WORK/armhf" "$WORK/armhf-debs" DEB_HOST_ARCH=armhf DEB_HOST_MULTIARCH=$TRIPLET

# ---- 4. dist ---------------------------------------------------------------------------------
step dist
mkdir -p "$DIST"
rm -f "$DIST"/*.deb
cp "$WORK"/amd64-debs/*.deb "$WORK"/armhf-debs/*.deb "$DIST"/
for deb in "$DIST"/*.deb; do
  printf '%s\n  Depends: %s\n' "${deb#"$ROOT"/}" "$(dpkg-deb -f "$deb" Depends)"
done

# ---- 5. test ---------------------------------------------------------------------------------
step "package test"
set +e
"$ROOT/scripts/package-test.sh" "$DIST" "$WORK/amd64"
status=$?
set -e

step ""
echo "package: total $((SECONDS - START))s, exit status $status"
exit $status
