#include "tests/support/resolver_fault.h"

#include <dlfcn.h>
#include <netdb.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>

namespace {

struct Host {
  std::string ipv4, ipv6;
  bool hangs = false;
  int delay_ms = 0;  // with hangs: answer after this long
};

struct Resolver {
  std::mutex mutex;
  std::condition_variable released_cv;
  std::map<std::string, Host> hosts;
  std::map<std::string, int> lookups;
  bool released = false;
  int hanging = 0;
};

Resolver& TheResolver() {
  static Resolver* r = new Resolver;  // lookups may still run while statics are destroyed
  return *r;
}

}  // namespace

void FakeHost(const std::string& name, const std::string& ipv4, const std::string& ipv6) {
  std::lock_guard<std::mutex> lock(TheResolver().mutex);
  TheResolver().hosts[name] = Host{ipv4, ipv6, false};
}

void HangingHost(const std::string& name) {
  std::lock_guard<std::mutex> lock(TheResolver().mutex);
  TheResolver().hosts[name] = Host{"", "", true};
  TheResolver().released = false;
}

void SlowHost(const std::string& name, const std::string& ipv4, int delay_ms) {
  std::lock_guard<std::mutex> lock(TheResolver().mutex);
  TheResolver().hosts[name] = Host{ipv4, "", true, delay_ms};
  TheResolver().released = false;
}

void ReleaseHangingLookups() {
  {
    std::lock_guard<std::mutex> lock(TheResolver().mutex);
    TheResolver().released = true;
  }
  TheResolver().released_cv.notify_all();
}

int LookupsOf(const std::string& name) {
  std::lock_guard<std::mutex> lock(TheResolver().mutex);
  return TheResolver().lookups[name];
}

int HangingNow() {
  std::lock_guard<std::mutex> lock(TheResolver().mutex);
  return TheResolver().hanging;
}

extern "C" int getaddrinfo(const char* node, const char* service, const addrinfo* hints,
                           addrinfo** res) {
  using Next = int (*)(const char*, const char*, const addrinfo*, addrinfo**);
  static const Next next = reinterpret_cast<Next>(dlsym(RTLD_NEXT, "getaddrinfo"));
  addrinfo numeric = hints != nullptr ? *hints : addrinfo{};
  if (node == nullptr || (numeric.ai_flags & AI_NUMERICHOST) != 0) {
    return next(node, service, hints, res);
  }
  Resolver& r = TheResolver();
  std::unique_lock<std::mutex> lock(r.mutex);
  auto it = r.hosts.find(node);
  if (it == r.hosts.end()) {
    lock.unlock();
    return next(node, service, hints, res);
  }
  ++r.lookups[node];
  if (it->second.hangs) {
    const int delay_ms = it->second.delay_ms;
    ++r.hanging;
    const bool released = r.released_cv.wait_for(
        lock, delay_ms > 0 ? std::chrono::milliseconds(delay_ms) : std::chrono::seconds(30),
        [&] { return r.released; });
    --r.hanging;
    if (released || delay_ms == 0) return EAI_AGAIN;
    it = r.hosts.find(node);
  }
  // The fixed address, answered by the C library itself (so that freeaddrinfo frees it).
  const std::string address = numeric.ai_family == AF_INET6 ? it->second.ipv6 : it->second.ipv4;
  if (address.empty()) return EAI_NONAME;
  lock.unlock();
  numeric.ai_flags |= AI_NUMERICHOST;
  return next(address.c_str(), service, &numeric, res);
}
