#include "tools/qrmhost/signal_watcher.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>

namespace {

// SIGUSR1, sent by the destructor to the watcher thread, ends that thread.
sigset_t WatchedSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGUSR1);
  return set;
}

}  // namespace

SignalWatcher::SignalWatcher(StopSignal* stop) {
  const sigset_t set = WatchedSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  thread_ = std::thread([stop, set] {
    bool interrupted = false;
    for (;;) {
      int sig = 0;
      if (sigwait(&set, &sig) != 0 || sig == SIGUSR1) return;
      if (interrupted) {
        static const char kMessage[] = "qrmhost: second interrupt, exiting at once\n";
        (void)!write(STDERR_FILENO, kMessage, sizeof kMessage - 1);
        std::_Exit(130);
      }
      interrupted = true;
      static const char kStopping[] = "qrmhost: interrupted, stopping\n";
      (void)!write(STDERR_FILENO, kStopping, sizeof kStopping - 1);
      stop->Raise();
    }
  });
}

SignalWatcher::~SignalWatcher() {
  pthread_kill(thread_.native_handle(), SIGUSR1);
  thread_.join();
}
