#include "tools/qrmhost/stop_signal.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>

void StopSignal::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopped_ = true;
  }
  cv_.notify_all();
}

bool StopSignal::stopped() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return stopped_;
}

void StopSignal::Notify() {
  { std::lock_guard<std::mutex> lock(mutex_); }  // orders the change before a waiter's check
  cv_.notify_all();
}

bool StopSignal::Wait(std::optional<Clock::time_point> deadline,
                      const std::function<bool()>& done) {
  std::unique_lock<std::mutex> lock(mutex_);
  auto ready = [&] { return stopped_ || done(); };
  if (deadline) {
    cv_.wait_until(lock, *deadline, ready);
  } else {
    cv_.wait(lock, ready);
  }
  return stopped_;
}

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
      stop->Stop();
    }
  });
}

SignalWatcher::~SignalWatcher() {
  pthread_kill(thread_.native_handle(), SIGUSR1);
  thread_.join();
}
