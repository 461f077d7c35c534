#include "snmp/net_snmp_version.h"

#include "snmp/net_snmp_callbacks.h"

void* OpenWalkSession(netsnmp_session* templ) {
  const u_short local_port = templ->local_port;
  void* open;
  {
    const auto callbacks = HoldNetSnmpCallbacks();  // the open runs net-snmp's callback list
    open = snmp_sess_open(templ);
  }
  templ->local_port = local_port;
  return open;
}
