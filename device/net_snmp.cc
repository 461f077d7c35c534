#include "device/net_snmp.h"

#include <mutex>

void EnsureNetSnmpReady() {
  static std::once_flag once;
  std::call_once(once, [] {
    netsnmp_session scratch;
    snmp_sess_init(&scratch);
  });
}
