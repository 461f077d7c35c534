// Loading and unloading the plug-in repeatedly in a process that does not use net-snmp itself.
#include <dlfcn.h>

#include <memory>

#include <gtest/gtest.h>

#include "host/HostObserver.h"
#include "plugin/provider.h"

namespace {

// Loads the plug-in, creates and destroys a device, releases everything, unloads it.
void LoadCreateUnload() {
  void* lib = dlopen(PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(lib, nullptr) << dlerror();
  auto get = reinterpret_cast<GetProvidersFn>(dlsym(lib, "get_providers"));
  ASSERT_NE(get, nullptr);
  {
    ProviderList providers = get();
    auto* provider = dynamic_cast<QRMSocketDeviceProvider*>(providers.at(0).get());
    ASSERT_NE(provider, nullptr);
    std::unique_ptr<QRMSocketDevice> device(provider->create());
    EXPECT_EQ(device->DeviceType(), "snmp_marluxa_ac_power");
    AttachHostObserver(device.get(), std::make_shared<HostObserver>());
  }
  EXPECT_EQ(dlclose(lib), 0);
}

// net-snmp's initialised state cannot be released, so the plug-in keeps the library loaded:
// unloading the plug-in must not unload net-snmp (which would leak that state on every reload).
TEST(PluginReload, NetSnmpStaysLoadedAcrossPluginReloads) {
  EXPECT_EQ(dlopen("libnetsnmp.so.40", RTLD_NOW | RTLD_NOLOAD), nullptr)
      << "this test process must not load net-snmp by itself";
  LoadCreateUnload();
  void* netsnmp = dlopen("libnetsnmp.so.40", RTLD_NOW | RTLD_NOLOAD);
  EXPECT_NE(netsnmp, nullptr) << "net-snmp was unloaded with the plug-in";
  if (netsnmp != nullptr) dlclose(netsnmp);
  LoadCreateUnload();
  LoadCreateUnload();
}

}  // namespace
