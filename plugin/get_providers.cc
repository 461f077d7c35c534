// The plug-in's only exported symbol.
#include <memory>

#include "plugin/SNMP_MARLUXA_AC_POWERProvider.h"
#include "plugin/provider.h"

#if defined(__clang__)
#pragma clang diagnostic ignored "-Wreturn-type-c-linkage"
#endif

extern "C" __attribute__((visibility("default"))) ProviderList get_providers() {
  ProviderList providers;
  providers.push_back(std::make_shared<SNMP_MARLUXA_AC_POWERProvider>());
  return providers;
}
