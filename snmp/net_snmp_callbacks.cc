#include "snmp/net_snmp_callbacks.h"

std::unique_lock<std::mutex> HoldNetSnmpCallbacks() {
  static std::mutex callbacks;
  return std::unique_lock<std::mutex>(callbacks);
}
