// Loading and unloading the plug-in repeatedly in a process that does not use net-snmp itself.
#include <dlfcn.h>
#include <link.h>

#include <cstring>
#include <memory>
#include <string>

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

// The path of the net-snmp library loaded in this process (libnetsnmp.so.N, whatever the
// release's soname), or "" when none is.
std::string LoadedNetSnmp() {
  std::string found;
  dl_iterate_phdr(
      [](struct dl_phdr_info* info, size_t, void* out) {
        const char* slash = std::strrchr(info->dlpi_name, '/');
        const char* base = slash != nullptr ? slash + 1 : info->dlpi_name;
        if (std::strncmp(base, "libnetsnmp.so.", 14) != 0) return 0;
        *static_cast<std::string*>(out) = info->dlpi_name;
        return 1;
      },
      &found);
  return found;
}

// net-snmp's initialised state cannot be released, so the plug-in keeps the library loaded:
// unloading the plug-in must not unload net-snmp (which would leak that state on every reload).
TEST(PluginReload, NetSnmpStaysLoadedAcrossPluginReloads) {
  EXPECT_EQ(LoadedNetSnmp(), "") << "this test process must not load net-snmp by itself";
  LoadCreateUnload();
  EXPECT_NE(LoadedNetSnmp(), "") << "net-snmp was unloaded with the plug-in";
  LoadCreateUnload();
  LoadCreateUnload();
}

}  // namespace
