#include "device/sampling_thread.h"

#include <cerrno>
#include <system_error>
#include <utility>

SamplingThread::SamplingThread(std::function<void()> body) : body_(std::move(body)) {
  pthread_attr_t attr;
  int error = pthread_attr_init(&attr);
  if (error == 0) {
    error = pthread_attr_setstacksize(&attr, kStackBytes);
    if (error == 0) error = pthread_create(&id_, &attr, &SamplingThread::Run, this);
    pthread_attr_destroy(&attr);
  }
  if (error != 0) throw std::system_error(error, std::generic_category(), "pthread_create");
  joinable_ = true;
}

SamplingThread::~SamplingThread() { join(); }

void SamplingThread::join() {
  if (!joinable_) return;
  pthread_join(id_, nullptr);
  joinable_ = false;
}

void* SamplingThread::Run(void* self) {
  static_cast<SamplingThread*>(self)->body_();
  return nullptr;
}
