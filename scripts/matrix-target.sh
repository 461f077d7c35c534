#!/usr/bin/env bash
# One target of `./run matrix`, run by scripts/matrix.sh inside the Debian root of its release:
#
#   scripts/matrix-target.sh CODENAME ARCH OUT
#
#   1. the suite: for amd64 the project built in OUT/build (Debug, -Werror) and every test run
#      with ctest; for armhf and arm64 `scripts/cross-test.sh` with OUT/build (the cross build
#      with the release's cross compiler and libraries of ARCH, -Werror, every test under
#      qemu-user, its header, plug-in and (armhf) fleet checks);
#   2. the version of net-snmp, as the release's library for ARCH reports it
#      (netsnmp_get_version(), from a program built and run as the tests are);
#   3. the packages of ARCH (scripts/package.sh with QRM_PACKAGE_ARCHES=ARCH) into
#      dist/CODENAME, an apt repository there, built in OUT/package: the plug-in and the tools,
#      hardened, lintian-clean, tested by scripts/package-test.sh (its armhf part checks the
#      plug-in's time_t against the net-snmp library it links; the ARM tools run under
#      qemu-user).
#
# Writes OUT/result: "VERSION PASSED FAILED", where PASSED and FAILED count the tests of the
# suite (a skipped test counts as failed: the whole suite must run, the interoperability tests
# against the release's snmpd and snmpsim included), cross-test's own checks and the packaging
# checks; a step that stops before its checks counts as one failed check. Logs: OUT/suite.log,
# OUT/version.log, OUT/package.log. Exit status 0 when FAILED is 0.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
ROOT=$(pwd)
CODENAME=${1:?usage: matrix-target.sh CODENAME ARCH OUT}
ARCH=${2:?usage: matrix-target.sh CODENAME ARCH OUT}
OUT=${3:?usage: matrix-target.sh CODENAME ARCH OUT}
mkdir -p "$OUT"
OUT=$(cd "$OUT" && pwd)
BUILD=$OUT/build
JOBS=${QRM_MATRIX_JOBS:-2}
# shellcheck source=scripts/packages.sh
. "$ROOT/scripts/packages.sh"
passed=0 failed=0
rm -f "$OUT/result"

# count_ctest LOG: adds ctest's per-test verdicts in LOG to the counts; false when there are
# none.
count_ctest() {
  local ok bad
  ok=$(grep -cE '^ *[0-9]+/[0-9]+ Test +#[0-9]+: .* +Passed +[0-9.]+ sec$' "$1")
  bad=$(grep -E '^ *[0-9]+/[0-9]+ Test +#[0-9]+: ' "$1" | grep -vcE ' +Passed +[0-9.]+ sec$')
  passed=$((passed + ok))
  failed=$((failed + bad))
  [ $((ok + bad)) -gt 0 ]
}

# ---- 1. the suite ----------------------------------------------------------------------------
if [ "$ARCH" = amd64 ]; then
  {
    cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Debug -DQRM_WERROR=ON &&
      cmake --build "$BUILD" -j"$JOBS" &&
      ctest --test-dir "$BUILD" --output-on-failure -j"$JOBS"
  } >"$OUT/suite.log" 2>&1
  status=$?
  count_ctest "$OUT/suite.log" || failed=$((failed + 1)) # the build stopped before the tests
  [ $status != 0 ] && [ $failed = 0 ] && failed=1
else
  QRM_CROSS_ARCH=$ARCH QRM_CROSS_BUILD_DIR=$BUILD QRM_CROSS_JOBS=$JOBS \
    "$ROOT/scripts/cross-test.sh" >"$OUT/suite.log" 2>&1
  status=$?
  if count_ctest "$OUT/suite.log"; then
    # cross-test's own checks after the tests: each failure is a "cross-test: FAIL" line; its
    # exit status is ctest's when they pass.
    checks_failed=$(grep -c '^cross-test: FAIL' "$OUT/suite.log")
    if [ "$checks_failed" -gt 0 ]; then
      failed=$((failed + checks_failed))
    elif [ $status != 0 ] && [ $failed = 0 ]; then
      failed=1
    else
      passed=$((passed + 1))
    fi
  else
    failed=$((failed + 1)) # it stopped before the tests
  fi
fi

# ---- 2. net-snmp's version ---------------------------------------------------------------------
probe=$OUT/netsnmp-version
cat >"$probe.c" <<'EOF'
#include <net-snmp/net-snmp-config.h>
#include <net-snmp/version.h>
#include <stdio.h>
int main(void) {
  puts(netsnmp_get_version());
  return 0;
}
EOF
if [ "$ARCH" = amd64 ]; then
  # shellcheck disable=SC2046
  gcc -o "$probe" "$probe.c" $(pkg-config --cflags --libs netsnmp) >"$OUT/version.log" 2>&1 &&
    version=$("$probe" 2>>"$OUT/version.log")
else
  sysroot=$BUILD/sysroot
  triplet=$(cross_triplet "$ARCH")
  # shellcheck disable=SC2046
  "$triplet-gcc" -o "$probe" "$probe.c" $(PKG_CONFIG_LIBDIR=$sysroot/usr/lib/$triplet/pkgconfig \
    pkg-config --cflags --libs netsnmp) >"$OUT/version.log" 2>&1 &&
    version=$("$(cross_qemu "$ARCH")" -L "/usr/$triplet" -E "LD_LIBRARY_PATH=/usr/$triplet/lib" \
      "$probe" 2>>"$OUT/version.log")
fi
[ -n "${version:-}" ] || version="?"

# ---- 3. the packages ----------------------------------------------------------------------------
QRM_PACKAGE_ARCHES=$ARCH QRM_PACKAGE_DIST=$ROOT/dist/$CODENAME QRM_PACKAGE_CODENAME=$CODENAME \
  QRM_PACKAGE_WORK=$OUT/package \
  QRM_PACKAGE_JOBS=$JOBS "$ROOT/scripts/package.sh" >"$OUT/package.log" 2>&1
status=$?
ok=$(grep -cE '^ok: ' "$OUT/package.log")
bad=$(grep -cE '^(package: )?FAIL: ' "$OUT/package.log")
[ $status != 0 ] && [ "$bad" = 0 ] && bad=1
passed=$((passed + ok))
failed=$((failed + bad))

echo "$version $passed $failed" >"$OUT/result"
[ $failed = 0 ]
