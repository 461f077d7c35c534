#include "snmp/stop_signal.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

StopSignal::StopSignal() : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

StopSignal::~StopSignal() {
  if (fd_ >= 0) close(fd_);
}

void StopSignal::Raise() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
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
