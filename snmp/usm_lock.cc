#include "snmp/usm_lock.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace {

// A ticket lock: each arrival draws the next number and waits until it is served.
struct Tickets {
  std::mutex mutex;
  std::condition_variable served;
  uint64_t next = 0;
  uint64_t serving = 0;
};

Tickets& TheTickets() {
  static Tickets tickets;
  return tickets;
}

}  // namespace

UsmGuard::UsmGuard(bool engaged) {
  if (engaged) Acquire();
}

void UsmGuard::Acquire() {
  if (held_) return;
  Tickets& t = TheTickets();
  std::unique_lock<std::mutex> lock(t.mutex);
  const uint64_t mine = t.next++;
  // wait_for, not wait: condition_variable::wait(unique_lock&) would raise the plug-in's
  // libstdc++ requirement (GLIBCXX_3.4.30) above what the rest of it needs. Every release is
  // notified, so the period only bounds a wait that nothing ends.
  while (t.serving != mine) t.served.wait_for(lock, std::chrono::seconds(1));
  held_ = true;
}

void UsmGuard::Release() {
  if (!held_) return;
  held_ = false;
  Tickets& t = TheTickets();
  {
    std::lock_guard<std::mutex> lock(t.mutex);
    ++t.serving;
  }
  t.served.notify_all();
}
