// The calling thread's stack as the thread itself sees it: the size the C library gave it and
// how much of it has been touched so far; and a host observer that reads it on the thread that
// ends each round.
//
// A new thread's stack is fresh zeroed memory; the highest-reaching non-zero byte below the
// top marks the deepest the thread has gone (glibc keeps the thread's static TLS at the top, so
// that counts as used too). A stack reused from an ended thread of the same size carries that
// thread's marks: measure in a process whose threads of that size all do the same work.
#pragma once

#include <pthread.h>

#include <algorithm>
#include <cstddef>
#include <map>
#include <mutex>
#include <vector>

#include "host/HostObserver.h"

// Whether the figures mean what they say: ThreadSanitizer puts its own per-thread state at the
// top of every thread's stack (and enlarges it for that), AddressSanitizer pads every frame.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kThreadStackFiguresHold = false;
#else
constexpr bool kThreadStackFiguresHold = true;
#endif

struct ThreadStack {
  size_t size = 0;     // as pthread_getattr_np reports it (guard page not included)
  size_t touched = 0;  // bytes from the top down to the deepest non-zero byte
};

// Reads the stack below the caller's own frame, which the sanitizers would see as stale frames.
__attribute__((no_sanitize("address", "thread"))) inline ThreadStack CurrentThreadStack() {
  ThreadStack result;
  pthread_attr_t attr;
  if (pthread_getattr_np(pthread_self(), &attr) != 0) return result;
  void* low = nullptr;
  size_t size = 0;
  const bool ok = pthread_attr_getstack(&attr, &low, &size) == 0;
  pthread_attr_destroy(&attr);
  if (!ok) return result;
  const volatile unsigned char* p = static_cast<const unsigned char*>(low);
  const unsigned char* here = static_cast<const unsigned char*>(__builtin_frame_address(0));
  while (p < here && *p == 0) ++p;
  result.size = size;
  result.touched = static_cast<size_t>(static_cast<const unsigned char*>(low) + size -
                                       const_cast<const unsigned char*>(p));
  return result;
}

// Reads the stack of the thread that ends each round when the round saves its history (its last
// host call): the deepest that device's walks and rounds went so far. Thread-safe.
class StackObserver : public HostObserver {
 public:
  struct Device {
    int rounds = 0;
    ThreadStack stack;  // size as last seen, the most touched of any round
  };
  void OnSaveDeviceHistory(const QRMVDevice& device, std::vector<unsigned char>) override {
    const ThreadStack stack = CurrentThreadStack();
    std::lock_guard<std::mutex> lock(mutex_);
    Device& d = devices_[&device];
    ++d.rounds;
    d.stack.size = stack.size;
    d.stack.touched = std::max(d.stack.touched, stack.touched);
  }
  Device Of(const QRMVDevice* device) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = devices_.find(device);
    return it == devices_.end() ? Device() : it->second;
  }
  // The devices with at least `rounds` rounds.
  size_t DevicesWith(int rounds) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<size_t>(std::count_if(devices_.begin(), devices_.end(), [&](const auto& e) {
      return e.second.rounds >= rounds;
    }));
  }

 private:
  mutable std::mutex mutex_;
  std::map<const QRMVDevice*, Device> devices_;
};
