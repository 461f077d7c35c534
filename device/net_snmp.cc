#include "device/net_snmp.h"

#include <dlfcn.h>

#include <mutex>

void EnsureNetSnmpReady() {
  static std::once_flag once;
  std::call_once(once, [] {
    // net-snmp keeps the state of its first-time initialisation for the life of the process
    // and has no way to release it. Pin the library so that unloading the plug-in does not
    // unload it too: its state stays reachable, and a plug-in loaded again reuses it instead
    // of initialising (and leaking) a second time.
    Dl_info info;
    if (dladdr(reinterpret_cast<void*>(&snmp_sess_init), &info) != 0 && info.dli_fname) {
      dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
    }
    netsnmp_session scratch;
    snmp_sess_init(&scratch);
  });
}
