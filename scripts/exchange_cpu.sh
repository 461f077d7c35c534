# shellcheck shell=bash
# Sourced by scripts/bench.sh: CPU per exchange of the default walk (non-repeaters 1,
# max-repetitions 100: one leaf per exchange) for three clients of the same agent, side by side:
#   P  the plug-in (bench/walk_once for one walk; own-thread devices in bench/exchange_cpu),
#   B  net-snmp's walker, snmpbulkwalk -v2c -Cn1 -Cr100,
#   F  the floor client of bench/exchange_cpu (sendto / poll / recvfrom of the same request
#      bytes, nothing else): what the kernel costs per exchange.
# The functions use bench.sh's helpers (summary, result, fmt, verdict, median, die) and
# variables (BUILD, WORK, PAIRS, COMMUNITY, PLUGIN, WALK_ONCE, PDUSIM, LEAVES).

EXCHANGE_CPU=$BUILD/bench/exchange_cpu
UNIT_ROOT=.1.3.6.1.4.1.61333.1.1.4

# cpu_run CMD...: user + system CPU of CMD in microseconds (its standard output discarded).
cpu_run() { "$EXCHANGE_CPU" run -- "$@" | awk '$2 == "cpu_us" { print $3 }'; }

# One walk against the bench's snmpd at PORT (unit ADDRESS holds LEAVES leaves; unit
# EMPTY holds none). Each figure is marginal: a full walk of the unit minus a walk of the
# empty unit (one exchange; two for snmpbulkwalk, which then asks for the root itself), over
# the difference in exchanges, so that process start-up, library set-up and the round end count
# for none of the three.
#   exchange_cpu_one_walk PORT ADDRESS EMPTY
exchange_cpu_one_walk() {
  local port=$1 unit=$2 empty=$3 i
  local -a p_full=(--plugin "$PLUGIN" --port "$port" --address "$unit")
  local -a p_empty=(--plugin "$PLUGIN" --port "$port" --address "$empty")
  local -a b_args=(-v2c -c "$COMMUNITY" -Cn1 -Cr100 "127.0.0.1:$port")
  local full=$((LEAVES + 1))
  local out=$WORK/exchange-cpu-one-walk.txt
  : >"$out"

  # System calls and exchanges (datagrams sent) per walk, from strace; user-space
  # instructions from callgrind. Both are repeatable whatever the machine's load.
  local -a names=(P B F)
  local -a full_cmds empty_cmds
  full_cmds=("$WALK_ONCE ${p_full[*]}" "snmpbulkwalk ${b_args[*]} $UNIT_ROOT.$unit"
    "$EXCHANGE_CPU floor --port $port --address $unit")
  empty_cmds=("$WALK_ONCE ${p_empty[*]}" "snmpbulkwalk ${b_args[*]} $UNIT_ROOT.$empty"
    "$EXCHANGE_CPU floor --port $port --address $empty")
  local -A calls_line instr sends_full sends_empty
  for i in 0 1 2; do
    local n=${names[$i]} f e
    # shellcheck disable=SC2086  # the commands hold no spaces inside their words
    strace -f -c -o "$WORK/strace-$n-full.txt" ${full_cmds[$i]} >/dev/null 2>&1 ||
      die "strace of ${full_cmds[$i]} failed"
    # shellcheck disable=SC2086
    strace -f -c -o "$WORK/strace-$n-empty.txt" ${empty_cmds[$i]} >/dev/null 2>&1 ||
      die "strace of ${empty_cmds[$i]} failed"
    sends_full[$n]=$(awk '$NF == "sendmsg" || $NF == "sendto" { s += $4 } END { print s + 0 }' \
      "$WORK/strace-$n-full.txt")
    sends_empty[$n]=$(awk '$NF == "sendmsg" || $NF == "sendto" { s += $4 } END { print s + 0 }' \
      "$WORK/strace-$n-empty.txt")
    [ "${sends_full[$n]}" -eq "$full" ] ||
      die "$n sent ${sends_full[$n]} requests in a walk of $LEAVES leaves, not $full"
    # Per exchange: every system call whose count grows with the walk, in strace's order.
    calls_line[$n]=$(awk -v d="$((sends_full[$n] - sends_empty[$n]))" '
      FNR == 1 { file++ }
      $NF ~ /^[a-z_0-9]+$/ && $4 ~ /^[0-9]+$/ && $NF != "total" {
        if (file == 1) { full[$NF] = $4; order[++n] = $NF } else empty[$NF] = $4 }
      END { t = 0
        for (i = 1; i <= n; i++) { c = order[i]; x = (full[c] - empty[c]) / d
          if (x >= 0.5) { printf "%s%s %.2f", (t++ ? ", " : ""), c, x; sum += x } }
        printf " (%.2f in all)", sum }' "$WORK/strace-$n-full.txt" "$WORK/strace-$n-empty.txt")
    # shellcheck disable=SC2086
    f=$(valgrind --tool=callgrind --callgrind-out-file=/dev/null ${full_cmds[$i]} 2>&1 >/dev/null |
      awk '/Collected/ { print $4 }')
    # shellcheck disable=SC2086
    e=$(valgrind --tool=callgrind --callgrind-out-file=/dev/null ${empty_cmds[$i]} 2>&1 >/dev/null |
      awk '/Collected/ { print $4 }')
    if [ -z "$f" ] || [ -z "$e" ]; then die "callgrind of ${full_cmds[$i]} failed"; fi
    instr[$n]=$(awk -v f="$f" -v e="$e" -v d="$((sends_full[$n] - sends_empty[$n]))" \
      'BEGIN { printf "%.0f", (f - e) / d }')
    echo "$n: instructions full $f, empty $e; system calls: ${calls_line[$n]}" >>"$out"
  done

  # CPU time: PAIRS rounds of the six runs, one after another (P full, P empty, B full, B empty,
  # F full, F empty), so that every round sees the same phase of the machine's load.
  local -a on_p=() on_b=() on_f=() pb=() pf=() pw=() bw=() fw=()
  local pd=$((sends_full[P] - sends_empty[P])) bd=$((sends_full[B] - sends_empty[B]))
  local fd=$((sends_full[F] - sends_empty[F])) a1 a0 b1 b0 f1 f0 r
  for ((i = 0; i < PAIRS; i++)); do
    a1=$(cpu_run "$WALK_ONCE" "${p_full[@]}")
    a0=$(cpu_run "$WALK_ONCE" "${p_empty[@]}")
    b1=$(cpu_run snmpbulkwalk "${b_args[@]}" "$UNIT_ROOT.$unit")
    b0=$(cpu_run snmpbulkwalk "${b_args[@]}" "$UNIT_ROOT.$empty")
    f1=$(cpu_run "$EXCHANGE_CPU" floor --port "$port" --address "$unit")
    f0=$(cpu_run "$EXCHANGE_CPU" floor --port "$port" --address "$empty")
    for r in "$a1" "$a0" "$b1" "$b0" "$f1" "$f0"; do [ -n "$r" ] || die "a timed walk failed"; done
    r=$(awk -v a1="$a1" -v a0="$a0" -v b1="$b1" -v b0="$b0" -v f1="$f1" -v f0="$f0" \
      -v pd="$pd" -v bd="$bd" -v fd="$fd" -v n="$full" 'BEGIN {
        p = (a1 - a0) / pd; b = (b1 - b0) / bd; f = (f1 - f0) / fd
        printf "%.3f %.3f %.3f %.4f %.4f %.3f %.3f %.3f", p, b, f, p / b, p / f, a1 / n, b1 / n, f1 / n }')
    echo "round $i: P B F us/exchange, P/B, P/F, whole processes P B F: $r" >>"$out"
    read -r -a v <<<"$r"
    on_p+=("${v[0]}") on_b+=("${v[1]}") on_f+=("${v[2]}") pb+=("${v[3]}") pf+=("${v[4]}")
    pw+=("${v[5]}") bw+=("${v[6]}") fw+=("${v[7]}")
  done
  local mp mb mf rpb rpf
  mp=$(median "${on_p[@]}") mb=$(median "${on_b[@]}") mf=$(median "${on_f[@]}")
  rpb=$(fmt '%.2f' "$(median "${pb[@]}")") rpf=$(fmt '%.2f' "$(median "${pf[@]}")")
  summary "-- CPU per exchange of one default walk (1 leaf per exchange, $full exchanges), snmpd on loopback, $PAIRS rounds"
  summary "   P: bench/walk_once --port PORT --address $unit (the plug-in in the least host); B: snmpbulkwalk -v2c -Cn1 -Cr100;"
  summary "   F: bench/exchange_cpu floor (sendto/poll/recvfrom of the same request bytes). Each: a walk of unit $unit"
  summary "   minus a walk of unit $empty (no leaves), over the exchanges between them; medians ($WORK/exchange-cpu-one-walk.txt)"
  summary "$(fmt '    CPU per exchange: P %.2f us, B %.2f us, F %.2f us' "$mp" "$mb" "$mf")"
  summary "    P/B (median of the rounds' ratios) $rpb  goal <= 0.6: $(verdict "$rpb" "<=" 0.6);  P/F $rpf  goal <= 2: $(verdict "$rpf" "<=" 2)"
  summary "$(fmt '    whole processes over the exchanges (start-up included): P %.2f us, B %.2f us, F %.2f us' \
    "$(median "${pw[@]}")" "$(median "${bw[@]}")" "$(median "${fw[@]}")")"
  summary "    user-space instructions per exchange (callgrind): P ${instr[P]}, B ${instr[B]}, F ${instr[F]}"
  summary "    system calls per exchange (strace): P ${calls_line[P]}; B ${calls_line[B]}; F ${calls_line[F]}"
}

# Own-thread devices against one pdusim serving UNITS unit addresses: the plug-in's N devices,
# N floor clients on threads, and N snmpbulkwalk processes, each walking its unit and starting
# again 5 s after it ended, for SECONDS each, alternated ROUNDS times. CPU and context switches
# per exchange of the clients, and the agent's CPU per exchange.
#   exchange_cpu_fleet DEVICES SECONDS ROUNDS
exchange_cpu_fleet() {
  local devices=$1 seconds=$2 rounds=$3 port pid r kind out ticks0 ticks1 per_walk
  local log=$WORK/exchange-cpu-pdusim.log
  "$PDUSIM" --port 0 --addresses "1-$devices" >"$log" 2>&1 &
  pid=$!
  # shellcheck disable=SC2034  # bench.sh's stop_children reads it
  PDUSIM_PID=$pid
  port=$(pdusim_port "$log" "$pid")
  [ -n "$port" ] || die "pdusim did not start"
  per_walk=$("$EXCHANGE_CPU" floor --port "$port" --address 1 | awk '$2 == "exchanges" { print $3 }')
  [ -n "$per_walk" ] || die "the floor client could not walk pdusim's unit 1"
  local -A cpu csw waits agent marginal
  agent_ticks() { awk '{ print $14 + $15 }' "/proc/$pid/stat"; }
  for ((r = 0; r < rounds; r++)); do
    for kind in P F B; do
      out=$WORK/exchange-cpu-fleet-$kind-$r.txt
      ticks0=$(agent_ticks)
      case $kind in
        P) "$EXCHANGE_CPU" devices --plugin "$PLUGIN" --port "$port" --devices "$devices" \
             --seconds "$seconds" >"$out" ;;
        F) "$EXCHANGE_CPU" floor-fleet --port "$port" --threads "$devices" --seconds "$seconds" \
             >"$out" ;;
        B) "$EXCHANGE_CPU" run --units "$devices" --seconds "$seconds" -- snmpbulkwalk -v2c \
             -c "$COMMUNITY" -Cn1 -Cr100 "127.0.0.1:$port" "$UNIT_ROOT.{}" >"$out" ||
             die "an snmpbulkwalk of the fleet failed, see $out"
           echo "RESULT exchanges $(($(result "$out" runs) * per_walk))" >>"$out" ;;
      esac
      if [ "$kind" = B ]; then
        # The same processes once more on a subtree the agent does not serve (two exchanges:
        # endOfMibView, then the root itself), all at once: their start-up under the same load,
        # taken off the walks' CPU for a figure per exchange without it.
        "$EXCHANGE_CPU" run --units "$devices" --seconds 0.001 -- snmpbulkwalk -v2c \
          -c "$COMMUNITY" -Cn1 -Cr100 "127.0.0.1:$port" ".1.3.6.1.4.1.61333.1.1.5.{}" \
          >"$out.empty" || die "an empty snmpbulkwalk failed, see $out.empty"
        marginal[B]="${marginal[B]:-} $(awk -v c="$(result "$out" cpu_us)" -v n="$(result "$out" runs)" \
          -v e="$(result "$out.empty" cpu_us)" -v m="$(result "$out.empty" runs)" -v w="$per_walk" \
          'BEGIN { print (c - n * e / m) / (n * (w - 2)) }')"
      fi
      ticks1=$(agent_ticks)
      local x
      x=$(result "$out" exchanges)
      [ "$x" -gt 0 ] 2>/dev/null || die "no exchange in $out"
      cpu[$kind]="${cpu[$kind]:-} $(awk -v c="$(result "$out" cpu_us)" -v x="$x" 'BEGIN { print c / x }')"
      csw[$kind]="${csw[$kind]:-} $(awk -v c="$(result "$out" csw)" -v x="$x" 'BEGIN { print c / x }')"
      waits[$kind]="${waits[$kind]:-} $(awk -v c="$(result "$out" csw_wait)" -v x="$x" 'BEGIN { print c / x }')"
      agent[$kind]="${agent[$kind]:-} $(awk -v t="$((ticks1 - ticks0))" -v hz="$(getconf CLK_TCK)" -v x="$x" \
        'BEGIN { print t / hz * 1e6 / x }')"
    done
  done
  kill "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  # shellcheck disable=SC2034  # bench.sh's stop_children reads it
  PDUSIM_PID=
  local mp mb mf
  # shellcheck disable=SC2086  # word lists of numbers
  mp=$(median ${cpu[P]}) mb=$(median ${cpu[B]}) mf=$(median ${cpu[F]})
  summary "-- CPU per exchange at $devices own-thread devices, default request, one pdusim ($devices units, $per_walk exchanges a walk), $rounds x $seconds s each, alternated"
  summary "   P: bench/exchange_cpu devices (the plug-in's own-thread devices, b_mode 2); F: exchange_cpu floor-fleet ($devices floor clients on threads);"
  summary "   B: exchange_cpu run --units $devices -- snmpbulkwalk ... (one process per walk; its start-up, measured on an empty subtree, taken off);"
  summary "   each walks its unit, then pauses 5 s"
  # shellcheck disable=SC2086
  local mbm
  # shellcheck disable=SC2086
  mbm=$(median ${marginal[B]})
  summary "$(fmt '    CPU per exchange: P %.2f us, B %.2f us (%.2f us with its processes'"'"' start-up), F %.2f us; P/B %.2f, P/F %.2f' \
    "$mp" "$mbm" "$mb" "$mf" "$(awk -v a="$mp" -v b="$mbm" 'BEGIN { print a / b }')" \
    "$(awk -v a="$mp" -v b="$mf" 'BEGIN { print a / b }')")"
  # shellcheck disable=SC2086
  summary "$(fmt '    context switches per exchange: P %.3f, B %.3f, F %.3f (of them waits: P %.3f, B %.3f, F %.3f)' \
    "$(median ${csw[P]})" "$(median ${csw[B]})" "$(median ${csw[F]})" \
    "$(median ${waits[P]})" "$(median ${waits[B]})" "$(median ${waits[F]})")"
  # shellcheck disable=SC2086
  summary "$(fmt '    the agent'"'"'s CPU per exchange: serving P %.2f us, B %.2f us, F %.2f us' \
    "$(median ${agent[P]})" "$(median ${agent[B]})" "$(median ${agent[F]})")"
}
