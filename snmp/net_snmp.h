// The one include of net-snmp for the device, and its once-only library initialisation.
//
// Debian's libnetsnmp is built without reentrant support: its first-time initialisation (run
// by the first snmp_sess_init) sets process-wide state without a lock. EnsureNetSnmpReady()
// runs it exactly once, whichever thread constructs the first device. After it, each device
// uses only the single-session calls (snmp_sess_open / _async_send / _read2 / _close), which keep
// sessions apart and are safe from several threads, one session per thread. The library is
// pinned in the process, since its initialised state cannot be released. That is all an
// SNMPv2c device ever sets up: net-snmp's process-wide state is then what its plain client
// calls leave, and a host that initialises net-snmp itself later (init_snmp) gets its own
// SNMPv3 security set-up and configuration as if the plug-in were not there.
//
// EnsureUsmReady() sets up net-snmp's user-based security model (USM) for SNMPv3, once per
// process, when the first configuration asks for SNMPv3 (never before, never when none does).
// It does what a command generator needs without reading any SNMP configuration or persistent
// file of the host and without writing any: the model's registration, a random local engine
// ID, and the model's own set-up step (random starting salts for the privacy protocols, the
// user that engine discovery sends as). When the host process has set up net-snmp itself
// (init_snmp) before, its USM is used as it is and nothing of it is changed. SNMPv3 state is
// process-wide; snmp/usm_lock.h and snmp/usm_walk.h say how walks share it.
//
// net-snmp's callback lists. Every snmp_sess_open runs the library's session-set-up callbacks
// (snmp_call_callbacks), and init_usm adds callbacks. net-snmp guards each list with a plain
// counter, not a lock: a thread that finds it taken sleeps 1 ms at a time and after 100 tries
// logs "lock in _callback_lock sleeps more than 100 milliseconds in snmp_call_callbacks" and
// goes on without it; and two threads changing the counter at once can lose a change, which
// leaves the list taken for good (every later open then waits 100 ms and logs that line). So
// every call of the plug-in that runs or changes those lists (the first initialisation, the USM
// set-up, each session open) holds HoldNetSnmpCallbacks(): one at a time, the counter is never
// contended, and 64 devices opening their sessions at once wait for each other here instead.
// Opening a session holds it only for the library's own set-up (no name is looked up there:
// a walk opens its session on an address).
#pragma once

#include <mutex>

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>

#include "snmp/net_snmp_callbacks.h"
#include "snmp/net_snmp_version.h"  // what differs between net-snmp releases

void EnsureNetSnmpReady();
void EnsureUsmReady();
