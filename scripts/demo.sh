#!/usr/bin/env bash
# The main job end to end on loopback: the PDU simulator serves its built-in unit, the reference
# host loads the plug-in and drives one host-driven device in frame mode 2, with the fast request
# (max_repetitions 100), for three rounds with history, then the last saved record is decoded.
# The device file is printed first; the demo's folder (device file, history, events, the
# simulator's log) is left in /tmp and named at the end.
set -euo pipefail
# shellcheck source=scripts/pdusim_port.sh
. "$(dirname "${BASH_SOURCE[0]}")/pdusim_port.sh"
BUILD=${1:?usage: demo.sh BUILD_DIR}
PDUSIM=$BUILD/sim/pdusim
QRMHOST=$BUILD/tools/qrmhost/qrmhost
PLUGIN=$BUILD/plugin/snmp_marluxa_ac_power.so

WORK=$(mktemp -d /tmp/qrm-demo.XXXXXX)
"$PDUSIM" --port 0 >"$WORK/pdusim.log" 2>&1 &
SIM_PID=$!
trap 'kill "$SIM_PID" 2>/dev/null || true; wait "$SIM_PID" 2>/dev/null || true' EXIT

port=$(pdusim_port "$WORK/pdusim.log" "$SIM_PID")
if [ -z "$port" ]; then
  echo "demo: the simulator did not start:" >&2
  cat "$WORK/pdusim.log" >&2
  exit 1
fi

cat >"$WORK/devices.json" <<JSON
{
  "devices": [
    {"id": 1, "ip": "127.0.0.1:$port", "address": 1,
     "appSetting": {"b_mode": 2, "use_thread": 0, "max_repetitions": 100, "timeout_ms": 2000,
                    "retries": 1}}
  ]
}
JSON

echo "== simulator on 127.0.0.1:$port; device file $WORK/devices.json:"
cat "$WORK/devices.json"
echo "== history folder: $WORK/history"
"$QRMHOST" run --plugin "$PLUGIN" --config "$WORK/devices.json" --rounds 3 --interval 1 \
  --history "$WORK/history" --events "$WORK/events.jsonl" --timeout 60

echo
echo "== the last saved record ($WORK/history/1.rec holds $(($(stat -c %s "$WORK/history/1.rec") / 5087)) records)"
tail -c 5087 "$WORK/history/1.rec" >"$WORK/last.rec"
"$QRMHOST" decode "$WORK/last.rec"
echo
echo "== events of the run: $WORK/events.jsonl ($(wc -l <"$WORK/events.jsonl") lines)"
echo "== the demo's folder stays: $WORK (devices.json, history/, events.jsonl, pdusim.log);"
echo "   remove it with: rm -r $WORK"
if [ -f "$BUILD/man/qrmhost.1" ]; then
  echo "== manual pages: man $BUILD/man/qrmhost.1, man $BUILD/man/pdusim.1"
fi
