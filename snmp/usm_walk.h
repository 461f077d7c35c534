// One SNMPv3 walk's turn at net-snmp's user-based security model (USM).
//
// This build of net-snmp keeps the USM state for the whole process and without locks: the
// table of users with their localised keys, and the table of agents' engine times, which every
// SNMPv3 message sent or received reads or changes. So SNMPv3 walks of the process take turns:
// a walk enters its turn before its session opens and leaves it after the session has closed,
// and only one turn is held at a time. SNMPv2c walks need no turn and run alongside. A walk
// waiting for its turn gives up when its device's stop is raised (a raiser calls WakeWaiters).
//
// Within the turn, Ready learns the agent's engine ID with net-snmp's discovery (one exchange
// on the walk's session, at most timeout x (retries + 1), uninterruptible) and has net-snmp
// localise the device's keys for that engine into a user entry. ForgetKeys overwrites the open
// session's copy of the keys before it closes, and Leave removes the user entry with its keys
// overwritten. The table thus never holds a device's keys between walks: a reconfigured pass
// phrase counts from the next walk on, and two devices with one user name on one agent never
// use each other's keys. The engine ID is learnt anew at every walk, so a replaced agent is met
// as it is.
#pragma once

#include "snmp/net_snmp.h"
#include "snmp/stop_signal.h"

class UsmWalk {
 public:
  UsmWalk() = default;
  ~UsmWalk() { Leave(); }
  UsmWalk(const UsmWalk&) = delete;
  UsmWalk& operator=(const UsmWalk&) = delete;

  // Waits for the turn; false (and no turn) when `stop` is or becomes raised first.
  bool Enter(const StopSignal& stop);

  // With the turn held: discovery and user entry for `open_session`. True when the walk can
  // exchange; false after the lines of a failed exchange (the time-out line with the peer name
  // on standard error, or "snmp get error 1" and net-snmp's reason). Without a turn (an SNMPv2c
  // walk) true at once.
  bool Ready(void* open_session);

  // Before `open_session` closes: overwrites its copy of the keys. Nothing without a turn.
  void ForgetKeys(void* open_session);

  // After the session has closed: removes the user entry Ready made, then ends the turn.
  // Nothing without a turn; also run by the destructor.
  void Leave();

  // Makes every Enter that waits look at its stop signal again.
  static void WakeWaiters();

 private:
  bool held_ = false;
  struct usmUser* user_ = nullptr;  // the entry Ready added, until Leave removes it
};
