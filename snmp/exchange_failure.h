// The reason net-snmp gives for a failed SNMPv3 exchange, as one console line.
//
// An SNMPv3 agent answers a request it cannot accept (a wrong pass phrase, an unknown user, an
// unknown engine ID, a message outside its time window) with a report, which net-snmp turns
// into a failed exchange with a reason. After the exchange's own failure line ("snmp get error
// %d"), ReportExchangeFailureReason writes that reason on standard output as net-snmp's tools
// show it: "snmpbulkwalk: Authentication failure (incorrect password, community or key)". It
// writes nothing for a time-out (its line says all there is), for an SNMPv2c session (whose
// lines stay as they have always been) or when net-snmp gives no reason. The reason is one of
// net-snmp's fixed texts: it never contains a setting's value, a pass phrase or a key.
#pragma once

#include "snmp/net_snmp.h"

// `open_session` is the handle of the walk's session, `status` the exchange's status. `report`
// is the report the agent answered with when the caller has it (the asynchronous calls hand it
// to the callback); otherwise the reason is the one net-snmp kept in the session (the
// synchronous call keeps it there when it returns STAT_ERROR).
void ReportExchangeFailureReason(void* open_session, int status,
                                 const netsnmp_pdu* report = nullptr);
