#!/usr/bin/env bash
# Tests the Debian packages that scripts/package.sh leaves in DIST, as an integrator uses them:
#
#   scripts/package-test.sh DIST [BUILD]
#
#   - the plug-in packages (build machine, armhf and arm64) hold the plug-in, in the plug-in folder of
#     their architecture, and beside it only their documents; they are Multi-Arch: same and
#     depend on net-snmp's runtime package of this release (libsnmp40, libsnmp40t64, ...) but
#     neither on jsoncpp nor on the reference host (the host process supplies those); their
#     version names the Debian release (+debNu1), as their changelog does;
#   - the tools package of each architecture holds its documents under its own name, the
#     manual pages and the alarm catalogue (429 signals);
#   - the armhf plug-in is a 32-bit ARM EABI5 hard-float shared object, built for the time_t of
#     the armhf net-snmp library it links: it passes that library struct timeval, whose size
#     is 8 bytes with 32-bit time and 16 with 64-bit time (Debian 13 and later); the arm64
#     plug-in is a 64-bit ARM (aarch64) shared object;
#   - each architecture's packages, unpacked into a temporary root (dpkg-deb -x), run (armhf
#     and arm64 under qemu-user, with this release's libraries of that architecture): the packaged qrmhost, with the
#     packaged plug-in, against the packaged pdusim for one round in frame mode 2, finding the
#     reference host library inside that root, exits 0 and writes nothing but events (read by
#     jq) to standard output with --events -; both commands print the package's version;
#   - with BUILD, `cmake --install BUILD --prefix DIR` gives a tree that runs the same round;
#   - DIST is an apt repository (scripts/apt-repo.sh) that `apt-get update` accepts with one
#     `deb [trusted=yes] file:DIST ./` line and that offers each plug-in package at its version;
#     signed with a throwaway key (when gpg is there), apt accepts it with that key only.
#
# QRM_PACKAGE_ARCHES (default "amd64 armhf arm64") names the architectures whose packages are tested.
#
# Prints one line per check and "package-test: N passed, M failed"; exits 1 on any failure.
set -uo pipefail
# shellcheck source=scripts/pdusim_port.sh
. "$(dirname "${BASH_SOURCE[0]}")/pdusim_port.sh"
# shellcheck source=scripts/packages.sh
. "$(dirname "${BASH_SOURCE[0]}")/packages.sh"
DIST=${1:?usage: package-test.sh DIST [BUILD]}
BUILD=${2:-}
DIST=$(cd "$DIST" && pwd)
PLUGIN=snmp_marluxa_ac_power.so
ARCHES=${QRM_PACKAGE_ARCHES:-amd64 armhf arm64}
RUNTIME=$(netsnmp_runtime) # net-snmp's library package in this release

# shellcheck source=scripts/checks.sh
. "$(dirname "${BASH_SOURCE[0]}")/checks.sh"
finish() {
  echo "package-test: $passed passed, $failed failed"
  [ $failed = 0 ] && [ $passed -gt 0 ]
  exit
}

WORK=$(mktemp -d /tmp/qrm-package-test.XXXXXX)
SIM_PID=
cleanup() {
  if [ -n "$SIM_PID" ]; then
    kill "$SIM_PID" 2>/dev/null
    wait "$SIM_PID" 2>/dev/null
  fi
  rm -rf "$WORK"
}
trap cleanup EXIT

# The one package file named NAME_*_ARCH.deb in DIST, or empty.
package_file() {
  local files=("$DIST/$1"_*_"$2".deb)
  [ ${#files[@]} = 1 ] && [ -f "${files[0]}" ] && echo "${files[0]}"
}

# time_abi OBJECT prints the time_t width OBJECT was built for, from the C library functions it
# imports: "64" when it calls glibc's 64-bit time functions (__clock_gettime64, __select64,
# __localtime64_r, ..., the only ones a 32-bit program built with 64-bit time_t can call) and
# none of the 32-bit ones, "32" when it calls none of the former, "mixed" otherwise. Then,
# after a tab, the 64-bit ones it calls.
time_abi() {
  local imports t64 t32
  imports=$(readelf --dyn-syms -W "$1" | awk '$7 == "UND" {print $8}')
  t64=$(grep -E '^__[a-z_0-9]*(64|64_r|_time64)@GLIBC_' <<<"$imports" | sed 's/@.*//' | sort -u)
  t32=$(grep -E '^(time|gettimeofday|clock_gettime|clock_nanosleep|nanosleep|select|pselect|ppoll|localtime|localtime_r|gmtime|gmtime_r|mktime|timegm|difftime|ctime|ctime_r|pthread_cond_timedwait|pthread_mutex_timedlock|sem_timedwait|setsockopt|getsockopt|recvmmsg|futimens|utimensat|stat|fstat|lstat|stat64|fstat64|lstat64|fstatat64)@GLIBC_' \
    <<<"$imports" | sed 's/@.*//' | sort -u)
  if [ -n "$t64" ] && [ -z "$t32" ]; then
    printf '64\t%s\n' "$(echo $t64)"
  elif [ -z "$t64" ]; then
    printf '32\t\n'
  else
    printf 'mixed\t%s; 32-bit: %s\n' "$(echo $t64)" "$(echo $t32)"
  fi
}

# ---- the plug-in packages --------------------------------------------------------------------
for arch in $ARCHES; do
  deb=$(package_file snmp-marluxa-ac-power "$arch")
  if [ -z "$deb" ]; then
    fail "one snmp-marluxa-ac-power package for $arch in $DIST"
    continue
  fi
  pass "${deb##*/} is there"
  multiarch=$(dpkg-architecture -a "$arch" -qDEB_HOST_MULTIARCH 2>/dev/null)
  files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $NF}' | sort)
  docs="./usr/share/doc/snmp-marluxa-ac-power/changelog.Debian.gz
./usr/share/doc/snmp-marluxa-ac-power/copyright
./usr/share/lintian/overrides/snmp-marluxa-ac-power"
  check "$arch: the package holds usr/lib/$multiarch/qrm/plugins/$PLUGIN and its documents" \
    test "$files" = "$(printf '%s\n%s' "./usr/lib/$multiarch/qrm/plugins/$PLUGIN" "$docs" | sort)"
  check "$arch: Architecture is $arch" test "$(dpkg-deb -f "$deb" Architecture)" = "$arch"
  check "$arch: Multi-Arch is same" test "$(dpkg-deb -f "$deb" Multi-Arch)" = same
  depends=$(dpkg-deb -f "$deb" Depends)
  echo "  Depends: $depends"
  check "$arch: Depends has a versioned $RUNTIME, this release's net-snmp" \
    grep -qE "(^|, )$RUNTIME \\(>= [^)]+\\)" <<<"$depends"
  check "$arch: Depends has neither jsoncpp nor the reference host" \
    bash -c '! grep -qiE "jsoncpp|qrm" <<<"$1"' _ "$depends"
  package_version=$(dpkg-deb -f "$deb" Version)
  changelog_version=$(dpkg-deb --fsys-tarfile "$deb" |
    tar -xOf - ./usr/share/doc/snmp-marluxa-ac-power/changelog.Debian.gz | zcat |
    sed -n '1s/^[^(]*(\([^)]*\)).*/\1/p')
  check "$arch: version $package_version names the Debian release, as the changelog does" \
    bash -c '[[ $1 =~ -[0-9]+\+deb[0-9]+u[0-9]+$ ]] && [ "$1" = "$2" ]' _ "$package_version" \
    "$changelog_version"
  dpkg-deb -x "$deb" "$WORK/$arch"
  object=$WORK/$arch/usr/lib/$multiarch/qrm/plugins/$PLUGIN
  if [ "$arch" = arm64 ]; then
    desc=$(file -b "$object" 2>&1)
    echo "  file: $desc"
    check "arm64: file reports an ELF 64-bit LSB ARM aarch64 shared object" \
      grep -qE '^ELF 64-bit LSB shared object, ARM aarch64' <<<"$desc"
  fi
  if [ "$arch" = armhf ]; then
    desc=$(file -b "$object" 2>&1)
    echo "  file: $desc"
    check "armhf: file reports an ELF 32-bit LSB ARM EABI5 shared object" \
      grep -qE '^ELF 32-bit LSB shared object, ARM, EABI5' <<<"$desc"
    check "armhf: the ELF header says hard-float ABI" \
      bash -c 'readelf -h "$1" | grep -qE "Flags:.*hard-float ABI"' _ "$object"
    # The armhf net-snmp the plug-in links, as this machine's armhf runtime package installs it.
    soname=$(readelf -d "$object" | sed -n 's/.*(NEEDED).*\[\(libnetsnmp\.so\.[0-9]*\)\]/\1/p')
    library=/usr/lib/$multiarch/$soname
    if [ -n "$soname" ] && [ -f "$library" ]; then
      owner=$(dpkg-query -S "$library" 2>/dev/null | sed -n '1s/:.*//p')
      IFS=$'\t' read -r library_abi _ < <(time_abi "$library")
      IFS=$'\t' read -r plugin_abi plugin_t64 < <(time_abi "$object")
      echo "  $soname ($owner): ${library_abi}-bit time_t; the plug-in: ${plugin_abi}-bit" \
        "${plugin_t64:+(calls $plugin_t64)}"
      check "armhf: the plug-in is built for the ${library_abi}-bit time_t of $soname" \
        test "$plugin_abi" = "$library_abi"
      check "armhf: Depends names $owner, the package of that $soname" \
        grep -qE "(^|, )$owner \\(" <<<"$depends"
    else
      fail "armhf: the armhf ${soname:-libnetsnmp} the plug-in links is installed here (${library})"
    fi
  fi
done

# ---- the apt repository ----------------------------------------------------------------------
# DIST as a unit's apt sees it (scripts/apt-repo-test.sh, which prints its own checks).
QRM_PACKAGE_ARCHES=$ARCHES "$(dirname "${BASH_SOURCE[0]}")/apt-repo-test.sh" "$DIST" \
  >"$WORK/apt-repo-test.log" 2>&1
grep -v '^apt-repo-test: ' "$WORK/apt-repo-test.log"
read -r repo_passed repo_failed < <(sed -n \
  's/^apt-repo-test: \([0-9]*\) passed, \([0-9]*\) failed$/\1 \2/p' "$WORK/apt-repo-test.log")
if [ -n "${repo_passed:-}" ]; then
  passed=$((passed + repo_passed))
  failed=$((failed + repo_failed))
else
  fail "apt repository: scripts/apt-repo-test.sh ran to its end"
fi

# ---- the tools packages, and one round with each --------------------------------------------
# The tools of each architecture of ARCHES, unpacked with that architecture's plug-in into a
# root of their own: the files, the dependencies, the reference host library found inside the
# root, and one round of the packaged qrmhost and plug-in against the packaged pdusim. The ARM
# commands run under qemu-user, with this release's libraries of their architecture as a unit
# has them.

# one_round NAME RUN... -- QRMHOST PLUGIN: one round of device 1 with the events on standard
# output, the command prefixed by RUN (an emulator, or nothing), checked by its exit status, the
# events (through jq) and the summaries on standard error.
one_round() {
  local name=$1 dir=$WORK/$1 status run=()
  shift
  while [ "$1" != -- ]; do
    run+=("$1")
    shift
  done
  local qrmhost=$2 plugin=$3
  mkdir -p "$dir"
  env -u LD_LIBRARY_PATH timeout 300 "${run[@]}" "$qrmhost" run --plugin "$plugin" \
    --config "$WORK/device.json" --rounds 1 --timeout 240 --history "$dir/history" \
    --events - >"$dir/events.jsonl" 2>"$dir/err"
  status=$?
  if [ $status != 0 ]; then
    fail "$name: qrmhost run exits 0 (status $status)"
    sed 's/^/  | /' "$dir/err" | tail -20
    return
  fi
  pass "$name: qrmhost run exits 0"
  grep -E '^\[(round|end)' "$dir/err" | sed 's/^/  | /'
  check "$name: the round shows the simulator's three alarms" \
    grep -qE '^\[round 1\] device 1 at .*: walk of 127\.0\.0\.1:[0-9]+ answered in [0-9.]+ s; first record, .*, 3 alarms active; raised: ' "$dir/err"
  check "$name: the run closes with the device's summary" \
    grep -qxE '\[end\] device 1: rounds published 1, walks timed out 0, walks failed 0, walks found nothing 0, alarms active now 3, walk time median [0-9.]+ s, longest [0-9.]+ s; still active: #3 [^,]+, #75 [^,]+, #206 .+' \
    "$dir/err"
  check "$name: standard output holds the events alone: jq reads every line" \
    bash -c 'jq -e -c .event "$1" >/dev/null' _ "$dir/events.jsonl"
  check "$name: frame mode 2 reports the 429 catalogue signals" \
    test "$(jq -c 'select(.event == "signal")' "$dir/events.jsonl" | wc -l)" = 429
  check "$name: one 5087-byte record saved" test "$(stat -c %s "$dir/history/1.rec")" = 5087
}

# start_pdusim RUN... -- PDUSIM: the packaged simulator on a free port of 127.0.0.1 (SIM_PID,
# SIM_PORT); false when it does not start.
start_pdusim() {
  local run=()
  while [ "$1" != -- ]; do
    run+=("$1")
    shift
  done
  env -u LD_LIBRARY_PATH "${run[@]}" "$2" --port 0 >"$WORK/pdusim.log" 2>&1 &
  SIM_PID=$!
  SIM_PORT=$(pdusim_port "$WORK/pdusim.log" "$SIM_PID")
  [ -n "$SIM_PORT" ]
}
stop_pdusim() {
  kill "$SIM_PID" 2>/dev/null
  wait "$SIM_PID" 2>/dev/null
  SIM_PID=
}

for arch in $ARCHES; do
  tools=$(package_file snmp-marluxa-ac-power-tools "$arch")
  plugin=$(package_file snmp-marluxa-ac-power "$arch")
  if [ -z "$tools" ] || [ -z "$plugin" ]; then
    fail "the $arch tools and plug-in packages are in $DIST"
    continue
  fi
  pass "${tools##*/} is there"
  version=$(dpkg-deb -f "$tools" Version)
  version=${version%-*} # the upstream version, without the package release
  tools_depends=$(dpkg-deb -f "$tools" Depends)
  echo "  Depends: $tools_depends"
  check "$arch tools: Architecture is $arch" test "$(dpkg-deb -f "$tools" Architecture)" = "$arch"
  check "$arch tools: Depends has $RUNTIME and libjsoncpp, not the plug-in package" \
    bash -c 'grep -q "$2 (>=" <<<"$1" && grep -q "libjsoncpp" <<<"$1" &&
      ! grep -q "snmp-marluxa-ac-power" <<<"$1"' _ "$tools_depends" "$RUNTIME"

  ROOT=$WORK/root-$arch
  dpkg-deb -x "$plugin" "$ROOT"
  dpkg-deb -x "$tools" "$ROOT"
  multiarch=$(dpkg-architecture -a "$arch" -qDEB_HOST_MULTIARCH 2>/dev/null)
  for f in usr/bin/qrmhost usr/bin/pdusim "usr/lib/$multiarch/qrm/libqrmhost_ref.so"; do
    check "$arch tools: holds $f" test -f "$ROOT/$f"
  done
  for f in README.md docs/DESIGN.md docs/DEVELOPMENT.md copyright changelog.Debian.gz; do
    check "$arch tools: holds $f in its own doc folder" \
      test -f "$ROOT/usr/share/doc/snmp-marluxa-ac-power-tools/$f"
  done
  for tool in qrmhost pdusim; do
    check "$arch tools: the manual page of $tool is made from its --help" \
      bash -c 'zcat "$1" | grep -q "^\.TH ${2^^} \"1\"" && zcat "$1" | grep -qF "\-\-help"' _ \
      "$ROOT/usr/share/man/man1/$tool.1.gz" "$tool"
  done
  for f in catalogue.csv catalogue.json; do
    check "$arch tools: holds the alarm catalogue as $f" \
      test -s "$ROOT/usr/share/snmp-marluxa-ac-power-tools/$f"
  done
  check "$arch tools: the catalogue names 429 signals" \
    test "$(grep -c ',120830[0-9]*,' "$ROOT/usr/share/snmp-marluxa-ac-power-tools/catalogue.csv")" = 429
  run=()
  if [ "$arch" != amd64 ]; then
    # As on a unit: the release's C library and loader of ARCH (libc6:ARCH, which the
    # libraries installed for building bring), found where a unit has them.
    run=("$(cross_qemu "$arch")")
    loader=$(readelf -l "$ROOT/usr/bin/qrmhost" |
      sed -n 's/.*\[Requesting program interpreter: \(.*\)\]/\1/p')
    [ -e "$loader" ] || run+=(-L "/usr/$multiarch")
    runpath=$(readelf -d "$ROOT/usr/bin/qrmhost" | sed -n 's/.*(RUNPATH).*\[\(.*\)\]/\1/p')
    check "$arch tools: qrmhost's run path leads to the reference host library in its root" \
      test "$(realpath -m "$ROOT/usr/bin/${runpath#\$ORIGIN/}")" = \
      "$(realpath "$ROOT/usr/lib/$multiarch/qrm")"
  else
    hostlib=$(env -u LD_LIBRARY_PATH ldd "$ROOT/usr/bin/qrmhost" |
      sed -n 's/^[[:space:]]*libqrmhost_ref\.so => \([^ ]*\) .*/\1/p')
    echo "  ldd: libqrmhost_ref.so => $hostlib"
    check "qrmhost finds the reference host library inside the unpacked root" \
      test "$(realpath -m "$hostlib")" = "$(realpath "$ROOT/usr/lib/$multiarch/qrm/libqrmhost_ref.so")"
  fi
  for tool in qrmhost pdusim; do
    check "$arch: $tool --version prints $tool $version" \
      test "$(env -u LD_LIBRARY_PATH "${run[@]}" "$ROOT/usr/bin/$tool" --version 2>&1)" = \
      "$tool $version"
  done
  if ! start_pdusim "${run[@]}" -- "$ROOT/usr/bin/pdusim"; then
    fail "$arch: the packaged pdusim starts"
    cat "$WORK/pdusim.log"
    stop_pdusim
    continue
  fi
  pass "$arch: the packaged pdusim listens on 127.0.0.1:$SIM_PORT"
  cat >"$WORK/device.json" <<JSON
{"id": 1, "ip": "127.0.0.1:$SIM_PORT", "address": 1,
 "appSetting": {"use_thread": 0, "b_mode": 2, "timeout_ms": 2000, "retries": 1}}
JSON
  one_round "packaged-$arch" "${run[@]}" -- "$ROOT/usr/bin/qrmhost" \
    "$ROOT/usr/lib/$multiarch/qrm/plugins/$PLUGIN"

  # cmake --install of the build machine's build, into a prefix of our choosing: the same round.
  if [ "$arch" = amd64 ] && [ -n "$BUILD" ]; then
    PREFIX=$WORK/prefix
    if cmake --install "$BUILD" --prefix "$PREFIX" >"$WORK/install.log" 2>&1; then
      pass "cmake --install $BUILD --prefix $PREFIX"
      installed_plugin=$(find "$PREFIX" -path "*/qrm/plugins/$PLUGIN" | head -1)
      check "the installed tree has the plug-in in a qrm/plugins folder" test -n "$installed_plugin"
      one_round installed -- "$PREFIX/bin/qrmhost" "$installed_plugin"
    else
      fail "cmake --install $BUILD --prefix $PREFIX"
      cat "$WORK/install.log"
    fi
  fi
  stop_pdusim
done
# The ARM pages and catalogue are made by the emulated commands: they must be the amd64 ones.
for arch in armhf arm64; do
  if [ -d "$WORK/root-amd64/usr/share/man" ] && [ -d "$WORK/root-$arch/usr/share/man" ]; then
    for f in usr/share/man/man1/qrmhost.1.gz usr/share/man/man1/pdusim.1.gz \
      usr/share/snmp-marluxa-ac-power-tools/catalogue.csv \
      usr/share/snmp-marluxa-ac-power-tools/catalogue.json; do
      check "$arch tools: ${f##*/} is the amd64 package's, byte for byte" \
        cmp -s "$WORK/root-amd64/$f" "$WORK/root-$arch/$f"
    done
  fi
done

finish
