// SamplingThread: a device's own thread, started on a small stack of a fixed size.
//
// A host process may run hundreds of own-thread devices, and on a 32-bit unit each thread's
// stack is reserved from the same 3 GiB of address space: with the process default (8 MiB from
// `ulimit -s`) about 375 threads fit. Every sampling thread therefore gets kStackBytes, of which
// the deepest measured path of a walk and its round uses less than an eighth (figures below).
//
// The constructor starts `body` at once and throws std::system_error when no thread can be had
// (nothing is started then). `body` must not throw: as with std::thread, that would end the
// process. join() waits for the body to return; the destructor joins a thread not yet joined.
#pragma once

#include <cstddef>
#include <functional>
#include <utility>

#include "util/stack_thread.h"

class SamplingThread {
 public:
  // Stack a walk and its round touch, measured from inside the sampling thread at the end of
  // each round (deepest byte touched below the top, the thread's static TLS included; Debug
  // builds, Debian 12, tests interop_test ...UseAtMostAnEighthOfTheirStack and schedule_test
  // ...SixHundredOwnThreadDevicesStartOnTheirSmallStacks):
  //   SNMPv3 authPriv SHA-512/AES-256 against snmpd (default walk, fast walk, wrong pass
  //   phrase):  amd64 16.3 KiB, armhf (qemu-arm) 15.2 KiB;
  //   SNMPv2c fast walk against the simulator:  amd64 9.2 KiB, armhf 9.2 KiB.
  // 256 KiB is 15 times the largest, leaving room for a host whose services (SendSP,
  // CheckThresholdBool, DoBatchCheckThreshold and SaveDeviceHistory run on this thread) go
  // deeper than the reference host's. 600 such threads reserve 150 MiB of a 3 GiB address
  // space, where 8 MiB stacks stop at about 375 threads.
  static constexpr std::size_t kStackBytes = 256 * 1024;

  explicit SamplingThread(std::function<void()> body) : thread_(kStackBytes, std::move(body)) {}

  bool joinable() const { return thread_.joinable(); }
  void join() { thread_.join(); }

 private:
  StackThread thread_;
};
