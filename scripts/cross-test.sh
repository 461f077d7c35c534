#!/usr/bin/env bash
# `./run cross-test [CTEST ARGS...]`: builds the whole project (plug-in, reference host,
# simulator, tests) for the supervision unit's 32-bit ARM hard-float (armhf) with Debian's cross
# compiler, against Debian's armhf net-snmp, jsoncpp and GoogleTest, runs the test suite under
# qemu-arm, and checks that the plug-in is an armhf (ARM EABI5, hard-float) shared object.
# With QRM_CROSS_ARCH=arm64 the same for newer units' 64-bit ARM (aarch64, under qemu-aarch64)
# in build-arm64, without step 7.
#
# Steps, each skipped when already done (ARCH is armhf or arm64):
#   1. packages: the ARCH foreign architecture, cross toolchain, qemu-user, ARCH libraries (as
#      root; otherwise prints the commands and exits 2);
#   2. build-ARCH/sysroot: the ARCH net-snmp development files (scripts/cross-sysroot.sh);
#   3. configure build-ARCH/ (cmake/ARCH-toolchain.cmake, Debug, -Werror), build with -j2;
#   4. check that no build machine (amd64) net-snmp/OpenSSL header went into the build;
#   5. ctest in build-ARCH (every test runs through qemu-user);
#   6. file/readelf check of build-ARCH/plugin/snmp_marluxa_ac_power.so;
#   7. (armhf) a fleet on the unit's address space: qrmhost's run command with 600 own-thread
#      devices and the fast walk, in one armhf process left with 3 GiB of address space
#      (qemu-arm gives a 32-bit process 4 GiB; fleet_bench --reserve-mib 1024 takes 1 GiB first;
#      qemu-arm 7.2's own -R option aborts for ARM), in frame mode 1 (the 429 alarm reports of
#      every round would take more CPU than two cores emulating ARM give), against one pdusim
#      built for the build machine, until every device has published 2 rounds (bounded at
#      600 s, which holds on a busy machine: the check waits for the rounds, it does not time
#      them); prints the devices whose sampling thread started, the rounds published, the peak
#      threads, descriptors and address space, and fails unless every thread started, every
#      device published both rounds and the fleet took at most 2 MiB of address space per
#      device.
# Exit status: ctest's; non-zero also when a check fails. Extra arguments go to ctest.
#
# Environment: QRM_CROSS_ARCH (armhf, the default, or arm64), QRM_CROSS_BUILD_DIR (default
# build-ARCH), QRM_CROSS_JOBS (default 2), QRM_CROSS_FLEET_DEVICES (default 600 on armhf, 0 on
# arm64, whose 64-bit address space has no such bound; 0 skips step 7).
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
# shellcheck source=scripts/packages.sh
. "$ROOT/scripts/packages.sh"
ARCH=${QRM_CROSS_ARCH:-armhf}
TRIPLET=$(cross_triplet "$ARCH") || {
  echo "cross-test: QRM_CROSS_ARCH: unknown architecture $ARCH (armhf or arm64)" >&2
  exit 2
}
QEMU_COMMAND=$(cross_qemu "$ARCH")
BUILD=${QRM_CROSS_BUILD_DIR:-build-$ARCH}
case "$BUILD" in /*) ;; *) BUILD=$ROOT/$BUILD ;; esac
JOBS=${QRM_CROSS_JOBS:-2}
SYSROOT=$BUILD/sysroot
PLUGIN_NAME=snmp_marluxa_ac_power
PLUGIN=$BUILD/plugin/$PLUGIN_NAME.so

# Build machine packages: the cross toolchain, the emulator, the checkers, and what the build
# itself runs. Boost is used header-only, and its headers are the same for every architecture:
# the build machine's are used.
HOST_PACKAGES=(cmake make pkg-config file qemu-user "g++-$TRIPLET" "binutils-$TRIPLET"
  libboost-date-time-dev)
# ARCH packages that co-install through multiarch. net-snmp's -dev package does not: it goes
# into the sysroot (scripts/cross-sysroot.sh), linked against net-snmp's runtime for ARCH,
# which is added in step 1 under this release's name for it (libsnmp40, libsnmp40t64, ...).
ARCH_PACKAGES=("libjsoncpp-dev:$ARCH" "libstdc++6:$ARCH" "libgtest-dev:$ARCH" "libgmock-dev:$ARCH")

STEP_PREFIX=cross-test
# shellcheck source=scripts/steps.sh
. "$ROOT/scripts/steps.sh"

# ---- 1. packages -----------------------------------------------------------------------------
step packages
ARCH_PACKAGES+=("$(netsnmp_runtime):$ARCH")
ensure_cross_packages cross-test "$ARCH" "${HOST_PACKAGES[@]}" "${ARCH_PACKAGES[@]}"

# ---- 2. sysroot ------------------------------------------------------------------------------
step sysroot
if ! "$ROOT/scripts/cross-sysroot.sh" "$SYSROOT" "$ARCH"; then
  echo "cross-test: could not prepare $SYSROOT. If the $ARCH runtime packages are newer or" >&2
  echo "  older than the package lists, run as root: apt-get update && apt-get install -y" >&2
  echo "  --only-upgrade $(netsnmp_runtime):$ARCH $(openssl_runtime):$ARCH" >&2
  exit 1
fi

# ---- 3. configure and build ------------------------------------------------------------------
step build
config=(-DQRM_WERROR=ON -DCMAKE_BUILD_TYPE=Debug -DQRM_CROSS_SYSROOT="$SYSROOT" -DQRM_BUILD_BENCH=ON)
# The toolchain is fixed at the first configure; naming it again only draws a warning.
[ -f "$BUILD/CMakeCache.txt" ] ||
  config+=(-DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/$ARCH-toolchain.cmake")
cmake -S "$ROOT" -B "$BUILD" "${config[@]}" >/dev/null
if ! grep -q "^CMAKE_TOOLCHAIN_FILE:.*/$ARCH-toolchain.cmake" "$BUILD/CMakeCache.txt"; then
  echo "cross-test: $BUILD was configured without cmake/$ARCH-toolchain.cmake; remove it" >&2
  exit 1
fi
cmake --build "$BUILD" -j"$JOBS"

# ---- 4. headers ------------------------------------------------------------------------------
# The cross compiler searches /usr/include last, where the build machine's (amd64) net-snmp and
# OpenSSL headers also are; net-snmp-config.h there describes amd64 (a 64-bit long, where
# armhf's is 32-bit). Every compiled file must have taken them from the sysroot: the compilers'
# dependency files list each header.
step headers
leaks=$(find "$BUILD" -path "$SYSROOT" -prune -o -name '*.o.d' -print0 |
  xargs -0 -r grep -hoE "(^|[ :])/usr/(include/(net-snmp|openssl|x86_64-linux-gnu)|lib/x86_64-linux-gnu)/[^ :]*" |
  sed -E 's/^[ :]//' | sort -u | head -5 || true)
if [ -n "$leaks" ]; then
  echo "cross-test: FAIL: build machine headers were used in the $ARCH build:" >&2
  sed 's/^/  /' <<<"$leaks" >&2
  exit 1
fi
echo "cross-test: no build machine net-snmp/OpenSSL/amd64 header in the build"

# ---- 5. tests under qemu-user ----------------------------------------------------------------
step "tests ($QEMU_COMMAND)"
set +e
ctest --test-dir "$BUILD" --output-on-failure -j"$JOBS" "$@"
status=$?
set -e

# ---- 6. the plug-in's architecture ------------------------------------------------------------
step "plug-in check"
# What file(1) and readelf must say of the plug-in, and the line printed when they do.
if [ "$ARCH" = armhf ]; then
  FILE_WANTS=("ELF 32-bit" "LSB" "shared object" "ARM" "EABI5")
  PLUGIN_IS="a 32-bit ARM EABI5 hard-float shared object"
else
  FILE_WANTS=("ELF 64-bit" "LSB" "shared object" "ARM aarch64")
  PLUGIN_IS="a 64-bit ARM (aarch64) shared object"
fi
check_plugin() {
  local desc attrs header ok=0
  desc=$(file -b "$PLUGIN")
  header=$("$TRIPLET-readelf" -h "$PLUGIN")
  echo "file: $desc"
  echo "readelf: $(grep -E '^ *Machine:' <<<"$header" | sed -E 's/^ *//')"
  for want in "${FILE_WANTS[@]}"; do
    grep -qF "$want" <<<"$desc" || {
      echo "cross-test: FAIL: file does not say \"$want\"" >&2
      ok=1
    }
  done
  [ "$ARCH" = armhf ] || return $ok
  attrs=$("$TRIPLET-readelf" -A "$PLUGIN")
  echo "readelf: $(grep -E '^ *Flags:' <<<"$header" | sed -E 's/^ *//')"
  echo "readelf: $(grep -E 'Tag_ABI_VFP_args' <<<"$attrs" | sed -E 's/^ *//')"
  # Not every `file` names the float ABI; when it does, it must be hard-float.
  if grep -qiE "soft-float" <<<"$desc"; then
    echo "cross-test: FAIL: file reports soft-float" >&2
    ok=1
  fi
  grep -qE 'Tag_ABI_VFP_args: VFP registers' <<<"$attrs" || {
    echo "cross-test: FAIL: readelf -A has no 'Tag_ABI_VFP_args: VFP registers' (hard-float)" >&2
    ok=1
  }
  grep -qE 'Flags:.*hard-float ABI' <<<"$header" || {
    echo "cross-test: FAIL: readelf -h flags do not say hard-float ABI" >&2
    ok=1
  }
  return $ok
}
if [ -f "$PLUGIN" ]; then
  if check_plugin; then
    echo "cross-test: $PLUGIN_NAME.so is $PLUGIN_IS"
  else
    [ $status = 0 ] && status=1
  fi
elif cmake --build "$BUILD" --target help 2>/dev/null | grep -qw "$PLUGIN_NAME"; then
  echo "cross-test: FAIL: target $PLUGIN_NAME exists but $PLUGIN was not built" >&2
  [ $status = 0 ] && status=1
else
  echo "cross-test: note: the project has no $PLUGIN_NAME target yet; plug-in check skipped"
fi

# ---- 7. a fleet in a 3 GiB address space -----------------------------------------------------
# The bound is a 32-bit process's: a 64-bit unit's address space has room to spare.
if [ "$ARCH" = armhf ]; then
  FLEET_DEVICES=${QRM_CROSS_FLEET_DEVICES:-600}
else
  FLEET_DEVICES=${QRM_CROSS_FLEET_DEVICES:-0}
fi
FLEET_UNITS=16
FLEET_CYCLES=2
FLEET_BOUND=600
FLEET_MIB_PER_DEVICE=2
if [ "$FLEET_DEVICES" -gt 0 ]; then
  step "fleet ($QEMU_COMMAND, 3 GiB address space)"
  # shellcheck source=scripts/pdusim_port.sh
  . "$ROOT/scripts/pdusim_port.sh"
  QEMU=("/usr/bin/$QEMU_COMMAND" -L "/usr/$TRIPLET" -E "LD_LIBRARY_PATH=/usr/$TRIPLET/lib")
  FLEET_LOG=$BUILD/fleet-pdusim.log
  FLEET_OUT=$BUILD/fleet.txt
  # The agent is not under test: a build machine pdusim (Release, beside the armhf build so
  # that step 4 never sees its headers) answers as fast as the emulated devices ask.
  AGENT_BUILD=$BUILD-agent
  cmake -S "$ROOT" -B "$AGENT_BUILD" -DCMAKE_BUILD_TYPE=Release -DQRM_BUILD_TESTS=OFF >/dev/null
  cmake --build "$AGENT_BUILD" -j"$JOBS" --target pdusim >/dev/null
  "$AGENT_BUILD/sim/pdusim" --port 0 --addresses "1-$FLEET_UNITS" >"$FLEET_LOG" 2>&1 &
  pdusim_pid=$!
  port=$(pdusim_port "$FLEET_LOG" "$pdusim_pid")
  fleet_status=1
  if [ -z "$port" ]; then
    echo "cross-test: FAIL: pdusim did not start:" >&2
    cat "$FLEET_LOG" >&2
  elif "${QEMU[@]}" "$BUILD/bench/fleet_bench" threads --plugin "$PLUGIN" --port "$port" \
    --devices "$FLEET_DEVICES" --units "$FLEET_UNITS" --rounds "$FLEET_CYCLES" \
    --cycles "$FLEET_CYCLES" --seconds "$FLEET_BOUND" --max-repetitions 100 --reserve-mib 1024 \
    --mode 1 >"$FLEET_OUT"; then
    r() { awk -v k="$1" '$1 == "RESULT" && $2 == k { print $3; exit }' "$FLEET_OUT"; }
    per_device=$(r threads_address_space_mib_per_device)
    echo "cross-test: fleet: qrmhost with $(r threads_devices) own-thread devices (max_repetitions 100," \
      "b_mode 1), $(r threads_reserved_mib) MiB of the 4 GiB address space taken first:" \
      "sampling threads started $(r threads_started), rounds published $(r threads_walks)" \
      "(per device min $(r threads_rounds_min), max $(r threads_rounds_max)) in $(r threads_wall_s) s," \
      "rounds failed $(r threads_rounds_failed), time-outs $(r threads_timeouts); peak" \
      "$(r threads_peak_threads) threads, $(r threads_peak_descriptors) descriptors (limit" \
      "$(r threads_descriptor_limit)), address space $(r threads_address_space_before_mib) MiB" \
      "before the run, $(r threads_address_space_peak_mib) MiB at most: $per_device MiB per device"
    if [ "$(r threads_started)" = "$FLEET_DEVICES" ] && [ "$(r threads_devices_short_of_cycles)" = 0 ] &&
      awk -v v="$per_device" -v l="$FLEET_MIB_PER_DEVICE" 'BEGIN { exit !(v + 0 <= l + 0) }'; then
      fleet_status=0
      echo "cross-test: fleet: every sampling thread started, every device published $FLEET_CYCLES rounds," \
        "at most $FLEET_MIB_PER_DEVICE MiB of address space per device"
    else
      echo "cross-test: FAIL: fleet: $(r threads_started) of $FLEET_DEVICES sampling threads started;" \
        "$(r threads_devices_short_of_cycles) devices published fewer than $FLEET_CYCLES rounds;" \
        "$per_device MiB of address space per device (at most $FLEET_MIB_PER_DEVICE)" >&2
    fi
  else
    echo "cross-test: FAIL: fleet_bench failed (output in $FLEET_OUT)" >&2
  fi
  kill "$pdusim_pid" 2>/dev/null || true
  wait "$pdusim_pid" 2>/dev/null || true
  [ $fleet_status = 0 ] || { [ $status = 0 ] && status=1; }
fi

step ""
echo "cross-test: total $((SECONDS - START))s, exit status $status"
exit $status
