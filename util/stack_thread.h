// StackThread: a thread started with a stack of a size the caller chooses.
//
// A process that runs hundreds of threads reserves each one's stack from its address space; on
// a 32-bit unit (3 GiB) the process default (8 MiB from `ulimit -s`) stops at about 375
// threads. A thread whose deepest path is known gets a stack sized for it instead.
//
// The constructor starts `body` at once and throws std::system_error when no thread can be had
// (nothing is started then). `body` must not throw: as with std::thread, that would end the
// process. join() waits for the body to return; the destructor joins a thread not yet joined.
#pragma once

#include <pthread.h>

#include <cstddef>
#include <functional>

class StackThread {
 public:
  StackThread(std::size_t stack_bytes, std::function<void()> body);
  StackThread(const StackThread&) = delete;
  StackThread& operator=(const StackThread&) = delete;
  ~StackThread();

  bool joinable() const { return joinable_; }
  void join();

 private:
  static void* Run(void* self);

  std::function<void()> body_;
  pthread_t id_{};
  bool joinable_ = false;
};
