#include "snmp/net_snmp.h"

#include <mutex>
#include <set>

#include "snmp/net_snmp_log.h"
#include "snmp/usm_lock.h"
#include "util/pin_loaded_object.h"

namespace {

// What init_snmp would do for the USM of a command generator, without its configuration files
// (read_configs), MIB loading, locale change or persistent state.
void InitUserBasedSecurity() {
  if (find_sec_mod(USM_SEC_MODEL_NUMBER) != nullptr) return;  // the host set net-snmp up
  // The USM's own set-up step is a library callback that init_usm registers. The list it joins
  // may already hold other modules' steps (the TLS transports' one looks for certificates among
  // configuration files), so only the entries init_usm adds are run, not the whole list.
  std::set<struct snmp_gen_callback*> before;
  for (auto* c = snmp_callback_list(SNMP_CALLBACK_LIBRARY, SNMP_CALLBACK_POST_PREMIB_READ_CONFIG);
       c != nullptr; c = c->next) {
    before.insert(c);
  }
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
  for (auto* c = snmp_callback_list(SNMP_CALLBACK_LIBRARY, SNMP_CALLBACK_POST_PREMIB_READ_CONFIG);
       c != nullptr; c = c->next) {
    if (before.count(c) == 0 && c->sc_callback != nullptr) {
      c->sc_callback(SNMP_CALLBACK_LIBRARY, SNMP_CALLBACK_POST_PREMIB_READ_CONFIG, nullptr,
                     c->sc_client_arg);
    }
  }
}

}  // namespace

void EnsureNetSnmpReady() {
  static std::once_flag once;
  std::call_once(once, [] {
    // net-snmp keeps the state of its first-time initialisation for the life of the process
    // and has no way to release it. Pin the library so that unloading the plug-in does not
    // unload it too: its state stays reachable, and a plug-in loaded again reuses it instead
    // of initialising (and leaking) a second time.
    PinLoadedObjectOf(reinterpret_cast<void*>(&snmp_sess_init));
    RouteNetSnmpLog();  // before the library may log anything
    const auto callbacks = HoldNetSnmpCallbacks();
    netsnmp_session scratch;
    snmp_sess_init(&scratch);
  });
}

void EnsureUsmReady() {
  EnsureNetSnmpReady();
  static std::once_flag once;
  std::call_once(once, [] {
    UsmGuard guard;
    const auto callbacks = HoldNetSnmpCallbacks();
    InitUserBasedSecurity();
  });
}
