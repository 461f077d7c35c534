#include "plugin/SNMP_MARLUXA_AC_POWERProvider.h"

#include "device/SNMP_MARLUXA_AC_POWER.h"

QRMSocketDevice* SNMP_MARLUXA_AC_POWERProvider::create() const {
  return new SNMP_MARLUXA_AC_POWER();
}
