#include "tests/support/resolver_fault.h"

#include <arpa/inet.h>
#include <dlfcn.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

namespace {

struct Host {
  std::string ipv4, ipv6;
  bool hangs = false;
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

// One result in one block, as glibc's freeaddrinfo frees it (the address inside the block).
addrinfo* Answer(int family, const std::string& text) {
  const size_t length = family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
  auto* block = static_cast<unsigned char*>(std::calloc(1, sizeof(addrinfo) + length));
  if (block == nullptr) return nullptr;
  auto* ai = reinterpret_cast<addrinfo*>(block);
  ai->ai_family = family;
  ai->ai_socktype = SOCK_DGRAM;
  ai->ai_protocol = IPPROTO_UDP;
  ai->ai_addrlen = static_cast<socklen_t>(length);
  ai->ai_addr = reinterpret_cast<sockaddr*>(block + sizeof(addrinfo));
  if (family == AF_INET) {
    auto* in = reinterpret_cast<sockaddr_in*>(ai->ai_addr);
    in->sin_family = AF_INET;
    inet_pton(AF_INET, text.c_str(), &in->sin_addr);
  } else {
    auto* in6 = reinterpret_cast<sockaddr_in6*>(ai->ai_addr);
    in6->sin6_family = AF_INET6;
    inet_pton(AF_INET6, text.c_str(), &in6->sin6_addr);
  }
  return ai;
}

}  // namespace

void FakeHost(const std::string& name, const std::string& ipv4, const std::string& ipv6) {
  Resolver& r = TheResolver();
  std::lock_guard<std::mutex> lock(r.mutex);
  r.hosts[name] = Host{ipv4, ipv6, false};
}

void HangingHost(const std::string& name) {
  Resolver& r = TheResolver();
  std::lock_guard<std::mutex> lock(r.mutex);
  r.hosts[name] = Host{"", "", true};
  r.released = false;
}

void ReleaseHangingLookups() {
  Resolver& r = TheResolver();
  {
    std::lock_guard<std::mutex> lock(r.mutex);
    r.released = true;
  }
  r.released_cv.notify_all();
}

int LookupsOf(const std::string& name) {
  Resolver& r = TheResolver();
  std::lock_guard<std::mutex> lock(r.mutex);
  return r.lookups[name];
}

int HangingNow() {
  Resolver& r = TheResolver();
  std::lock_guard<std::mutex> lock(r.mutex);
  return r.hanging;
}

extern "C" int getaddrinfo(const char* node, const char* service, const addrinfo* hints,
                           addrinfo** res) {
  using Next = int (*)(const char*, const char*, const addrinfo*, addrinfo**);
  static const Next next = reinterpret_cast<Next>(dlsym(RTLD_NEXT, "getaddrinfo"));
  const bool numeric = hints != nullptr && (hints->ai_flags & AI_NUMERICHOST) != 0;
  if (node != nullptr && !numeric) {
    Resolver& r = TheResolver();
    std::unique_lock<std::mutex> lock(r.mutex);
    auto it = r.hosts.find(node);
    if (it != r.hosts.end()) {
      ++r.lookups[node];
      if (it->second.hangs) {
        ++r.hanging;
        r.released_cv.wait_for(lock, std::chrono::seconds(30), [&] { return r.released; });
        --r.hanging;
        return EAI_AGAIN;
      }
      const int family = hints != nullptr ? hints->ai_family : AF_UNSPEC;
      const std::string& address = family == AF_INET6 ? it->second.ipv6 : it->second.ipv4;
      if (address.empty()) return EAI_NONAME;
      *res = Answer(family == AF_INET6 ? AF_INET6 : AF_INET, address);
      return *res != nullptr ? 0 : EAI_MEMORY;
    }
  }
  return next(node, service, hints, res);
}
