#include "snmp/host_resolver.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

#include "util/pin_loaded_object.h"

namespace {

// A helper returns into this library's code whenever its lookup ends, also after the last device
// is gone: from its start the library stays loaded, whatever the host does (as net-snmp itself
// is pinned, see net_snmp.h).
void KeepThisCodeLoaded() {
  static std::once_flag once;
  std::call_once(once, [] { PinLoadedObjectOf(reinterpret_cast<void*>(&KeepThisCodeLoaded)); });
}

using Family = HostResolver::Family;
using Clock = HostResolver::Clock;
using Key = std::pair<std::string, Family>;

// What one lookup found.
struct Answer {
  std::string address;  // empty: none
  bool ipv6 = false;
  int error = 0;         // getaddrinfo's result of the first family asked
  int system_error = 0;  // errno, for EAI_SYSTEM

  std::string Reason() const {
    if (error == EAI_SYSTEM && system_error != 0) return std::strerror(system_error);
    return gai_strerror(error);
  }
};

Answer LookUp(const std::string& host, Family family) {
  Answer a;
  const int families[2] = {family == Family::kIPv6 ? AF_INET6 : AF_INET,
                           family == Family::kIPv4ThenIPv6 ? AF_INET6 : AF_UNSPEC};
  for (int f : families) {
    if (f == AF_UNSPEC) break;
    addrinfo hints{};
    hints.ai_family = f;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    errno = 0;
    const int result = getaddrinfo(host.c_str(), nullptr, &hints, &found);
    if (result == 0 && found != nullptr && found->ai_addr != nullptr) {
      char text[INET6_ADDRSTRLEN] = "";
      const void* bytes =
          f == AF_INET6
              ? static_cast<const void*>(
                    &reinterpret_cast<sockaddr_in6*>(found->ai_addr)->sin6_addr)
              : static_cast<const void*>(&reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr);
      if (inet_ntop(f, bytes, text, sizeof text) != nullptr) {
        a.address = text;
        a.ipv6 = f == AF_INET6;
      }
    }
    if (found != nullptr) freeaddrinfo(found);
    if (!a.address.empty()) break;
    if (a.error == 0) {
      a.error = result != 0 ? result : EAI_NONAME;
      a.system_error = errno;
    }
  }
  return a;
}

// A walk waiting for a lookup: woken through its own stop signal, so that the wait needs no
// descriptor of its own and a stop ends it as at once as an answer does.
struct Waiter {
  StopSignal* stop;
  std::atomic<bool> woken{false};
};

// Everything the process knows of one name and family. Lookups are numbered: `started` is the
// number of the last one asked for, `finished` of the last one answered.
struct Entry {
  bool busy = false;  // a lookup is queued or running
  uint64_t started = 0;
  uint64_t finished = 0;
  Clock::time_point finished_at;
  Answer last;  // the answer of lookup `finished`
  bool has_good = false;
  std::string good_address;
  bool good_ipv6 = false;
  Clock::time_point good_at;
  int users = 0;                 // walks inside Resolve for it: it is not forgotten meanwhile
  std::vector<Waiter*> waiters;  // the ones waiting, woken when a lookup finishes
};

// The process's lookups and their helper threads. Never destroyed: a helper may still run while
// the process's statics are.
struct Pool {
  std::mutex mutex;
  std::condition_variable work;
  std::map<Key, Entry> entries;
  std::deque<Key> queue;
  int threads = 0;
  int idle = 0;
  unsigned resolves = 0;
};

Pool& ThePool() {
  static Pool* pool = new Pool;
  return *pool;
}

void* Helper(void*) {
  Pool& pool = ThePool();
  std::unique_lock<std::mutex> lock(pool.mutex);
  for (;;) {
    ++pool.idle;
    const bool got = pool.work.wait_for(lock, HostResolver::kHelperIdle,
                                        [&pool] { return !pool.queue.empty(); });
    --pool.idle;
    if (!got) break;
    const Key key = std::move(pool.queue.front());
    pool.queue.pop_front();
    lock.unlock();
    Answer answer;
    try {
      answer = LookUp(key.first, key.second);
    } catch (...) {  // no memory for the answer's text: nothing may end the process from here
      answer = Answer();
      answer.error = EAI_MEMORY;
    }
    const Clock::time_point now = Clock::now();
    lock.lock();
    Entry& e = pool.entries[key];  // busy: never forgotten while its lookup runs
    e.busy = false;
    e.finished = e.started;
    e.finished_at = now;
    if (!answer.address.empty()) {
      e.has_good = true;
      e.good_address = answer.address;
      e.good_ipv6 = answer.ipv6;
      e.good_at = now;
    }
    e.last = std::move(answer);
    for (Waiter* w : e.waiters) {
      w->woken = true;
      w->stop->Notify();  // takes only the signal's own lock; a waiter never holds it with ours
    }
  }
  --pool.threads;
  return nullptr;
}

// Starts a helper when no idle one will take the queued lookup and the pool is not full; an
// error text when there is no helper at all to run it. Under the pool's lock.
std::string EnsureHelper(Pool& pool) {
  if (pool.idle > static_cast<int>(pool.queue.size()) - 1 ||
      pool.threads >= HostResolver::kHelperThreads) {
    return std::string();
  }
  KeepThisCodeLoaded();
  pthread_attr_t attr;
  pthread_t thread;
  int error = pthread_attr_init(&attr);
  if (error == 0) {
    error = pthread_attr_setstacksize(&attr, HostResolver::kStackBytes);
    if (error == 0) error = pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    if (error == 0) error = pthread_create(&thread, &attr, &Helper, nullptr);
    pthread_attr_destroy(&attr);
  }
  if (error == 0) {
    ++pool.threads;
    return std::string();
  }
  if (pool.threads > 0) return std::string();  // a running helper takes it in turn
  return std::string("no thread for the lookup: ") + std::strerror(error);
}

// Forgets the names no walk has asked for since their last address is past use.
void Forget(Pool& pool, Clock::time_point now) {
  for (auto it = pool.entries.begin(); it != pool.entries.end();) {
    const Entry& e = it->second;
    const bool stale = now - e.finished_at > HostResolver::kLastGoodFor &&
                       (!e.has_good || now - e.good_at > HostResolver::kLastGoodFor);
    it = !e.busy && e.users == 0 && stale ? pool.entries.erase(it) : std::next(it);
  }
}

}  // namespace

int HostResolver::HelperThreads() {
  Pool& pool = ThePool();
  std::lock_guard<std::mutex> lock(pool.mutex);
  return pool.threads;
}

int HostResolver::Waiting() {
  Pool& pool = ThePool();
  std::lock_guard<std::mutex> lock(pool.mutex);
  int users = 0;
  for (const auto& entry : pool.entries) users += entry.second.users;
  return users;
}

HostResolver::Result HostResolver::Resolve(const std::string& host, Family family, StopSignal& stop,
                                           Clock::time_point deadline) noexcept {
  Result result;
  Pool& pool = ThePool();
  Waiter waiter{&stop};
  bool registered = false;
  Entry* entry = nullptr;
  std::unique_lock<std::mutex> lock(pool.mutex, std::defer_lock);
  try {
    const Key key(host, family);
    lock.lock();
    if (++pool.resolves % 64 == 0) Forget(pool, Clock::now());
    Entry& e = pool.entries[key];
    entry = &e;
    ++e.users;
    // The lookup this resolver gave up on last time, answered since: this walk's answer.
    const bool late = pending_ != 0 && pending_host_ == host && pending_family_ == family &&
                      e.finished >= pending_ && Clock::now() - e.finished_at <= kLateAnswerFor;
    pending_ = 0;
    if (!late) {
      if (!e.busy) {
        e.busy = true;
        ++e.started;
        pool.queue.push_back(key);
        const std::string no_helper = EnsureHelper(pool);
        if (!no_helper.empty()) {
          pool.queue.pop_back();
          e.busy = false;
          --e.started;
          --e.users;
          result.reason = no_helper;
          return result;
        }
        pool.work.notify_one();
      }
      const uint64_t wanted = e.started;
      e.waiters.push_back(&waiter);
      registered = true;
      while (e.finished < wanted) {
        if (stop.raised() || Clock::now() >= deadline) {
          result.outcome = stop.raised() ? Result::Outcome::kStopped : Result::Outcome::kTimedOut;
          pending_ = wanted;
          pending_host_ = host;
          pending_family_ = family;
          break;
        }
        waiter.woken = false;
        lock.unlock();
        stop.Wait(deadline, [&waiter] { return waiter.woken.load(); });
        lock.lock();
      }
      e.waiters.erase(std::find(e.waiters.begin(), e.waiters.end(), &waiter));
      registered = false;
    }
    const Clock::time_point now = Clock::now();
    if (result.outcome == Result::Outcome::kStopped) {
      // nothing more: the walk ends
    } else if (result.outcome != Result::Outcome::kTimedOut && !e.last.address.empty()) {
      result.outcome = Result::Outcome::kAddress;
      result.address = e.last.address;
      result.ipv6 = e.last.ipv6;
    } else {
      if (result.outcome != Result::Outcome::kTimedOut) {
        result.outcome = Result::Outcome::kFailed;
        result.reason = e.last.Reason();
      }
      if (e.has_good && now - e.good_at <= kLastGoodFor) {
        result.outcome = Result::Outcome::kAddress;
        result.address = e.good_address;
        result.ipv6 = e.good_ipv6;
        result.last_good = true;
        result.age = now - e.good_at;
      }
    }
    --e.users;
  } catch (...) {                                            // no memory for the lookup
    if (entry != nullptr && !lock.owns_lock()) lock.lock();  // the wait's own set-up threw
    if (entry != nullptr) {
      if (registered)
        entry->waiters.erase(std::find(entry->waiters.begin(), entry->waiters.end(), &waiter));
      --entry->users;
    }
    result = Result();
    result.reason = "no memory for the lookup";
  }
  return result;
}
