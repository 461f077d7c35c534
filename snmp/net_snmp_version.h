// What differs between the net-snmp releases the plug-in is built against, in one place:
// Debian 12's 5.9.3 and Debian 13's 5.9.4 (libnetsnmp.so.40) and 5.9.5 (libnetsnmp.so.45, in
// Debian unstable). The rest of snmp/ and device/ is the same source for all of them.
//
// Opening a walk's session. From 5.9.5 on, snmp_sess_open writes the local port of the socket
// it opened back into the session it was given, and a session that names a local port opens as
// a listening one, bound to the peer's address. Opened again from the same session (as each
// walk opens its session from the device's template), it fails with "Address already in use"
// when the agent is on this machine, and would take the peer's address for its own otherwise.
// OpenWalkSession opens a session from `templ` and puts the template's local port back, so
// every open is the client open of the first; on earlier releases nothing changes.
//
// SNMPv3 user entries. Up to 5.9.4 net-snmp looks a user up, with its localised keys, in one
// process-wide table for every message; from 5.9.5 on a session opened with snmp_sess_open
// keeps its own entry (SNMP_FLAGS_SESSION_USER in snmp_api.h), made from the session and freed
// with it. QRM_NETSNMP_SESSION_USER is 1 for the latter: the USM walk (snmp/usm_walk.cc) then
// leaves each walk's entry to its session instead of sharing table entries between walks.
//
// The soname differs too (40, 45): a plug-in built against one release needs that release's
// library package, which the Debian packages' dependencies name.
#pragma once

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>

#ifdef SNMP_FLAGS_SESSION_USER
#define QRM_NETSNMP_SESSION_USER 1
#else
#define QRM_NETSNMP_SESSION_USER 0
#endif

// snmp_sess_open(templ), leaving `templ` as it was for the next open. Null on failure, with
// the reason in `templ` (snmp_sess_perror reads it).
void* OpenWalkSession(netsnmp_session* templ);
