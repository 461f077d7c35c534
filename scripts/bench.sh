#!/usr/bin/env bash
# Performance figures of the plug-in, ending with one summary block (figures, ratios, goals with
# PASS/MISS, and the command behind each) ready to paste into the README.
#
#   scripts/bench.sh            (./run bench calls it)
#
# 1. micro_bench: a round end, the alarm evaluation, storing a binding, whole walks against an
#    in-process simulator, destroying devices whose unit went dark (Google Benchmark; heap
#    allocations counted).
# 2. Whole process against net-snmp's own walker: snmpd serves the 1269-leaf unit as INTEGER
#    overrides on a free loopback port; one `qrmhost run --rounds 1` and one `snmpbulkwalk` of
#    the same subtree alternate (A B A B ...), and the medians are compared. Then the SNMPv3 walk
#    (authPriv, SHA and AES, max_repetitions 100) against the SNMPv2c one, same snmpd; SNMPv3
#    fleets: healthy devices beside a dark unit, 20 devices 20 ms away against SNMPv2c, dark
#    SNMPv3 devices destroyed.
# 3. Many devices in one host: memory per device (500 devices), 200 own-thread devices on
#    their 5-second schedule against one pdusim serving 200 unit addresses, and 1000 own-thread
#    devices with the fast walk (threads started, rounds, peak threads, descriptors and address
#    space), the fleets run by qrmhost's run command (fleet_bench threads).
# 2d and 4. CPU per exchange of the default walk, side by side for the plug-in, snmpbulkwalk
#    and a floor client that only sends, waits and receives (scripts/exchange_cpu.sh): one walk
#    against the same snmpd (with user-space instructions from callgrind and system calls from
#    strace), and 200 own-thread devices against one pdusim (with context switches).
#
# Everything runs on 127.0.0.1. The machine is shared: only ratios measured side by side in one
# run mean something, absolute times do not. Knobs (environment): QRM_BENCH_PAIRS (A/B pairs,
# default 21), QRM_BENCH_FLEET_SECONDS (seconds per fleet run, default 17 = three 5-second
# cycles and some slack; QRM_BENCH_V3_FLEET_SECONDS the same for the SNMPv3 fleets),
# QRM_BENCH_FLEET_LARGE (devices of the large fleet run, default 1000), QRM_BENCH_QRMHOST (the
# host command; when it is not there, the minimal host bench/walk_once stands in),
# QRM_BENCH_EXCHANGE_SECONDS (seconds of each 200-device run of section 4, default 12).
set -euo pipefail
# shellcheck source=scripts/pdusim_port.sh
. "$(dirname "${BASH_SOURCE[0]}")/pdusim_port.sh"
export LC_ALL=C
cd "$(dirname "$0")/.."
ROOT=$(pwd)
BUILD=$ROOT/build-bench
PAIRS=${QRM_BENCH_PAIRS:-21}
FLEET_SECONDS=${QRM_BENCH_FLEET_SECONDS:-17}
FLEET_DEVICES=200
FLEET_CYCLES=3
FLEET_LARGE=${QRM_BENCH_FLEET_LARGE:-1000}
MEMORY_DEVICES=500
COMMUNITY='Tormelix@2027q'
V3_USER=qrmbench  # an SNMPv3 user of the bench's snmpd: authPriv, SHA and AES
V3_AUTH=qrm-bench-auth-phrase
V3_PRIV=qrm-bench-priv-phrase
ADDRESS=1
SUBTREE=.1.3.6.1.4.1.61333.1.1.4.$ADDRESS

PACKAGES=(cmake make g++ pkg-config libsnmp-dev libjsoncpp-dev libboost-date-time-dev
  libbenchmark-dev snmp snmpd iproute2 strace valgrind)

die() {
  echo "bench: $*" >&2
  exit 1
}

# shellcheck source=scripts/packages.sh
. "$ROOT/scripts/packages.sh"

ensure_packages "${PACKAGES[@]}"
[ "$PAIRS" -ge 5 ] 2>/dev/null || die "QRM_BENCH_PAIRS must be at least 5"

echo "== building $BUILD (Release)"
cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DQRM_BUILD_BENCH=ON \
  -DQRM_BUILD_TESTS=OFF >/dev/null
cmake --build "$BUILD" -j2 >/dev/null

MICRO=$BUILD/bench/micro_bench
FLEET=$BUILD/bench/fleet_bench
WALK_ONCE=$BUILD/bench/walk_once
PDUSIM=$BUILD/sim/pdusim
PLUGIN=$BUILD/plugin/snmp_marluxa_ac_power.so
QRMHOST=${QRM_BENCH_QRMHOST:-$BUILD/tools/qrmhost/qrmhost}
for f in "$MICRO" "$FLEET" "$WALK_ONCE" "$PDUSIM" "$PLUGIN" "$BUILD/bench/exchange_cpu"; do
  [ -e "$f" ] || die "missing $f after the build"
done

# Inputs, logs and raw outputs of the last run, kept for a look afterwards.
WORK=$BUILD/bench-work
rm -rf "$WORK"
mkdir -p "$WORK"
SNMPD_PID=
PDUSIM_PID=
stop_children() {
  for pid in "$SNMPD_PID" "$PDUSIM_PID"; do
    [ -n "$pid" ] || continue
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  SNMPD_PID= PDUSIM_PID=
}
trap stop_children EXIT
echo "== work folder: $WORK"

START_LOAD=$(cut -d' ' -f1-3 /proc/loadavg)
SUMMARY=()
summary() { SUMMARY+=("$*"); }

# result FILE KEY: the value of "RESULT KEY VALUE" in FILE.
result() {
  local v
  v=$(awk -v k="$2" '$1 == "RESULT" && $2 == k { print $3; exit }' "$1")
  [ -n "$v" ] || die "no $2 in $1"
  echo "$v"
}
# fmt FORMAT VALUE...: printf through awk (up to 6 values), so values may be floats in any
# notation.
fmt() {
  local f=$1
  shift
  awk -v f="$f" 'BEGIN { printf f, ARGV[1], ARGV[2], ARGV[3], ARGV[4], ARGV[5], ARGV[6] }' "$@"
}
# verdict VALUE OP LIMIT: PASS or MISS (OP is <=, >= or ==).
verdict() { awk -v v="$1" -v op="$2" -v l="$3" 'BEGIN {
  if (op == "<=") ok = v + 0 <= l + 0; else if (op == ">=") ok = v + 0 >= l + 0; else ok = v + 0 == l + 0
  print ok ? "PASS" : "MISS" }'; }
# shellcheck source=scripts/exchange_cpu.sh
. "$ROOT/scripts/exchange_cpu.sh"

# ---------------------------------------------------------------------------------------------
echo "== 1. micro benchmarks"
MICRO_OUT=$WORK/micro.txt
"$MICRO" --benchmark_counters_tabular=true | tee "$MICRO_OUT"

r() { result "$MICRO_OUT" "$1"; }
CHECK_ALLOCS=$(r check_threshold_allocs_round)
REP100_EXCHANGES=$(r walk_rep100_exchanges_walk)
summary "-- micro, in-process, medians of 3 (cmd: build-bench/bench/micro_bench; thread CPU time, walks real time)"
summary "$(fmt '  RoundDone, frame mode 2, no observer:   %.1f us/round, %g allocs/round' \
  "$(r round_done_us)" "$(r round_done_allocs_round)")"
summary "$(fmt '  RunCheckThreshold alone (429 signals): %.1f us/round (%.0f ns/signal), %g allocs/round' \
  "$(r check_threshold_us)" "$(r check_threshold_ns_per_signal)" "$CHECK_ALLOCS")" \
  "  goal 0 allocs: $(verdict "$CHECK_ALLOCS" == 0)"
summary "$(fmt '  StoreBinding INTEGER / opaque float:    %.1f ns / %.1f ns, %g allocs' \
  "$(awk -v v="$(r store_integer_us)" 'BEGIN { print v * 1000 }')" \
  "$(awk -v v="$(r store_float_us)" 'BEGIN { print v * 1000 }')" \
  "$(r store_integer_allocs_binding)")"
summary "$(fmt '  walk, default request (in-process pdusim): %.1f ms/walk, %g exchanges,' \
  "$(awk -v v="$(r walk_default_us)" 'BEGIN { print v / 1000 }')" \
  "$(r walk_default_exchanges_walk)")$(fmt ' %.1f us/exchange, %.1f allocs/exchange' \
  "$(r walk_default_us_per_exchange)" "$(r walk_default_allocs_exchange)")"
summary "$(fmt '  walk, max_repetitions 100:                %.2f ms/walk, %g exchanges,' \
  "$(awk -v v="$(r walk_rep100_us)" 'BEGIN { print v / 1000 }')" \
  "$REP100_EXCHANGES")$(fmt ' %.0f us/exchange, %.0f allocs/exchange' \
  "$(r walk_rep100_us_per_exchange)" "$(r walk_rep100_allocs_exchange)")"
summary "  exchanges per walk with max_repetitions 100 (simulator's request counter): $REP100_EXCHANGES" \
  "  goal <= 14: $(verdict "$REP100_EXCHANGES" "<=" 14)"
DESTROY_MS=$(awk -v v="$(r destroy_dark_1_us)" 'BEGIN { print v / 1000 }')
summary "$(fmt '  destroying an own-thread device whose unit went dark (10 s x 2 attempts, request in flight): %.2f ms;' \
  "$DESTROY_MS")$(fmt ' 50 such devices one after another: %.1f ms (%.3f ms each)' \
  "$(awk -v v="$(r destroy_dark_50_us)" 'BEGIN { print v / 1000 }')" \
  "$(awk -v v="$(r destroy_dark_50_us_per_device)" 'BEGIN { print v / 1000 }')")" \
  "  goal <= 100 ms: $(verdict "$DESTROY_MS" "<=" 100)"

# ---------------------------------------------------------------------------------------------
echo "== 2. whole process against snmpbulkwalk (snmpd on loopback)"

# A UDP port on 127.0.0.1 that nothing listens on right now.
free_udp_port() {
  local port
  for _ in $(seq 1 50); do
    port=$((20000 + RANDOM % 30000))
    if [ -z "$(ss -Hlun "sport = :$port" 2>/dev/null)" ]; then
      echo "$port"
      return 0
    fi
  done
  return 1
}

# snmpd configuration: the community, everything visible, no log line per request (that would
# be a file write per exchange in the agent), one INTEGER override per leaf of the
# simulator's unit. Non-INTEGER leaves become INTEGERs (numbers as they are, opaque floats
# rounded to the nearest integer), since snmpd's override serves no floats.
"$PDUSIM" --dump-snmprec --addresses "$ADDRESS" >"$WORK/unit.snmprec"
{
  echo "rocommunity $COMMUNITY 127.0.0.1"
  echo "view all included .1"
  echo "dontLogTCPWrappersConnects yes"  # no log line per request
  echo "createUser $V3_USER SHA $V3_AUTH AES $V3_PRIV"
  echo "rouser $V3_USER priv"
  awk -F'|' '
    function hexval(s,   i, v) { v = 0; s = tolower(s)
      for (i = 1; i <= length(s); i++) v = v * 16 + index("0123456789abcdef", substr(s, i, 1)) - 1
      return v }
    function ieee(bits,   sign, e, m) { sign = 1
      if (bits >= 2147483648) { sign = -1; bits -= 2147483648 }
      e = int(bits / 8388608); m = bits - e * 8388608
      if (e == 0) return sign * m / 8388608 * 2 ^ -126
      return sign * (1 + m / 8388608) * 2 ^ (e - 127) }
    function nearest(v) { return v < 0 ? -int(-v + 0.5) : int(v + 0.5) }
    /^[0-9.]+\|/ {
      if ($2 == "2" || $2 == "65" || $2 == "66" || $2 == "67") v = $3
      else if ($2 == "68x" && substr($3, 1, 6) == "9f7804") v = nearest(ieee(hexval(substr($3, 7, 8))))
      else v = 0
      printf "override .%s integer %d\n", $1, v }' "$WORK/unit.snmprec"
} >"$WORK/snmpd.conf"
LEAVES=$(grep -c '^override' "$WORK/snmpd.conf")

SNMPD_PORT=
for _ in 1 2 3; do
  port=$(free_udp_port) || die "no free UDP port found"
  SNMP_PERSISTENT_DIR=$WORK/snmpd-state snmpd -f -Lf "$WORK/snmpd.log" -C -c "$WORK/snmpd.conf" \
    -p "$WORK/snmpd.pid" "udp:127.0.0.1:$port" &
  SNMPD_PID=$!
  for _ in $(seq 1 50); do
    if snmpget -v2c -c "$COMMUNITY" -t 0.2 -r 0 "127.0.0.1:$port" "$SUBTREE.1.0" \
      >/dev/null 2>&1; then
      SNMPD_PORT=$port
      break 2
    fi
    kill -0 "$SNMPD_PID" 2>/dev/null || break
    sleep 0.1
  done
  kill "$SNMPD_PID" 2>/dev/null || true
  wait "$SNMPD_PID" 2>/dev/null || true
  SNMPD_PID=
done
[ -n "$SNMPD_PORT" ] || { tail -5 "$WORK/snmpd.log" >&2; die "snmpd did not start"; }
echo "snmpd (pid $SNMPD_PID) serves $LEAVES overrides on 127.0.0.1:$SNMPD_PORT"

V3_SETTINGS="\"snmp_version\": 3, \"username\": \"$V3_USER\", \"password\": \"$V3_AUTH\", \"priv_password\": \"$V3_PRIV\""
device_file() {  # device_file FILE [max_repetitions [more appSetting members]]
  local extra=
  [ -n "${2:-}" ] && extra=", \"max_repetitions\": $2"
  [ -n "${3:-}" ] && extra="$extra, $3"
  cat >"$1" <<JSON
{"id": 1, "ip": "127.0.0.1:$SNMPD_PORT", "address": $ADDRESS,
 "appSetting": {"use_thread": 0, "b_mode": 2$extra}}
JSON
}
device_file "$WORK/device.json"
device_file "$WORK/device-rep100.json" 100
device_file "$WORK/device-v3-rep100.json" 100 "$V3_SETTINGS"

# The plug-in in the least host that loads it: no host threads, no summaries, no signal watcher.
once_default() { "$WALK_ONCE" --plugin "$PLUGIN" --port "$SNMPD_PORT" --address "$ADDRESS"; }
once_rep100() { "$WALK_ONCE" --plugin "$PLUGIN" --port "$SNMPD_PORT" --address "$ADDRESS" \
  --max-repetitions 100 "$@"; }
once_v3_rep100() { "$WALK_ONCE" --plugin "$PLUGIN" --port "$SNMPD_PORT" --address "$ADDRESS" \
  --max-repetitions 100 --settings "$V3_SETTINGS" "$@"; }
ONCE_CMD="bench/walk_once --port PORT --address $ADDRESS"
if [ -x "$QRMHOST" ]; then
  HOST_NAME=qrmhost
  host_default() { "$QRMHOST" run --plugin "$PLUGIN" --config "$WORK/device.json" --rounds 1 \
    --interval 0 --timeout 60; }
  host_rep100() { "$QRMHOST" run --plugin "$PLUGIN" --config "$WORK/device-rep100.json" \
    --rounds 1 --interval 0 --timeout 60; }
  host_v3_rep100() { "$QRMHOST" run --plugin "$PLUGIN" --config "$WORK/device-v3-rep100.json" \
    --rounds 1 --interval 0 --timeout 60; }
  HOST_CMD="qrmhost run --plugin snmp_marluxa_ac_power.so --config DEVICE.json --rounds 1 --interval 0 --timeout 60"
else
  # qrmhost is not built in this tree: the least host that loads the plug-in stands in.
  HOST_NAME=walk_once
  host_default() { once_default; }
  host_rep100() { once_rep100; }
  host_v3_rep100() { once_v3_rep100; }
  HOST_CMD=$ONCE_CMD
fi
walker_default() { snmpbulkwalk -v2c -c "$COMMUNITY" -Cn1 -Cr100 "127.0.0.1:$SNMPD_PORT" "$SUBTREE"; }
walker_rep100() { snmpbulkwalk -v2c -c "$COMMUNITY" -Cr100 "127.0.0.1:$SNMPD_PORT" "$SUBTREE"; }
walker_v3_rep100() { snmpbulkwalk -v3 -u "$V3_USER" -l authPriv -a SHA -A "$V3_AUTH" -x AES \
  -X "$V3_PRIV" -Cr100 "127.0.0.1:$SNMPD_PORT" "$SUBTREE"; }

# Both sides must really walk the unit before their times mean anything.
WALKED=$(walker_default 2>/dev/null | grep -c "^iso.3.6.1.4.1.61333.1.1.4.$ADDRESS\." || true)
[ "$WALKED" -eq "$LEAVES" ] || die "snmpbulkwalk saw $WALKED of $LEAVES leaves"
WALKED=$(walker_v3_rep100 2>/dev/null | grep -c "^iso.3.6.1.4.1.61333.1.1.4.$ADDRESS\." || true)
[ "$WALKED" -eq "$LEAVES" ] || die "snmpbulkwalk -v3 saw $WALKED of $LEAVES leaves"
for reps in 0 100; do
  "$WALK_ONCE" --plugin "$PLUGIN" --port "$SNMPD_PORT" --address "$ADDRESS" \
    --max-repetitions "$reps" --check 1 >"$WORK/check.log" 2>&1 ||
    die "walk_once did not walk the unit, see $WORK/check.log"
done
"$WALK_ONCE" --plugin "$PLUGIN" --port "$SNMPD_PORT" --address "$ADDRESS" --max-repetitions 100 \
  --settings "$V3_SETTINGS" --check 1 >"$WORK/check.log" 2>&1 ||
  die "walk_once did not walk the unit with SNMPv3, see $WORK/check.log"
if [ "$HOST_NAME" = qrmhost ]; then
  for f in device.json device-rep100.json device-v3-rep100.json; do
    rm -rf "$WORK/history"
    "$QRMHOST" run --plugin "$PLUGIN" --config "$WORK/$f" --rounds 1 --interval 0 --timeout 60 \
      --history "$WORK/history" >"$WORK/check.log" 2>&1 || die "qrmhost failed, see $WORK/check.log"
    # Slot 2 (offset 8) holds the unit's address, 1.0f = 00 00 80 3f; slot 1269 (offset 5076)
    # the last leaf (0), so a walk that stopped early still shows in slot 2 at least.
    slot2=$(od -An -tx1 -j8 -N4 "$WORK/history/1.rec" | tr -d ' ' || true)
    [ "$slot2" = 0000803f ] || die "$f: the walk did not store leaf 2 (slot 2 = $slot2)"
  done
fi

# measure CMD: runs CMD quietly; prints its wall time in microseconds and its CPU time (user +
# system, milliseconds); fails when CMD fails.
measure() {
  local t0 t1 TIMEFORMAT='%3U %3S'
  t0=${EPOCHREALTIME/./}
  { time "$@" >/dev/null 2>&1; } 2>"$WORK/cpu.txt" || return 1
  t1=${EPOCHREALTIME/./}
  echo "$((t1 - t0)) $(awk '{ printf "%.0f", ($1 + $2) * 1000 }' "$WORK/cpu.txt")"
}
median() { printf '%s\n' "$@" | sort -n | awk '{ a[NR] = $1 }
  END { print (NR % 2) ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2 }'; }

# pairs A B: one warm-up of each, then PAIRS times A then B. Sets MED_A, MED_B (wall seconds,
# medians), RATIO (the median of the pairs' own ratios A/B), MED_RATIO (MED_A / MED_B), CPU_A,
# CPU_B (CPU milliseconds, medians). RATIO is the figure the goals judge: the load of this shared
# machine comes in phases of seconds, which slow both members of a pair alike but can put most
# of one side's runs and few of the other's into a slow phase, and then the ratio of the medians
# says more about the phases than about the programs.
pairs() {
  local a=$1 b=$2 i ma mb
  local -a wall_a=() wall_b=() cpu_a=() cpu_b=() ratios=()
  "$a" >/dev/null 2>&1 || die "$a failed"
  "$b" >/dev/null 2>&1 || die "$b failed"
  for ((i = 0; i < PAIRS; i++)); do
    ma=$(measure "$a") || die "$a failed"
    mb=$(measure "$b") || die "$b failed"
    wall_a+=("${ma% *}") cpu_a+=("${ma#* }")
    wall_b+=("${mb% *}") cpu_b+=("${mb#* }")
    ratios+=("$(awk -v a="${ma% *}" -v b="${mb% *}" 'BEGIN { printf "%.4f", a / b }')")
  done
  echo "$a wall (us): ${wall_a[*]}; CPU (ms): ${cpu_a[*]}"
  echo "$b wall (us): ${wall_b[*]}; CPU (ms): ${cpu_b[*]}"
  MED_A=$(awk -v v="$(median "${wall_a[@]}")" 'BEGIN { printf "%.4f", v / 1e6 }')
  MED_B=$(awk -v v="$(median "${wall_b[@]}")" 'BEGIN { printf "%.4f", v / 1e6 }')
  MED_RATIO=$(awk -v a="$MED_A" -v b="$MED_B" 'BEGIN { printf "%.2f", a / b }')
  RATIO=$(awk -v v="$(median "${ratios[@]}")" 'BEGIN { printf "%.2f", v }')
  CPU_A=$(median "${cpu_a[@]}")
  CPU_B=$(median "${cpu_b[@]}")
}

# once_pairs A B: with qrmhost as the host, the same comparison for the plug-in in walk_once,
# which tells the plug-in's share from the host command's (informational, no goal).
once_pairs() {
  [ "$HOST_NAME" = qrmhost ] || return 0
  pairs "$1" "$2"
  summary "    for reference, C = $ONCE_CMD${3:-} against B in its own $PAIRS pairs:"
  summary "      wall medians C $MED_A s, B $MED_B s; ratio C/B (median of pairs) $RATIO, of the medians $MED_RATIO; CPU C $CPU_A ms, B $CPU_B ms"
}

pairs host_default walker_default
summary "-- whole process vs net-snmp's walker: snmpd, $LEAVES INTEGER leaves, $PAIRS pairs A B A B, medians"
summary "  default request (non-repeaters 1, max-repetitions 100: 1270 exchanges)"
summary "    A: $HOST_CMD  (device: use_thread 0, b_mode 2)"
summary "    B: snmpbulkwalk -v2c -c COMMUNITY -Cn1 -Cr100 127.0.0.1:PORT $SUBTREE"
summary "    wall medians A $MED_A s, B $MED_B s; ratio A/B (median of the $PAIRS pairs' ratios) $RATIO  goal <= 1.0: $(verdict "$RATIO" "<=" 1.0)"
summary "    ratio of the two medians $MED_RATIO; CPU (user+sys) medians A $CPU_A ms, B $CPU_B ms"
once_pairs once_default walker_default
pairs host_rep100 walker_rep100
summary "  max_repetitions 100 (non-repeaters 0)"
summary "    A: the same with \"max_repetitions\": 100 in appSetting"
summary "    B: snmpbulkwalk -v2c -c COMMUNITY -Cr100 127.0.0.1:PORT $SUBTREE"
summary "    wall medians A $MED_A s, B $MED_B s; ratio A/B (median of the $PAIRS pairs' ratios) $RATIO  goal <= 1.2: $(verdict "$RATIO" "<=" 1.2)"
summary "    ratio of the two medians $MED_RATIO; CPU (user+sys) medians A $CPU_A ms, B $CPU_B ms"
once_pairs once_rep100 walker_rep100 " --max-repetitions 100"
# walk_us CMD...: the mean walk time (microseconds) that walk_once reports.
walk_us() {
  local v
  v=$("$@" 2>/dev/null | awk '$1 == "RESULT" && $2 == "walk_us" { print $3 }')
  [ -n "$v" ] || return 1
  echo "$v"
}
# walk_pairs A B: like pairs, on the walk times the commands report (process start, loading and
# configuration excluded). Sets MED_A, MED_B (milliseconds), RATIO, MED_RATIO.
walk_pairs() {
  local a=$1 b=$2 i ta tb
  local -a walk_a=() walk_b=() ratios=()
  walk_us "$a" >/dev/null || die "$a failed"
  walk_us "$b" >/dev/null || die "$b failed"
  for ((i = 0; i < PAIRS; i++)); do
    ta=$(walk_us "$a") || die "$a failed"
    tb=$(walk_us "$b") || die "$b failed"
    walk_a+=("$ta") walk_b+=("$tb")
    ratios+=("$(awk -v a="$ta" -v b="$tb" 'BEGIN { printf "%.4f", a / b }')")
  done
  echo "$a walk (us): ${walk_a[*]}"
  echo "$b walk (us): ${walk_b[*]}"
  MED_A=$(awk -v v="$(median "${walk_a[@]}")" 'BEGIN { printf "%.2f", v / 1e3 }')
  MED_B=$(awk -v v="$(median "${walk_b[@]}")" 'BEGIN { printf "%.2f", v / 1e3 }')
  MED_RATIO=$(awk -v a="$MED_A" -v b="$MED_B" 'BEGIN { printf "%.2f", a / b }')
  RATIO=$(awk -v v="$(median "${ratios[@]}")" 'BEGIN { printf "%.2f", v }')
}
V3_WALKS=10
walks_v3_rep100() { once_v3_rep100 --walks "$V3_WALKS"; }
walks_rep100() { once_rep100 --walks "$V3_WALKS"; }
walk_pairs walks_v3_rep100 walks_rep100
summary "-- SNMPv3 vs SNMPv2c walks: the same snmpd, max_repetitions 100, $PAIRS pairs A B A B, medians"
summary "    A: $ONCE_CMD --max-repetitions 100 --walks $V3_WALKS --settings SNMPV3 (snmp_version 3, authPriv, SHA, AES)"
summary "    B: the same without --settings (SNMPv2c); each figure is the mean of $V3_WALKS walks after the configuration"
summary "    walk medians A $MED_A ms, B $MED_B ms; ratio A/B (median of the $PAIRS pairs' ratios) $RATIO  goal <= 1.3: $(verdict "$RATIO" "<=" 1.3)"
summary "    ratio of the two medians $MED_RATIO"
pairs host_v3_rep100 host_rep100
summary "    for reference, whole processes of one round ($HOST_NAME), which include deriving the two keys from the pass phrases:"
summary "      wall medians A $MED_A s, B $MED_B s; ratio (median of pairs) $RATIO, of the medians $MED_RATIO; CPU A $CPU_A ms, B $CPU_B ms"
pairs walker_v3_rep100 walker_rep100
summary "    for reference, net-snmp's own walker, snmpbulkwalk -v3 -l authPriv -a SHA -x AES -Cr100 against -v2c -Cr100:"
summary "      wall medians A $MED_A s, B $MED_B s; ratio (median of pairs) $RATIO, of the medians $MED_RATIO; CPU A $CPU_A ms, B $CPU_B ms"

# ---------------------------------------------------------------------------------------------
echo "== 2c. SNMPv3 fleets against the same snmpd: dark units, units 20 ms away, stopping"
# Own-thread devices (authPriv, SHA, AES, max_repetitions 100) on their 5-second schedule, all
# walking unit $ADDRESS, for V3_FLEET_SECONDS each run; a device's cycle is the time between two
# of its rounds. The dark unit never answers (discovery: 2 attempts of 10 s, the defaults).
V3_FLEET_SECONDS=${QRM_BENCH_V3_FLEET_SECONDS:-17}
v3_fleet() {  # v3_fleet OUT [fleet_bench threads options...]
  local out=$1
  shift
  "$FLEET" threads --plugin "$PLUGIN" --port "$SNMPD_PORT" --address "$ADDRESS" \
    --seconds "$V3_FLEET_SECONDS" --cycles 3 --max-repetitions 100 "$@" | tee "$out"
}
v3_fleet "$WORK/v3-healthy.txt" --devices 5 --settings "$V3_SETTINGS"
v3_fleet "$WORK/v3-dark.txt" --devices 5 --dark 1 --settings "$V3_SETTINGS"
h() { result "$WORK/v3-healthy.txt" "$1"; }
d() { result "$WORK/v3-dark.txt" "$1"; }
DARK_RATIO=$(awk -v a="$(d threads_period_median_s)" -v b="$(h threads_period_median_s)" 'BEGIN { printf "%.3f", a / b }')
DARK_MAX_RATIO=$(awk -v a="$(d threads_period_max_s)" -v b="$(h threads_period_max_s)" 'BEGIN { printf "%.3f", a / b }')
summary "-- SNMPv3 fleets (cmd: bench/fleet_bench threads --port SNMPD --address $ADDRESS --max-repetitions 100 --seconds $V3_FLEET_SECONDS --settings SNMPV3 ...)"
summary "$(fmt '  5 healthy devices alone: cycle median %.2f s, max %.2f s; beside 1 dark unit (--dark 1): median %.2f s, max %.2f s' \
  "$(h threads_period_median_s)" "$(h threads_period_max_s)" "$(d threads_period_median_s)" "$(d threads_period_max_s)")"
summary "    cycle beside the dark unit / alone: median $DARK_RATIO, max $DARK_MAX_RATIO  goal <= 1.1: $(verdict "$DARK_RATIO" "<=" 1.1) (max $(verdict "$DARK_MAX_RATIO" "<=" 1.1))"
v3_fleet "$WORK/v3-far.txt" --devices 20 --delay-ms 10 --settings "$V3_SETTINGS"
v3_fleet "$WORK/v2c-far.txt" --devices 20 --delay-ms 10
f3() { result "$WORK/v3-far.txt" "$1"; }
f2() { result "$WORK/v2c-far.txt" "$1"; }
FAR_RATIO=$(awk -v a="$(f3 threads_period_median_s)" -v b="$(f2 threads_period_median_s)" 'BEGIN { printf "%.3f", a / b }')
FAR_MAX_RATIO=$(awk -v a="$(f3 threads_period_max_s)" -v b="$(f2 threads_period_max_s)" 'BEGIN { printf "%.3f", a / b }')
summary "$(fmt '  20 devices through a relay holding each datagram 10 ms each way (20 ms round trips, --delay-ms 10): SNMPv3 cycle median %.2f s, max %.2f s; SNMPv2c median %.2f s, max %.2f s' \
  "$(f3 threads_period_median_s)" "$(f3 threads_period_max_s)" "$(f2 threads_period_median_s)" "$(f2 threads_period_max_s)")"
summary "    SNMPv3 / SNMPv2c cycle: median $FAR_RATIO, max $FAR_MAX_RATIO  goal <= 1.2: $(verdict "$FAR_RATIO" "<=" 1.2) (max $(verdict "$FAR_MAX_RATIO" "<=" 1.2)); rounds per device min $(f3 threads_rounds_min) / $(f2 threads_rounds_min)"
"$FLEET" destroy --plugin "$PLUGIN" --devices 10 --settings "$V3_SETTINGS" | tee "$WORK/v3-destroy.txt"
"$FLEET" destroy --plugin "$PLUGIN" --devices 10 | tee "$WORK/v2c-destroy.txt"
DESTROY_V3=$(result "$WORK/v3-destroy.txt" destroy_ms_per_device)
summary "$(fmt '  10 dark own-thread devices destroyed together, each in its first request (cmd: bench/fleet_bench destroy --devices 10 [--settings SNMPV3]): SNMPv3 %.3f ms per device, SNMPv2c %.3f ms' \
  "$DESTROY_V3" "$(result "$WORK/v2c-destroy.txt" destroy_ms_per_device)")  goal <= 100 ms: $(verdict "$DESTROY_V3" "<=" 100)"

# ---------------------------------------------------------------------------------------------
echo "== 2d. CPU per exchange of one default walk: the plug-in, snmpbulkwalk, the floor client"
# Unit 2 has no leaf in the bench's snmpd: a walk of it is the empty walk each figure subtracts.
exchange_cpu_one_walk "$SNMPD_PORT" "$ADDRESS" 2
stop_children

# ---------------------------------------------------------------------------------------------
echo "== 3a. memory per device ($MEMORY_DEVICES host-driven devices)"
MEM_OUT=$WORK/memory.txt
"$FLEET" memory --devices "$MEMORY_DEVICES" --plugin "$PLUGIN" | tee "$MEM_OUT"
m() { result "$MEM_OUT" "$1"; }
BEYOND=$(m memory_beyond_record_bytes)
summary "-- many devices per host (cmd: bench/fleet_bench memory --devices $MEMORY_DEVICES; the real .so via get_providers)"
summary "$(fmt '  %d host-driven devices created and configured: VmRSS %d -> %d KiB' \
  "$(m memory_devices)" "$(m memory_rss_before_kib)" "$(m memory_rss_configured_kib)")"
summary "$(fmt '    per device %.0f bytes = record %d + %.0f bytes beyond it' "$(m memory_per_device_bytes)" \
  "$(m memory_record_bytes)" "$BEYOND")  goal <= 65536 beyond the record: $(verdict "$BEYOND" "<=" 65536)"
AFTER_ROUND=$(m memory_beyond_record_after_round_bytes)
summary "$(fmt '    after one round each (incl. the reference host keeping 429 signal states per device): %.0f bytes beyond the record' \
  "$AFTER_ROUND")  (<= 65536: $(verdict "$AFTER_ROUND" "<=" 65536))"

# ---------------------------------------------------------------------------------------------
echo "== 3b. $FLEET_DEVICES own-thread devices against one pdusim, ${FLEET_SECONDS} s"
: >"$WORK/pdusim.log"
"$PDUSIM" --port 0 --addresses "1-$FLEET_DEVICES" >"$WORK/pdusim.log" 2>&1 &
PDUSIM_PID=$!
PDUSIM_PORT=$(pdusim_port "$WORK/pdusim.log" "$PDUSIM_PID")
[ -n "$PDUSIM_PORT" ] || { cat "$WORK/pdusim.log" >&2; die "pdusim did not start"; }

summary "-- $FLEET_DEVICES own-thread devices (use_thread 1, b_mode 2), unit addresses 1-$FLEET_DEVICES, one pdusim process, ${FLEET_SECONDS} s = $FLEET_CYCLES cycles of 5 s + slack"
summary "   (cmd: pdusim --addresses 1-$FLEET_DEVICES; bench/fleet_bench threads --port PORT --devices $FLEET_DEVICES --seconds $FLEET_SECONDS --agent-pid PID [--max-repetitions 100]: qrmhost's run command)"
for reps in 0 100; do
  out=$WORK/threads-$reps.txt
  extra=()
  [ "$reps" -gt 0 ] && extra=(--max-repetitions "$reps")
  "$FLEET" threads --plugin "$PLUGIN" --port "$PDUSIM_PORT" --devices "$FLEET_DEVICES" \
    --seconds "$FLEET_SECONDS" --cycles "$FLEET_CYCLES" --agent-pid "$PDUSIM_PID" "${extra[@]}" | tee "$out"
  t() { result "$out" "$1"; }
  label="default request"
  [ "$reps" -gt 0 ] && label="max_repetitions $reps"
  rounds_min=$(t threads_rounds_min)
  summary "  $label:"
  summary "$(fmt '    rounds per device: min %d, max %d (%d walks in %.1f s)' "$rounds_min" \
    "$(t threads_rounds_max)" "$(t threads_walks)" "$(t threads_wall_s)")"
  summary "$(fmt '    period between rounds of a device: median %.2f s, max %.2f s; first round ended by %.2f s (median), %.2f s (last device)' \
    "$(t threads_period_median_s)" "$(t threads_period_max_s)" \
    "$(t threads_first_round_median_s)" "$(t threads_first_round_max_s)")"
  summary "$(fmt '    CPU per walk %.2f ms (process CPU %.2f s / walks); device threads use %.1f%% of %d cores; pdusim %.0f%% of one core' \
    "$(t threads_cpu_ms_per_walk)" "$(t threads_cpu_s)" \
    "$(awk -v v="$(t threads_cpu_share)" 'BEGIN { print v * 100 }')" "$(t threads_cores)" \
    "$(awk -v v="$(t threads_agent_cpu_share_of_one_core)" 'BEGIN { print v * 100 }')")"
  per_walk=$(r walk_default_exchanges_walk)
  [ "$reps" -gt 0 ] && per_walk=$REP100_EXCHANGES
  summary "$(awk -v w="$(t threads_walks)" -v e="$per_walk" -v s="$(t threads_wall_s)" \
    -v c="$(t threads_cpu_s)" -v a="$(t threads_agent_cpu_share_of_one_core)" 'BEGIN { x = w * e
      printf "    ~%.0f exchanges/s (%d walks x %d exchanges); CPU per exchange ~%.1f us in the devices, ~%.1f us in pdusim", x / s, w, e, c * 1e6 / x, a * s * 1e6 / x }')"
  summary "$(fmt '    failed exchanges (timeouts after the retry) %d; UDP datagrams dropped for a full receive buffer (system-wide) %d, %d of them in the first 2 s' \
    "$(t threads_timeouts)" "$(t threads_udp_rcvbuf_drops)" "$(t threads_udp_rcvbuf_drops_first_2s)")"
  summary "    every device walks in each of $FLEET_CYCLES cycles (>= $FLEET_CYCLES rounds each; $(t threads_devices_short_of_cycles) of $FLEET_DEVICES devices short): $(verdict "$rounds_min" ">=" "$FLEET_CYCLES")"
  summary "$(fmt '    qrmhost process: peak %d threads (devices + %d); address space %.0f MiB before the run, %.0f MiB at most: %.2f MiB per device' \
    "$(t threads_peak_threads)" "$(awk -v a="$(t threads_peak_threads)" -v n="$FLEET_DEVICES" 'BEGIN { print a - n }')" \
    "$(t threads_address_space_before_mib)" "$(t threads_address_space_peak_mib)" \
    "$(t threads_address_space_mib_per_device)")"
done
summary "    (address space: a 64-bit glibc reserves 64 MiB per malloc arena, up to 8 arenas per core, whatever the"
summary "     devices; the goal of at most 2 MiB per device in 3 GiB is checked on armhf, where an arena is 1 MiB, by ./run cross-test)"

# ---------------------------------------------------------------------------------------------
# Frame mode 1: in mode 2 the reference host's signal states sit behind one process-wide lock,
# which 1000 rounds of 429 reports at once queue on for seconds (the plug-in is not what waits).
echo "== 3c. $FLEET_LARGE own-thread devices, max_repetitions 100, against the same pdusim"
out=$WORK/threads-large.txt
"$FLEET" threads --plugin "$PLUGIN" --port "$PDUSIM_PORT" --devices "$FLEET_LARGE" \
  --units "$FLEET_DEVICES" --seconds "$FLEET_SECONDS" --cycles "$FLEET_CYCLES" \
  --max-repetitions 100 --mode 1 --agent-pid "$PDUSIM_PID" | tee "$out"
t() { result "$out" "$1"; }
summary "-- $FLEET_LARGE own-thread devices in one process (use_thread 1, b_mode 1, max_repetitions 100), unit addresses 1-$FLEET_DEVICES shared, one pdusim, ${FLEET_SECONDS} s"
summary "   (cmd: bench/fleet_bench threads --port PORT --devices $FLEET_LARGE --units $FLEET_DEVICES --seconds $FLEET_SECONDS --max-repetitions 100 --mode 1: qrmhost's run command)"
summary "$(fmt '    sampling threads started %d of %d; rounds per device min %d, max %d (%d rounds published)' \
  "$(t threads_started)" "$(t threads_devices)" "$(t threads_rounds_min)" "$(t threads_rounds_max)" \
  "$(t threads_walks)")"
summary "$(fmt '    rounds failed %d; failed exchanges (time-outs) %d' "$(t threads_rounds_failed)" \
  "$(t threads_timeouts)")"
summary "$(fmt '    peak %d threads, %d descriptors (descriptor limit %d); %.2f MiB of address space per device;' \
  "$(t threads_peak_threads)" "$(t threads_peak_descriptors)" "$(t threads_descriptor_limit)" \
  "$(t threads_address_space_mib_per_device)")$(fmt ' CPU per walk %.2f ms, %.1f%% of %d cores' \
  "$(t threads_cpu_ms_per_walk)" "$(awk -v v="$(t threads_cpu_share)" 'BEGIN { print v * 100 }')" \
  "$(t threads_cores)")"
summary "    every device publishes in each of $FLEET_CYCLES cycles ($(t threads_devices_short_of_cycles) of $FLEET_LARGE devices short): $(verdict "$(t threads_rounds_min)" ">=" "$FLEET_CYCLES")"
stop_children

# ---------------------------------------------------------------------------------------------
echo "== 4. CPU and context switches per exchange at $FLEET_DEVICES own-thread devices"
exchange_cpu_fleet "$FLEET_DEVICES" "${QRM_BENCH_EXCHANGE_SECONDS:-12}" 2
stop_children

# ---------------------------------------------------------------------------------------------
echo
echo "================================ bench summary ================================"
echo "$(date -u '+%Y-%m-%d %H:%M UTC'); $(nproc) cores; load average at start $START_LOAD;"
echo "build-bench Release; $(snmpd -v 2>/dev/null | awk '/version/ { print "net-snmp " $NF; exit }'); host: $HOST_NAME; scripts/bench.sh"
for line in "${SUMMARY[@]}"; do echo "$line"; done
echo "==============================================================================="
