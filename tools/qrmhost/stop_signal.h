// Stopping a run: a one-way stop request that waiting threads see at once, and the routing of
// SIGINT and SIGTERM to it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

class StopSignal {
 public:
  using Clock = std::chrono::steady_clock;

  // Requests the stop and wakes every waiter. Idempotent.
  void Stop();
  bool stopped() const;

  // Wakes the waiters so they re-evaluate their `done` condition; call it after changing state
  // that a condition reads.
  void Notify();

  // Blocks until the stop is requested, `done()` holds or `deadline` (if any) passes. `done`
  // is evaluated under the signal's lock. Returns true when the stop was requested.
  bool Wait(std::optional<Clock::time_point> deadline, const std::function<bool()>& done);

 private:
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  bool stopped_ = false;
};

// While alive, a dedicated thread waits (sigwait) for SIGINT and SIGTERM and turns the first
// into stop->Stop(); a second one ends the process at once with status 130, for a plug-in that
// does not let go. The constructor blocks these signals in the calling thread, so it must run
// before any other thread starts: every later thread inherits the mask and only the dedicated
// thread receives them.
class SignalWatcher {
 public:
  explicit SignalWatcher(StopSignal* stop);
  ~SignalWatcher();
  SignalWatcher(const SignalWatcher&) = delete;
  SignalWatcher& operator=(const SignalWatcher&) = delete;

 private:
  std::thread thread_;
};
