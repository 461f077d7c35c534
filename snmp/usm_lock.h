// The process-wide exclusion around net-snmp's user-based security model (USM) state.
//
// Debian's net-snmp keeps the USM's tables for the whole process and without locks: the users
// with their localised keys, and the agents' engine boots and times, which every SNMPv3 message
// built or parsed reads or changes. So every net-snmp call that may touch them on an SNMPv3
// session (open, send and resend, read, time-out handling, close, user entries, engine times)
// runs inside a UsmGuard, and nothing else does: a guard is never held while a device waits on
// the network or on a resolver (a session is opened on a numeric address, see
// snmp/host_resolver.h), so its hold is the time net-snmp takes to build or parse one message
// or change one entry. No other lock is held while waiting for the guard.
//
// Waiting threads are served in arrival order (a ticket lock), so no device is passed over
// however many compete. A wait that is given a stop signal ends when the signal is raised
// (WakeWaiters makes waiters look at their signals again); its place in the line is given up,
// and the line moves on past it. SNMPv2c sessions touch none of this state and take no guard.
#pragma once

#include "util/stop_signal.h"

class UsmGuard {
 public:
  // Takes the exclusion when `engaged` (waiting for every earlier arrival); nothing otherwise.
  explicit UsmGuard(bool engaged = true);
  ~UsmGuard() { Release(); }
  UsmGuard(const UsmGuard&) = delete;
  UsmGuard& operator=(const UsmGuard&) = delete;

  // Gives the exclusion up before the end of the scope; nothing when not held.
  void Release();
  // Takes it (again) when not held.
  void Acquire();
  // The same, unless `stop` is raised before this thread's turn: false then, and not held.
  bool Acquire(const StopSignal& stop);
  bool held() const { return held_; }

  // Makes every thread waiting for its turn look at its stop signal again; call it after
  // raising one.
  static void WakeWaiters();

 private:
  bool held_ = false;
};
