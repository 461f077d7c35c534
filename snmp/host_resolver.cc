#include "snmp/host_resolver.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <mutex>

#include "util/pin_loaded_object.h"

namespace {

// Without a descriptor to wait on, the wait looks at the lookup and the stop this often.
constexpr auto kPollInterval = std::chrono::milliseconds(20);
constexpr auto kLongestWait = std::chrono::hours(1);

// A helper left running returns into this library's code when its lookup ends: from then on the
// library stays loaded, whatever the host does (as net-snmp itself is pinned, see net_snmp.h).
void KeepThisCodeLoaded() {
  static std::once_flag once;
  std::call_once(once, [] { PinLoadedObjectOf(reinterpret_cast<void*>(&KeepThisCodeLoaded)); });
}

}  // namespace

// One lookup, shared by the helper thread that runs it and the resolver that waits for it. The
// helper writes the answer, then sets `done` (release) and signals `fd`; the waiter reads the
// answer only after it has seen `done` (acquire).
struct HostResolver::Lookup {
  std::string host;
  Family family = Family::kIPv4ThenIPv6;
  int fd = -1;  // an eventfd, readable once done; -1 when none could be had
  std::atomic<bool> done{false};
  pthread_t thread{};
  bool joinable = false;  // the waiter's alone

  int error = 0;         // getaddrinfo's result of the first family asked
  int system_error = 0;  // errno, for EAI_SYSTEM
  std::string address;
  bool ipv6 = false;

  ~Lookup() {
    if (fd >= 0) close(fd);
  }

  void Run() {
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
        const void* bytes = f == AF_INET6
                                ? static_cast<const void*>(
                                      &reinterpret_cast<sockaddr_in6*>(found->ai_addr)->sin6_addr)
                                : static_cast<const void*>(
                                      &reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr);
        if (inet_ntop(f, bytes, text, sizeof text) != nullptr) {
          address = text;
          ipv6 = f == AF_INET6;
        }
      }
      if (found != nullptr) freeaddrinfo(found);
      if (!address.empty()) break;
      if (error == 0) {
        error = result != 0 ? result : EAI_NONAME;
        system_error = errno;
      }
    }
    done.store(true, std::memory_order_release);
    if (fd >= 0) {
      const uint64_t one = 1;
      while (write(fd, &one, sizeof one) < 0 && errno == EINTR) {
      }
    }
  }

  static void* Start(void* arg) {
    // The helper's own share: the Lookup outlives whichever of the two lets go last.
    std::shared_ptr<Lookup> self = std::move(*static_cast<std::shared_ptr<Lookup>*>(arg));
    delete static_cast<std::shared_ptr<Lookup>*>(arg);
    self->Run();
    return nullptr;
  }
};

HostResolver::~HostResolver() { Abandon(); }

void HostResolver::Abandon() noexcept {
  if (lookup_ == nullptr) return;
  if (lookup_->joinable) {
    if (lookup_->done.load(std::memory_order_acquire)) {
      pthread_join(lookup_->thread, nullptr);
    } else {
      KeepThisCodeLoaded();
      pthread_detach(lookup_->thread);
    }
    lookup_->joinable = false;
  }
}

HostResolver::Result HostResolver::Resolve(const std::string& host, Family family,
                                           const StopSignal& stop,
                                           Clock::time_point deadline) noexcept {
  Result result;
  try {
    // The lookup of an earlier walk for the same name, still running, is this walk's too;
    // anything else it left is stale.
    const bool reuse = lookup_ != nullptr && !lookup_->done.load(std::memory_order_acquire) &&
                       lookup_->host == host && lookup_->family == family;
    if (!reuse) {
      Abandon();
      lookup_.reset();
      auto lookup = std::make_shared<Lookup>();
      lookup->host = host;
      lookup->family = family;
      lookup->fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
      auto* share = new std::shared_ptr<Lookup>(lookup);
      pthread_attr_t attr;
      int error = pthread_attr_init(&attr);
      if (error == 0) {
        error = pthread_attr_setstacksize(&attr, kStackBytes);
        if (error == 0) error = pthread_create(&lookup->thread, &attr, &Lookup::Start, share);
        pthread_attr_destroy(&attr);
      }
      if (error != 0) {
        delete share;
        result.reason = std::string("no thread for the lookup: ") + std::strerror(error);
        return result;
      }
      lookup->joinable = true;
      lookup_ = std::move(lookup);
    }
    Lookup& lookup = *lookup_;
    const int wake = stop.fd();
    while (!lookup.done.load(std::memory_order_acquire)) {
      if (stop.raised()) {
        Abandon();
        result.outcome = Result::Outcome::kStopped;
        return result;
      }
      const Clock::time_point now = Clock::now();
      if (now >= deadline) {
        Abandon();
        result.outcome = Result::Outcome::kTimedOut;
        return result;
      }
      Clock::duration wait = std::min<Clock::duration>(deadline - now, kLongestWait);
      if (lookup.fd < 0 || wake < 0) wait = std::min<Clock::duration>(wait, kPollInterval);
      pollfd fds[2];
      nfds_t count = 0;
      if (lookup.fd >= 0) fds[count++] = pollfd{lookup.fd, POLLIN, 0};
      if (wake >= 0) fds[count++] = pollfd{wake, POLLIN, 0};
      const auto ms = std::chrono::ceil<std::chrono::milliseconds>(wait).count();
      poll(fds, count, static_cast<int>(ms));
    }
    Abandon();  // joins the helper, which has done its work
    if (!lookup.address.empty()) {
      result.outcome = Result::Outcome::kAddress;
      result.address = lookup.address;
      result.ipv6 = lookup.ipv6;
    } else if (lookup.error == EAI_SYSTEM && lookup.system_error != 0) {
      result.reason = std::strerror(lookup.system_error);
    } else {
      result.reason = gai_strerror(lookup.error);
    }
    lookup_.reset();
  } catch (...) {  // no memory for the lookup
    result = Result();
    result.reason = "no memory for the lookup";
  }
  return result;
}
