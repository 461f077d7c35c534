#!/usr/bin/env bash
# Builds the libFuzzer targets (fuzz/) with clang under AddressSanitizer and
# UndefinedBehaviorSanitizer in build-fuzz/, then runs each target in turn for SECONDS
# (default 60) on a working copy of its seed corpus.
#
#   scripts/fuzz.sh [SECONDS] [TARGET...]
#
# The committed seeds (fuzz/corpus/<target>/) are only read: libFuzzer writes new inputs to
# build-fuzz/corpus-work/<target>/, which is kept between runs (QRM_FUZZ_FRESH=1 starts it
# again from the seeds alone), and crash inputs to build-fuzz/artifacts/<target>/. One fuzzer
# runs at a time, in one process. Prints, per target, the result, the executions, the coverage
# (cov, ft), libFuzzer's corpus (units/size) and the working folder's size. Exits 1 when any
# target found a crash, a time-out, a leak or ran out of memory, 2 when packages are missing
# and this is not root.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
BUILD=$ROOT/build-fuzz

SECONDS_PER_TARGET=${1:-60}
[ $# -gt 0 ] && shift
if ! [[ $SECONDS_PER_TARGET =~ ^[0-9]+$ ]] || [ "$SECONDS_PER_TARGET" -lt 1 ]; then
  echo "usage: scripts/fuzz.sh [SECONDS] [TARGET...]   (SECONDS: a positive integer)" >&2
  exit 2
fi

# One line per target (fuzz/CMakeLists.txt lists the same): its name and its longest input. A
# cache restore carries a 5087-byte image plus its headers, a GETBULK answer of 100 bindings is a
# few kilobytes, a scripted agent's answers are a few of those; a history
# folder holds a few records.
TARGET_TABLE="
fuzz_init_setting         4096
fuzz_response_datagram    8192
fuzz_varlist              4096
fuzz_load_from_cache      6144
fuzz_udp_peer             1024
fuzz_resolver_results     1024
fuzz_receive_path         8192
fuzz_device_file          4096
fuzz_history              16384
"
ALL_TARGETS=()
while read -r name _; do
  [ -n "$name" ] && ALL_TARGETS+=("$name")
done <<<"$TARGET_TABLE"
max_len() {
  awk -v t="$1" '$1 == t { print $2 }' <<<"$TARGET_TABLE"
}
if [ $# -gt 0 ]; then
  TARGETS=("$@")
  for t in "${TARGETS[@]}"; do
    if [[ ! " ${ALL_TARGETS[*]} " =~ " $t " ]]; then
      echo "unknown target: $t (known: ${ALL_TARGETS[*]})" >&2
      exit 2
    fi
  done
else
  TARGETS=("${ALL_TARGETS[@]}")
fi

# --- packages ------------------------------------------------------------------------------
PACKAGES=(clang libclang-rt-14-dev cmake make pkg-config libsnmp-dev libjsoncpp-dev
  libboost-date-time-dev)
# shellcheck source=scripts/packages.sh
. "$ROOT/scripts/packages.sh"
ensure_packages "${PACKAGES[@]}"

# --- build ---------------------------------------------------------------------------------
flags="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all"
flags+=" -fno-omit-frame-pointer -g -O1"
link="-fsanitize=address,undefined"
CC=clang CXX=clang++ cmake -S "$ROOT" -B "$BUILD" \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE= \
  -DQRM_BUILD_FUZZ=ON -DQRM_BUILD_TESTS=OFF -DQRM_BUILD_BENCH=OFF \
  -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" \
  -DCMAKE_EXE_LINKER_FLAGS="$link" -DCMAKE_SHARED_LINKER_FLAGS="$link" \
  -DCMAKE_MODULE_LINKER_FLAGS="$link" >/dev/null
cmake --build "$BUILD" --target fuzz_targets -j2

# --- run -----------------------------------------------------------------------------------
export ASAN_OPTIONS=${ASAN_OPTIONS:-halt_on_error=1:detect_leaks=1:abort_on_error=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}

mkdir -p "$BUILD/logs"
summary=()
failed=0
for t in "${TARGETS[@]}"; do
  seeds=$ROOT/fuzz/corpus/$t
  work=$BUILD/corpus-work/$t
  artifacts=$BUILD/artifacts/$t
  log=$BUILD/logs/$t.log
  [ "${QRM_FUZZ_FRESH:-0}" = 1 ] && rm -rf "$work"
  mkdir -p "$work" "$artifacts"
  [ -d "$seeds" ] && cp -n "$seeds"/* "$work"/ 2>/dev/null || true
  args=(-max_total_time="$SECONDS_PER_TARGET" -print_final_stats=1 -max_len="$(max_len "$t")"
    -timeout=30 -rss_limit_mb=2048 -artifact_prefix="$artifacts/")
  [ -f "$ROOT/fuzz/dict/$t.dict" ] && args+=(-dict="$ROOT/fuzz/dict/$t.dict")

  echo "== $t: ${SECONDS_PER_TARGET}s, corpus $(ls "$work" | wc -l) inputs (log: ${log#$ROOT/})"
  start=$(date +%s)
  rc=0
  "$BUILD/fuzz/$t" "${args[@]}" "$work" >"$log" 2>&1 || rc=$?
  elapsed=$(( $(date +%s) - start ))

  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  # The last status line carries the final coverage: "#N ... cov: C ft: F corp: U/S ...".
  status=$(grep -E '^#[0-9]+.*cov: ' "$log" | tail -1 || true)
  cov=$(sed -n 's/.*cov: \([0-9]*\).*/\1/p' <<<"$status")
  ft=$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$status")
  corp=$(sed -n 's/.* corp: \([0-9]*\/[0-9a-zA-Z]*\).*/\1/p' <<<"$status")
  files=$(find "$work" -type f | wc -l)
  bytes=$(du -sb "$work" | cut -f1)
  if [ $rc -eq 0 ]; then
    result=ok
  else
    failed=1
    what=$(grep -m1 -oE 'ERROR: (libFuzzer|AddressSanitizer|LeakSanitizer|UndefinedBehaviorSanitizer): [a-zA-Z_ -]+|runtime error: .*|invariant violated: .*' "$log" || true)
    input=$(sed -n 's/.*Test unit written to \(.*\)$/\1/p' "$log" | tail -1)
    result="FOUND (exit $rc): ${what:-see log}${input:+; input ${input#$ROOT/}}"
  fi
  line=$(printf '%-24s %5ss  execs %-10s exec/s %-7s cov %-5s ft %-6s corp %-10s dir %s files/%s B  %s' \
    "$t" "$elapsed" "${execs:-?}" "${rate:-?}" "${cov:-?}" "${ft:-?}" "${corp:-?}" "$files" "$bytes" \
    "$result")
  echo "$line"
  summary+=("$line")
done

echo
echo "== summary (${SECONDS_PER_TARGET}s per target)"
printf '%s\n' "${summary[@]}"
exit $failed
