#include "snmp/usm_lock.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <set>

namespace {

// A ticket lock: each arrival draws the next number and waits until it is served. A waiter that
// gives up leaves its number among `abandoned`, which the line skips when it gets there.
struct Tickets {
  std::mutex mutex;
  std::condition_variable served;
  uint64_t next = 0;
  uint64_t serving = 0;
  std::set<uint64_t> abandoned;

  // Moves the line on to the next number that is still waited for; under `mutex`.
  void Advance() {
    ++serving;
    for (auto it = abandoned.begin(); it != abandoned.end() && *it == serving;
         it = abandoned.erase(it)) {
      ++serving;
    }
  }
};

Tickets& TheTickets() {
  static Tickets tickets;
  return tickets;
}

// Waits for this thread's turn, or until `stop` (when given) is raised; true when served.
bool WaitForTurn(const StopSignal* stop) {
  Tickets& t = TheTickets();
  std::unique_lock<std::mutex> lock(t.mutex);
  const uint64_t mine = t.next++;
  // wait_for, not wait: condition_variable::wait(unique_lock&) would raise the plug-in's
  // libstdc++ requirement (GLIBCXX_3.4.30) above what the rest of it needs. Every release and
  // every stop is notified, so the period only bounds a wait that nothing ends.
  while (t.serving != mine && (stop == nullptr || !stop->raised())) {
    t.served.wait_for(lock, std::chrono::seconds(1));
  }
  if (t.serving == mine) return true;
  try {
    t.abandoned.insert(mine);
  } catch (...) {  // no memory to leave the line: wait for the turn, then pass it on at once
    while (t.serving != mine) t.served.wait_for(lock, std::chrono::seconds(1));
    t.Advance();
    lock.unlock();
    t.served.notify_all();
  }
  return false;
}

}  // namespace

UsmGuard::UsmGuard(bool engaged) {
  if (engaged) Acquire();
}

void UsmGuard::Acquire() {
  if (held_) return;
  held_ = WaitForTurn(nullptr);
}

bool UsmGuard::Acquire(const StopSignal& stop) {
  if (held_) return true;
  held_ = WaitForTurn(&stop);
  return held_;
}

void UsmGuard::Release() {
  if (!held_) return;
  held_ = false;
  Tickets& t = TheTickets();
  {
    std::lock_guard<std::mutex> lock(t.mutex);
    t.Advance();
  }
  t.served.notify_all();
}

void UsmGuard::WakeWaiters() {
  Tickets& t = TheTickets();
  { std::lock_guard<std::mutex> lock(t.mutex); }
  t.served.notify_all();
}
