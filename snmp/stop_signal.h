// A device's stop request: raised when the device is destroyed or leaves its own-thread
// schedule, seen at once by the sampling thread wherever it waits.
//
// Raise() is safe from any thread and never blocks. The pause between walks waits on it
// (WaitFor), and the wait for an SNMP answer watches its descriptor in select(), which stays
// readable while the signal is raised. Clear() takes the request back; only the thread that
// raised it calls Clear, after the sampling thread has ended. When no descriptor can be had
// (descriptors exhausted), fd() is -1 and waiters poll raised() instead.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

class StopSignal {
 public:
  StopSignal();
  StopSignal(const StopSignal&) = delete;
  StopSignal& operator=(const StopSignal&) = delete;
  ~StopSignal();

  void Raise();
  void Clear();
  bool raised() const { return raised_.load(); }

  // A descriptor that is readable exactly while the signal is raised, or -1.
  int fd() const { return fd_; }

  // Waits until the signal is raised or `period` has passed; true when raised.
  bool WaitFor(std::chrono::milliseconds period);

 private:
  std::atomic<bool> raised_{false};
  std::mutex mutex_;
  std::condition_variable changed_;
  int fd_ = -1;
};
