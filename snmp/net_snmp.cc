#include "snmp/net_snmp.h"

#include <dlfcn.h>

#include <mutex>

namespace {

// What init_snmp would do for the USM of a command generator, without its configuration files
// (read_configs), MIB loading, locale change or persistent state. It runs before the first
// snmp_sess_init, so the set-up step called here meets only the USM's own handler: the
// transports' handlers (which look for TLS certificates among configuration files) are
// registered later.
void InitUserBasedSecurity() {
  if (find_sec_mod(USM_SEC_MODEL_NUMBER) != nullptr) return;  // the host set net-snmp up
  // init_usm files its configuration keywords under the application type, which must be set.
  // It is set for the call only: a host that runs init_snmp later still names its own.
  const bool typed = netsnmp_ds_get_string(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_APPTYPE);
  if (!typed) {
    netsnmp_ds_set_string(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_APPTYPE, "snmp_marluxa_ac_power");
  }
  init_usm();
  if (!typed) netsnmp_ds_set_string(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_APPTYPE, nullptr);
  // A local engine ID (random: no file, no address lookup); without one the USM has no user to
  // send engine discovery as.
  setup_engineID(nullptr, nullptr);
  // The USM's post-configuration step: random salts, the discovery user.
  snmp_call_callbacks(SNMP_CALLBACK_LIBRARY, SNMP_CALLBACK_POST_PREMIB_READ_CONFIG, nullptr);
}

}  // namespace

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
    InitUserBasedSecurity();
    netsnmp_session scratch;
    snmp_sess_init(&scratch);
  });
}
