#include "util/stop_signal.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

StopSignal::StopSignal() : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

StopSignal::~StopSignal() {
  if (fd_ >= 0) close(fd_);
}

void StopSignal::Raise() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (raised_) return;
    raised_ = true;
  }
  changed_.notify_all();
  if (fd_ >= 0) {
    const uint64_t one = 1;
    // The counter only grows until Clear(); a full counter (EAGAIN) is readable all the same.
    while (write(fd_, &one, sizeof one) < 0 && errno == EINTR) {
    }
  }
}

void StopSignal::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  raised_ = false;
  if (fd_ >= 0) {
    uint64_t count = 0;
    while (read(fd_, &count, sizeof count) < 0 && errno == EINTR) {
    }
  }
}

bool StopSignal::WaitFor(std::chrono::milliseconds period) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, period, [this] { return raised_.load(); });
}

void StopSignal::Notify() {
  { std::lock_guard<std::mutex> lock(mutex_); }  // orders the change before a waiter's check
  changed_.notify_all();
}

bool StopSignal::Wait(std::optional<Clock::time_point> deadline,
                      const std::function<bool()>& done) {
  // wait_for in bounded steps, never wait(unique_lock&): that would raise the plug-in's
  // libstdc++ requirement above what the rest of it needs. Every change is notified, so the
  // step only bounds a wait that nothing ends.
  constexpr Clock::duration kStep = std::chrono::hours(1);
  std::unique_lock<std::mutex> lock(mutex_);
  auto ready = [&] { return raised_.load() || done(); };
  while (!ready()) {
    const Clock::time_point now = Clock::now();
    if (deadline && now >= *deadline) break;
    const Clock::duration step = deadline ? std::min(kStep, *deadline - now) : kStep;
    changed_.wait_for(lock, step, ready);
  }
  return raised_.load();
}
