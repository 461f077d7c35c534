#!/bin/bash
# Run by scripts/matrix-upgrade.sh inside a unit's root (a plain Debian system of the unit's
# architecture, entered under qemu where it is foreign): what an operator does on the unit.
#
#   matrix-unit.sh sources CODENAME [REPO]  /etc/apt/sources.list: Debian's lines of CODENAME
#                                            and, with REPO, "deb [trusted=yes] file:REPO ./"
#   matrix-unit.sh install                   apt-get update; apt-get install the plug-in and
#                                            the tools
#   matrix-unit.sh upgrade                   apt-get update; apt-get full-upgrade -y (what apt
#                                            removes is listed in upgrade.log)
#   matrix-unit.sh version                   the plug-in's installed version, or "none" (also
#                                            when its file is missing from the plug-in folder)
#   matrix-unit.sh walk ROUNDS               the installed qrmhost, with the installed plug-in,
#                                            against the installed pdusim for ROUNDS rounds;
#                                            prints the number of walks answered
#
# Environment: MIRROR, SECURITY_MIRROR (Debian's mirror), LOGS (a folder for the logs).
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
LOGS=${LOGS:-/tmp}
export DEBIAN_FRONTEND=noninteractive
apt_quiet=(-q -y -o Dpkg::Options::=--force-confdef -o Dpkg::Options::=--force-confold)
case "$(dpkg --print-architecture)" in
  armhf) multiarch=arm-linux-gnueabihf ;;
  arm64) multiarch=aarch64-linux-gnu ;;
  *) multiarch=x86_64-linux-gnu ;;
esac
plugin=/usr/lib/$multiarch/qrm/plugins/snmp_marluxa_ac_power.so

case "${1:-}" in
  sources)
    codename=$2 repo=${3:-}
    {
      echo "deb $MIRROR $codename main"
      echo "deb $MIRROR $codename-updates main"
      echo "deb $SECURITY_MIRROR $codename-security main"
      [ -n "$repo" ] && echo "deb [trusted=yes] file:$repo ./"
    } >/etc/apt/sources.list
    rm -f /etc/apt/sources.list.d/*
    ;;
  install)
    apt-get update -q >"$LOGS/install.log" 2>&1 &&
      apt-get install "${apt_quiet[@]}" --no-install-recommends snmp-marluxa-ac-power \
        snmp-marluxa-ac-power-tools >>"$LOGS/install.log" 2>&1
    ;;
  upgrade)
    apt-get update -q >"$LOGS/upgrade.log" 2>&1 &&
      apt-get full-upgrade "${apt_quiet[@]}" >>"$LOGS/upgrade.log" 2>&1
    ;;
  version)
    v=$(dpkg-query -W -f='${Status}|${Version}' "snmp-marluxa-ac-power" 2>/dev/null)
    if [ "${v%%|*}" = "install ok installed" ] && [ -f "$plugin" ]; then
      echo "${v#*|}"
    else
      echo none
    fi
    ;;
  walk)
    rounds=$2
    # shellcheck source=scripts/pdusim_port.sh
    . "$here/pdusim_port.sh"
    pdusim --port 0 >"$LOGS/pdusim.log" 2>&1 &
    sim=$!
    port=$(pdusim_port "$LOGS/pdusim.log" "$sim")
    answered=0
    if [ -n "$port" ]; then
      printf '{"id": 1, "ip": "127.0.0.1:%s", "address": 1, "appSetting": {"use_thread": 0, "b_mode": 1, "timeout_ms": 2000, "retries": 1}}\n' \
        "$port" >"$LOGS/device.json"
      timeout 600 qrmhost run --plugin "$plugin" --config "$LOGS/device.json" --rounds "$rounds" \
        --timeout 300 >"$LOGS/walk.out" 2>"$LOGS/walk.err"
      answered=$(cat "$LOGS/walk.out" "$LOGS/walk.err" |
        grep -cE '^\[round [0-9]+\] device 1 at .*: walk of 127\.0\.0\.1:[0-9]+ answered')
    fi
    kill "$sim" 2>/dev/null
    wait "$sim" 2>/dev/null
    echo "$answered"
    ;;
  *)
    echo "usage: matrix-unit.sh sources|install|upgrade|version|walk ..." >&2
    exit 2
    ;;
esac
