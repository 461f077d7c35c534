// The factory of SNMP_MARLUXA_AC_POWER devices. Stateless.
#pragma once

#include "plugin/provider.h"

class SNMP_MARLUXA_AC_POWERProvider : public QRMSocketDeviceProvider {
 public:
  ~SNMP_MARLUXA_AC_POWERProvider() override = default;
  // A new, unconfigured device; the caller owns it and destroys it through its virtual
  // destructor. No configuration is applied here.
  QRMSocketDevice* create() const override;
};
