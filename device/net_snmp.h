// The one include of net-snmp for the device, and its once-only library initialisation.
//
// Debian's libnetsnmp is built without reentrant support: its first-time initialisation (run
// by the first snmp_sess_init) sets process-wide state without a lock. EnsureNetSnmpReady()
// runs it exactly once, whichever thread constructs the first device. After it, each device
// uses only the single-session calls (snmp_sess_open / _async_send / _read2 / _close), which keep
// sessions apart and are safe from several threads, one session per thread. The library is
// pinned in the process, since its initialised state cannot be released.
#pragma once

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>

void EnsureNetSnmpReady();
