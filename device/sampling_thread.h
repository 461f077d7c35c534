// SamplingThread: a device's own thread, started with a small stack of a fixed size.
//
// A host process may run hundreds of own-thread devices, and on a 32-bit unit each thread's
// stack is reserved from the same 3 GiB of address space: with the process default (8 MiB from
// `ulimit -s`) about 375 threads fit. Every sampling thread therefore gets kStackBytes, which the
// deepest path of a walk and its round uses an eighth of at most (numbers below).
//
// The constructor starts `body` at once and throws std::system_error when no thread can be had
// (nothing is started then). `body` must not throw: as with std::thread, that would end the
// process. join() waits for the body to return; the destructor joins a thread not yet joined.
#pragma once

#include <pthread.h>

#include <cstddef>
#include <functional>

class SamplingThread {
 public:
  // Stack use measured from inside the thread at the end of a round (highest address touched,
  // the thread's static TLS at the top of the stack included), amd64 Debug build, Debian 12:
  //   SNMPv3 authPriv SHA-512/AES-256 walk against snmpd, then its round:  KiB
  //   SNMPv2c walk against pdusim (default and fast request), then its round:  KiB
  //   armhf (qemu-arm), the same SNMPv3 walk:  KiB
  // 256 KiB is more than 8 times the largest of these, leaving room for a host whose services
  // (SendSP, CheckThresholdBool, SaveDeviceHistory run on this thread) use more than the
  // reference host's. 600 such threads reserve 150 MiB of a 3 GiB address space.
  static constexpr std::size_t kStackBytes = 256 * 1024;

  explicit SamplingThread(std::function<void()> body);
  SamplingThread(const SamplingThread&) = delete;
  SamplingThread& operator=(const SamplingThread&) = delete;
  ~SamplingThread();

  bool joinable() const { return joinable_; }
  void join();

 private:
  static void* Run(void* self);

  std::function<void()> body_;
  pthread_t id_{};
  bool joinable_ = false;
};
