// Arbitrary resolver answers for a device's host name, as far as the device reads them.
//
// The input scripts what this binary's own getaddrinfo answers for the name the device walks
// ("nN.fuzz", a new name per input, with or without udp:/udp6:): per address family an error
// (any code, EAI_SYSTEM with any errno) or a list of up to four entries, each with or without an
// address. Addresses are loopback only (127.x.y.z, ::1, ::ffff:127.x.y.z), and the port is one
// nothing listens on, so a walk sends only to loopback and ends at the kernel's port
// unreachable. A real device walks each answer, host-driven.
//
// The account, from the lookup's contract: the name's families are asked in order (udp: IPv4,
// udp6: IPv6, neither: IPv4, then IPv6 when IPv4 gave no address), a family's answer is its
// first entry's address, and the walk then goes to exactly that address and port (its lines
// name it) and never says the name did not resolve; with no address from any family it says so
// and sends nothing.
#include <arpa/inet.h>
#include <dlfcn.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"

namespace {

// One family's scripted answer.
struct Answer {
  int error = 0;                     // getaddrinfo's result; 0: `entries`
  int system_errno = 0;              // with EAI_SYSTEM
  std::vector<std::string> entries;  // numeric addresses; "" an entry without an address
};

struct Script {
  Answer ipv4, ipv6;
};

std::mutex g_mutex;
std::map<std::string, Script> g_scripts;  // by name

// Reads the input a byte at a time; 0 once it is spent.
class Bytes {
 public:
  Bytes(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  uint8_t Next() { return at_ < size_ ? data_[at_++] : 0; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

Answer ReadAnswer(Bytes* in, bool ipv6) {
  static const int kErrors[] = {EAI_NONAME, EAI_AGAIN,  EAI_FAIL,   EAI_SYSTEM,
                                EAI_MEMORY, EAI_NODATA, EAI_FAMILY, 12345};
  Answer a;
  const uint8_t how = in->Next();
  if ((how & 1) != 0) {
    a.error = kErrors[(how >> 1) % 8];
    if (a.error == EAI_SYSTEM) a.system_errno = in->Next();
    return a;
  }
  const int count = (how >> 1) % 5;
  for (int i = 0; i < count; ++i) {
    const uint8_t kind = in->Next();
    if (kind % 4 == 0) {
      a.entries.push_back("");
      continue;
    }
    // Never 127.255.255.255, loopback's broadcast address, which the kernel refuses to send to.
    const std::string v4 = "127." + std::to_string(in->Next()) + "." + std::to_string(in->Next()) +
                           "." + std::to_string(1 + in->Next() % 254);
    a.entries.push_back(!ipv6 ? v4 : kind % 4 == 1 ? "::1" : "::ffff:" + v4);
  }
  return a;
}

// A UDP port nothing listens on, on any address: free now, and below the kernel's range of
// ports for sockets bound to port 0, so that no test of another process is given it later.
unsigned short ClosedPort() {
  for (unsigned short port = 20161; port < 32000; port += 97) {
    bool free = true;
    for (int family : {AF_INET, AF_INET6}) {
      const int fd = socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
      sockaddr_in6 a{};  // the any-address of either family, at `port`
      a.sin6_family = static_cast<sa_family_t>(family);
      a.sin6_port = htons(port);  // where sin_port sits too
      const socklen_t length = family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
      free = free && fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&a), length) == 0;
      if (fd >= 0) close(fd);
    }
    if (free) return port;
  }
  return 0;
}

// The device's lines, written on the walking thread.
class Capture {
 public:
  Capture() : out_(std::cout.rdbuf(&text_)), err_(std::cerr.rdbuf(&text_)) {}
  ~Capture() {
    std::cout.rdbuf(out_);
    std::cerr.rdbuf(err_);
  }
  std::string text() const { return text_.str(); }

 private:
  std::stringbuf text_;
  std::streambuf* out_;
  std::streambuf* err_;
};

}  // namespace

// The scripted names' answers: each entry is a real numeric answer of the C library (so that
// its freeaddrinfo frees the list), chained in the scripted order.
extern "C" int getaddrinfo(const char* node, const char* service, const addrinfo* hints,
                           addrinfo** res) {
  using Next = int (*)(const char*, const char*, const addrinfo*, addrinfo**);
  static const Next next = reinterpret_cast<Next>(dlsym(RTLD_NEXT, "getaddrinfo"));
  Answer answer;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    auto it = node != nullptr ? g_scripts.find(node) : g_scripts.end();
    // A numeric-only lookup (is the name an address?) is the C library's to answer.
    if (it == g_scripts.end() || (hints != nullptr && (hints->ai_flags & AI_NUMERICHOST) != 0)) {
      return next(node, service, hints, res);
    }
    const bool ipv6 = hints != nullptr && hints->ai_family == AF_INET6;
    answer = ipv6 ? it->second.ipv6 : it->second.ipv4;
  }
  if (answer.error != 0) {
    if (answer.error == EAI_SYSTEM) errno = answer.system_errno;
    return answer.error;
  }
  addrinfo numeric = hints != nullptr ? *hints : addrinfo{};
  numeric.ai_flags |= AI_NUMERICHOST;
  addrinfo* head = nullptr;
  addrinfo** tail = &head;
  for (const std::string& entry : answer.entries) {
    addrinfo* one = nullptr;
    const char* placeholder = numeric.ai_family == AF_INET6 ? "::1" : "127.0.0.1";
    if (next(entry.empty() ? placeholder : entry.c_str(), service, &numeric, &one) != 0 ||
        one == nullptr) {
      continue;
    }
    if (one->ai_next != nullptr) {
      freeaddrinfo(one->ai_next);
      one->ai_next = nullptr;
    }
    if (entry.empty()) one->ai_addr = nullptr;  // part of the node: freed with it
    *tail = one;
    tail = &one->ai_next;
  }
  *res = head;
  return 0;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::Quiet();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const unsigned short port = ClosedPort();
  static unsigned long serial = 0;
  FUZZ_CHECK(port != 0);
  Bytes in(data, size);
  const uint8_t form = in.Next() % 3;  // no prefix, udp:, udp6:
  const std::string name = "n" + std::to_string(++serial) + ".fuzz";
  Script script;
  script.ipv4 = ReadAnswer(&in, false);
  script.ipv6 = ReadAnswer(&in, true);
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_scripts.clear();  // earlier names are never asked again
    g_scripts[name] = script;
  }

  // The account: the address the walk must go to, or none.
  std::string expected;
  bool ipv6 = false;
  for (const bool v6 : {false, true}) {
    if ((form == 1 && v6) || (form == 2 && !v6) || !expected.empty()) continue;
    const Answer& a = v6 ? script.ipv6 : script.ipv4;
    if (a.error == 0 && !a.entries.empty() && !a.entries[0].empty()) {
      expected = a.entries[0];
      ipv6 = v6;
    }
  }

  const char* prefix[] = {"", "udp:", "udp6:"};
  Json::Value config(Json::objectValue);
  config["ip"] = prefix[form] + name + ":" + std::to_string(port);
  config["address"] = 1;
  config["appSetting"]["timeout_ms"] = 300;
  config["appSetting"]["retries"] = 0;
  std::string lines;
  {
    SNMP_MARLUXA_AC_POWER device;
    device.Init(std::weak_ptr<QRMController>(), 1, Json::Value());
    Capture capture;
    device.InitSetting(config);
    device.RefreshStatus();
    lines = capture.text();
  }
  if (std::getenv("QRM_FUZZ_VERBOSE") != nullptr) std::fprintf(stderr, "%s", lines.c_str());
  const bool resolved = lines.find("did not resolve") == std::string::npos;
  FUZZ_CHECK(resolved == !expected.empty());
  if (resolved) {
    const std::string at = (ipv6 ? "[" + expected + "]" : expected) + ":" + std::to_string(port);
    FUZZ_CHECK(lines.find("port unreachable at " + at + " ") != std::string::npos ||
               lines.find("Timeout: No Response from") != std::string::npos);
    FUZZ_CHECK(lines.find("port unreachable at ") == std::string::npos ||
               lines.find("port unreachable at " + at + " ") != std::string::npos);
  } else {
    FUZZ_CHECK(lines.find("Timeout") == std::string::npos);
    FUZZ_CHECK(lines.find("out of reach:") == std::string::npos);
  }
  return 0;
}
