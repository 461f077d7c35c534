// Where net-snmp's own log lines go.
//
// Left to itself, net-snmp writes its messages (a failed parse, a failed open in its words, a
// warning of its own) to standard error in as many pieces as it logs them, from whichever
// thread is inside the library. RouteNetSnmpLog() hands them to the plug-in's console writer
// instead: each line whole, in one write (util/console_line.h), on standard error, followed by
// " (peer NAME)" when the thread is walking a device and the line does not name that peer
// already. It does so once per process and only when no log destination of net-snmp is set up
// (a host that chose one for its own net-snmp use keeps it: the plug-in's lines then follow
// it). Unloading the plug-in takes its writer out of net-snmp's list again.
#pragma once

#include <string>

void RouteNetSnmpLog();

// While one lives, net-snmp's lines logged on this thread name the device's peer: `peer` as the
// device names it, `suffix` the text added to a line that does not contain `peer` already.
// Scopes nest: the innermost one counts.
class NetSnmpLogPeer {
 public:
  NetSnmpLogPeer(std::string peer, std::string suffix);
  ~NetSnmpLogPeer();
  NetSnmpLogPeer(const NetSnmpLogPeer&) = delete;
  NetSnmpLogPeer& operator=(const NetSnmpLogPeer&) = delete;

  const std::string& peer() const { return m_peer; }
  const std::string& suffix() const { return m_suffix; }

 private:
  std::string m_peer;
  std::string m_suffix;
  NetSnmpLogPeer* m_outer;
};
