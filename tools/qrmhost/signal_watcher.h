// Stopping a run: the routing of SIGINT and SIGTERM to the run's stop signal.
#pragma once

#include <thread>

#include "util/stop_signal.h"

// While alive, a dedicated thread waits (sigwait) for SIGINT and SIGTERM and turns the first
// into stop->Raise(); a second one ends the process at once with status 130, for a plug-in that
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
