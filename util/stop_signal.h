// A one-way stop request that every kind of waiter sees at once: a device's sampling thread
// (destroyed device, use_thread 0), a walk waiting on the network, and the reference host's
// threads waiting for their next refresh or for the end of a run.
//
// Raise() is safe from any thread and never blocks. The pause between walks waits on it
// (WaitFor); the wait for an SNMP answer watches its descriptor in ppoll(), where it stays
// readable while the signal is raised; Wait also ends when a caller's condition holds, for
// threads that wait for the stop or for some other state (Notify after changing that state).
// Clear() takes the request back; only the thread that raised it calls Clear, after every
// waiter it concerns has ended. When no descriptor can be had (descriptors exhausted), fd() is
// -1 and waiters poll raised() instead.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>

class StopSignal {
 public:
  using Clock = std::chrono::steady_clock;

  StopSignal();
  StopSignal(const StopSignal&) = delete;
  StopSignal& operator=(const StopSignal&) = delete;
  ~StopSignal();

  // Requests the stop and wakes every waiter. Idempotent.
  void Raise();
  void Clear();
  bool raised() const { return raised_.load(); }

  // A descriptor that is readable exactly while the signal is raised, or -1.
  int fd() const { return fd_; }

  // Waits until the signal is raised or `period` has passed; true when raised.
  bool WaitFor(std::chrono::milliseconds period);

  // Wakes the waiters of Wait so they re-evaluate their `done` condition; call it after
  // changing state that a condition reads.
  void Notify();

  // Blocks until the stop is requested, `done()` holds or `deadline` (if any) passes. `done`
  // is evaluated under the signal's lock. Returns true when the stop was requested.
  bool Wait(std::optional<Clock::time_point> deadline, const std::function<bool()>& done);

 private:
  std::atomic<bool> raised_{false};
  std::mutex mutex_;
  std::condition_variable changed_;
  int fd_ = -1;
};
