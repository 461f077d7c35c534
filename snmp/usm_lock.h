// The process-wide exclusion around net-snmp's user-based security model (USM) state.
//
// Debian's net-snmp keeps the USM's tables for the whole process and without locks: the users
// with their localised keys, and the agents' engine boots and times, which every SNMPv3 message
// built or parsed reads or changes. So every net-snmp call that may touch them on an SNMPv3
// session (open, send and resend, read, time-out handling, close, user entries, engine times)
// runs inside a UsmGuard, and nothing else does: a guard is never held while a device waits on
// the network, so its hold is the time net-snmp takes to build or parse one message.
//
// Waiting threads are served in arrival order (a ticket lock), so no device is passed over
// however many compete. SNMPv2c sessions touch none of this state and take no guard.
#pragma once

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
  bool held() const { return held_; }

 private:
  bool held_ = false;
};
