// One SNMPv3 walk's use of net-snmp's user-based security model (USM).
//
// net-snmp keeps the USM state for the whole process and, in Debian's build, without locks: the
// users with their localised keys, and the agents' engine boots and times. A walk touches it
// only inside the USM guard (snmp/usm_lock.h), and never holds the guard while it waits on the
// network, so SNMPv3 walks run alongside one another as SNMPv2c walks do: a unit that does not
// answer, answers slowly or was given a wrong pass phrase delays only its own walk.
//
// The steps, in do_sample's order:
//   Enter      takes the guard, under which the walk's session is then opened (on a numeric
//              address: the walk has resolved a host name before, without the guard);
//   Ready      learns the agent's engine ID through the walk's interruptible exchange (the same
//              time-out, retries and stop as every request; it is the walk's first exchange),
//              forgets the engine's cached boots and time, and has net-snmp localise the
//              device's keys for that engine into a user entry; the guard is given up first;
//   ForgetKeys takes the guard again and overwrites the open session's copy of the keys;
//   Leave      (after the session has closed under the guard) gives the guard up and lets go of
//              the user entry, which is removed, keys overwritten, when no walk uses it any more.
// The table thus never holds a device's keys between walks: a reconfigured pass phrase counts
// from the next walk on. The engine ID is learnt anew at every walk, so a replaced agent is met
// as it is; and since its boots and time are learnt anew too, an agent that restarted with a
// lower boot count (no persistent state, a factory reset) is walked again at once instead of
// having its time-window reports thrown away for as long as it had been up.
//
// One user entry per engine and user name serves every walk that brings the same keys (two
// units behind one agent, one agent at two addresses): it is shared, counted, and removed by
// the last walk to leave. A walk that brings other keys for the same engine and user name (a
// wrong pass phrase on one of them) waits, without the guard, until the walks using the entry
// have left, and walks that wait are let in in arrival order; a stop ends the wait at once. The
// walk that makes or removes the entry does so under the guard alone, holding no other lock,
// and every wait for the guard that a walk makes on its own behalf ends at a stop (the removal
// of an entry, which must happen, waits for its turn in any case).
// net-snmp 5.9.5 and later keep the user entry in the session instead (SNMP_FLAGS_SESSION_USER):
// there each walk has its own and nothing is shared.
#pragma once

#include <string>

#include "snmp/exchange.h"
#include "snmp/net_snmp.h"
#include "util/stop_signal.h"
#include "snmp/usm_lock.h"

struct UsmUserShare;  // one user entry and the walks that use it

class UsmWalk {
 public:
  UsmWalk() = default;
  ~UsmWalk() { Leave(); }
  UsmWalk(const UsmWalk&) = delete;
  UsmWalk& operator=(const UsmWalk&) = delete;

  // Takes the guard for the session's opening. False (nothing held) when `stop` is raised,
  // also while waiting for the guard; `stop` must outlive the walk.
  bool Enter(const StopSignal& stop);

  // After the session opened: discovery and user entry for `open_session`, with `exchange` and
  // `deadline` as for every request; `peer` is the unit's name as configured, which lines show
  // and by which the engine it gave last is remembered. True when the walk can exchange; false
  // after the lines of a failed exchange (the time-out line with `peer` on standard error, the
  // kernel's "snmp walk stopped as the unit is out of reach: ..." for an unreachable peer, or
  // "snmp get error 1" and net-snmp's reason), and without a line when the stop or the deadline
  // cut it short. Without Enter (an SNMPv2c walk) true at once.
  bool Ready(void* open_session, Exchange* exchange, Exchange::Clock::time_point deadline,
             const std::string& peer);

  // Before `open_session` closes: takes the guard and overwrites the session's copy of the
  // keys. Nothing without Enter.
  void ForgetKeys(void* open_session);

  // After the session has closed: gives the guard up and lets go of the user entry. Nothing
  // without Enter; also run by the destructor.
  void Leave();

  // Makes every walk that waits for a user entry or for the guard look at its stop signal again.
  static void WakeWaiters();

 private:
  bool Discover(void* open_session, Exchange* exchange, Exchange::Clock::time_point deadline,
                const std::string& peer);
  bool UseUserEntry(netsnmp_session* session);

  bool entered_ = false;
  const StopSignal* stop_ = nullptr;
  UsmGuard guard_{false};
  UsmUserShare* share_ = nullptr;  // the user entry this walk uses, until Leave
};
