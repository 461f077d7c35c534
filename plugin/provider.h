// Device providers: the factories through which the host creates device objects.
//
// get_providers (exported by the plug-in, unmangled) returns one new provider per call. A
// provider is stateless; create() hands over ownership of a new, unconfigured device that the
// caller destroys through its virtual destructor. Providers and devices run code of the
// plug-in library, so all of them must be released before the library is unloaded.
#pragma once

#include <memory>
#include <vector>

#include "host/QRMSocketDevice.h"

class Provider {
 public:
  virtual ~Provider() = default;
};

class QRMSocketDeviceProvider : public Provider {
 public:
  ~QRMSocketDeviceProvider() override = default;
  virtual QRMSocketDevice* create() const = 0;
};

using ProviderList = std::vector<std::shared_ptr<Provider>>;

// The entry point's C-linkage name and type, for hosts that resolve it with dlsym.
#if defined(__clang__)
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wreturn-type-c-linkage"
#endif
extern "C" ProviderList get_providers();
#if defined(__clang__)
#pragma clang diagnostic pop
#endif
using GetProvidersFn = ProviderList (*)();
