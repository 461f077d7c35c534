#include "tests/support/thread_start_fault.h"

#include <dlfcn.h>
#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <cstddef>

#include "device/sampling_thread.h"

namespace {

std::atomic<bool> g_armed{false};
std::atomic<int> g_failed{0};

using CreateFn = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);

}  // namespace

void FailSamplingThreadStarts(bool armed) { g_armed = armed; }
int FailedSamplingThreadStarts() { return g_failed.load(); }

extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*start)(void*),
                              void* arg) {
  static const CreateFn real = reinterpret_cast<CreateFn>(dlsym(RTLD_NEXT, "pthread_create"));
  size_t stack = 0;
  if (g_armed && attr != nullptr && pthread_attr_getstacksize(attr, &stack) == 0 &&
      stack == SamplingThread::kStackBytes) {
    ++g_failed;
    return EAGAIN;
  }
  if (real == nullptr) return ENOSYS;
  return real(thread, attr, start, arg);
}
