#include "util/stack_thread.h"

#include <system_error>
#include <utility>

StackThread::StackThread(std::size_t stack_bytes, std::function<void()> body)
    : body_(std::move(body)) {
  pthread_attr_t attr;
  int error = pthread_attr_init(&attr);
  if (error == 0) {
    error = pthread_attr_setstacksize(&attr, stack_bytes);
    if (error == 0) error = pthread_create(&id_, &attr, &StackThread::Run, this);
    pthread_attr_destroy(&attr);
  }
  if (error != 0) throw std::system_error(error, std::generic_category(), "pthread_create");
  joinable_ = true;
}

StackThread::~StackThread() { join(); }

void StackThread::join() {
  if (!joinable_) return;
  pthread_join(id_, nullptr);
  joinable_ = false;
}

void* StackThread::Run(void* self) {
  static_cast<StackThread*>(self)->body_();
  return nullptr;
}
