#include "tests/support/thread_start_fault.h"

#include <dlfcn.h>
#include <pthread.h>

#include <atomic>
#include <cerrno>

#include "device/sampling_thread.h"

namespace {

std::atomic<std::size_t> g_stack{0};
std::atomic<int> g_left{0};  // -1: no limit
std::atomic<int> g_failed{0};

using CreateFn = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);

// Takes one failure from the armed count; false when none is left.
bool TakeFailure() {
  for (int left = g_left.load(); left != 0;) {
    if (left < 0 || g_left.compare_exchange_weak(left, left - 1)) return true;
  }
  return false;
}

}  // namespace

void FailThreadStarts(std::size_t stack_bytes, int count) {
  g_stack = stack_bytes;
  g_left = count;
}
int FailedThreadStarts() { return g_failed.load(); }

void FailSamplingThreadStarts(bool armed) {
  FailThreadStarts(SamplingThread::kStackBytes, armed ? -1 : 0);
}
int FailedSamplingThreadStarts() { return FailedThreadStarts(); }

extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*start)(void*),
                              void* arg) {
  static const CreateFn real = reinterpret_cast<CreateFn>(dlsym(RTLD_NEXT, "pthread_create"));
  std::size_t stack = 0;
  if (g_left.load() != 0 && attr != nullptr && pthread_attr_getstacksize(attr, &stack) == 0 &&
      stack == g_stack.load() && TakeFailure()) {
    ++g_failed;
    return EAGAIN;
  }
  if (real == nullptr) return ENOSYS;
  return real(thread, attr, start, arg);
}
