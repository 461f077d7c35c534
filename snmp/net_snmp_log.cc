#include "snmp/net_snmp_log.h"

#include <cstring>
#include <iostream>
#include <mutex>

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>

#include "util/console_line.h"

namespace {

// A line longer than this without its end is written as it stands: net-snmp's own lines are
// far shorter, and a line never ended must not grow without bound.
constexpr std::size_t kLongestLine = 2048;

thread_local NetSnmpLogPeer* t_peer = nullptr;  // the innermost scope of this thread
thread_local std::string t_pending;             // a line this thread's net-snmp has begun

void WriteLine(std::string line) {
  if (t_peer != nullptr && !line.empty() && line.find(t_peer->peer()) == std::string::npos) {
    line += t_peer->suffix();
  }
  ConsoleLine(std::cerr, std::move(line));
}

// net-snmp's log handler: called with each piece it logs, from the thread that logs it.
int WriteWholeLines(netsnmp_log_handler*, int, const char* text) {
  try {
    if (text == nullptr) return 1;
    t_pending.append(text);
    std::size_t from = 0;
    for (std::size_t end; (end = t_pending.find('\n', from)) != std::string::npos; from = end + 1) {
      WriteLine(t_pending.substr(from, end - from));
    }
    t_pending.erase(0, from);
    if (t_pending.size() > kLongestLine) {
      WriteLine(std::move(t_pending));
      t_pending.clear();
    }
  } catch (...) {  // nothing may throw into net-snmp; a line lost to no memory is dropped
    t_pending.clear();
  }
  return 1;
}

// The writer in net-snmp's list, taken out when the plug-in's code is unloaded (or the process
// ends), as net-snmp (pinned) outlives this code.
struct Registration {
  netsnmp_log_handler* handler = nullptr;
  ~Registration() {
    if (handler != nullptr) netsnmp_remove_loghandler(handler);
  }
};
Registration g_registration;

}  // namespace

void RouteNetSnmpLog() {
  static std::once_flag once;
  std::call_once(once, [] {
    if (snmp_get_do_logging()) return;  // the host set net-snmp's logging up itself
    // Registered as a handler that drops what it is given, then given the writer: no line can
    // reach a handler of another kind in between (a callback handler would run net-snmp's
    // callback list, and its lock, for every line).
    netsnmp_log_handler* h = netsnmp_register_loghandler(NETSNMP_LOGHANDLER_NONE, LOG_DEBUG);
    if (h == nullptr) return;
    h->handler = &WriteWholeLines;
    g_registration.handler = h;
  });
}

NetSnmpLogPeer::NetSnmpLogPeer(std::string peer, std::string suffix)
    : m_peer(std::move(peer)), m_suffix(std::move(suffix)), m_outer(t_peer) {
  t_peer = this;
}

NetSnmpLogPeer::~NetSnmpLogPeer() { t_peer = m_outer; }
