// The one-call UDP receive against net-snmp's own, on real sockets on loopback: the same bytes
// and the same address pair, without asking the kernel for the socket's address again; and it
// takes only the transport it was made for, before anything wraps it.
#include <arpa/inet.h>
#include <dlfcn.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "snmp/bare_floats.h"
#include "snmp/net_snmp.h"
#include "snmp/udp_receive.h"

// After net_snmp.h, which brings the configuration every net-snmp header needs.
#include <net-snmp/library/snmpUDPBaseDomain.h>

namespace {
int g_getsockname = 0;  // calls in this process; net-snmp's own receive makes one a datagram
}  // namespace

extern "C" __attribute__((no_sanitize("address", "thread", "undefined"))) int getsockname(
    int fd, sockaddr* address, socklen_t* length) noexcept {
  using F = int (*)(int, sockaddr*, socklen_t*);
  static const F next = reinterpret_cast<F>(dlsym(RTLD_NEXT, "getsockname"));
  __atomic_fetch_add(&g_getsockname, 1, __ATOMIC_RELAXED);
  return next(fd, address, length);
}

namespace {

using Receive = int (*)(netsnmp_transport*, void*, int, void**, int*);

// A UDP socket on 127.0.0.1 standing in for the agent, and a session open towards it.
class Link {
 public:
  explicit Link(const std::string& peer = "") {
    EnsureNetSnmpReady();
    agent_ = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof a;
    if (agent_ < 0 || bind(agent_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        getsockname(agent_, reinterpret_cast<sockaddr*>(&a), &length) != 0) {
      return;
    }
    name_ = peer.empty() ? "127.0.0.1:" + std::to_string(ntohs(a.sin_port)) : peer;
    netsnmp_session settings;
    snmp_sess_init(&settings);
    settings.version = SNMP_VERSION_2c;
    settings.peername = name_.data();
    session_ = snmp_sess_open(&settings);
  }
  ~Link() {
    if (session_ != nullptr) snmp_sess_close(session_);
    if (agent_ >= 0) close(agent_);
  }
  void* session() const { return session_; }
  netsnmp_transport* transport() const { return snmp_sess_transport(session_); }

  // Sends `text` from the agent's socket to the session's, and waits (at most 5 s) until the
  // session's socket can read it.
  bool Deliver(const std::string& text) {
    sockaddr_in to{};
    socklen_t length = sizeof to;
    if (getsockname(transport()->sock, reinterpret_cast<sockaddr*>(&to), &length) != 0) {
      return false;
    }
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (sendto(agent_, text.data(), text.size(), 0, reinterpret_cast<sockaddr*>(&to), length) !=
        static_cast<ssize_t>(text.size())) {
      return false;
    }
    pollfd p{transport()->sock, POLLIN, 0};
    return poll(&p, 1, 5000) == 1;
  }

 private:
  int agent_ = -1;
  std::string name_;
  void* session_ = nullptr;
};

struct Read {
  int length = -1;
  std::string bytes;
  netsnmp_indexed_addr_pair pair{};
  int pair_length = 0;
};

Read ReadWith(Receive receive, netsnmp_transport* transport) {
  Read r;
  char buffer[256];
  void* opaque = nullptr;
  r.length = receive(transport, buffer, sizeof buffer, &opaque, &r.pair_length);
  if (r.length > 0) r.bytes.assign(buffer, static_cast<std::size_t>(r.length));
  if (opaque != nullptr && r.pair_length == static_cast<int>(sizeof r.pair)) {
    std::memcpy(&r.pair, opaque, sizeof r.pair);
  }
  std::free(opaque);  // as net-snmp frees it
  return r;
}

TEST(UdpReceive, SameBytesAndAddressPairAsNetSnmpsOwnWithoutAskingForTheAddressAgain) {
  Link link;
  ASSERT_NE(link.session(), nullptr);
  netsnmp_transport* transport = link.transport();
  ASSERT_EQ(transport->f_recv, &netsnmp_udpbase_recv);

  ASSERT_TRUE(link.Deliver("first"));
  const Read own = ReadWith(&netsnmp_udpbase_recv, transport);
  ASSERT_EQ(own.bytes, "first");

  ASSERT_TRUE(UseDirectUdpReceive(link.session()));
  const Receive direct = transport->f_recv;
  EXPECT_NE(direct, &netsnmp_udpbase_recv);
  EXPECT_TRUE(UseDirectUdpReceive(link.session()));  // already so: nothing changes
  EXPECT_EQ(transport->f_recv, direct);

  ASSERT_TRUE(link.Deliver("second"));
  const int lookups = __atomic_load_n(&g_getsockname, __ATOMIC_RELAXED);
  const Read read = ReadWith(direct, transport);
  EXPECT_EQ(__atomic_load_n(&g_getsockname, __ATOMIC_RELAXED), lookups);
  EXPECT_EQ(read.bytes, "second");
  EXPECT_EQ(read.pair_length, own.pair_length);
  EXPECT_EQ(std::memcmp(&read.pair, &own.pair, sizeof read.pair), 0)
      << "the source (agent) and local (session) addresses net-snmp is handed differ";

  // Nothing waiting: -1 at once, as net-snmp's own gives, with an address pair to free.
  const Read none = ReadWith(direct, transport);
  EXPECT_EQ(none.length, -1);
  EXPECT_EQ(none.pair_length, static_cast<int>(sizeof none.pair));
}

TEST(UdpReceive, OnlyNetSnmpsOwnUdpIpv4ReceiveIsReplaced) {
  {  // wrapped first: the wrapper keeps calling net-snmp's own function
    Link link;
    ASSERT_NE(link.session(), nullptr);
    ASSERT_TRUE(ReadBareFloats(link.session()));
    const Receive wrapped = link.transport()->f_recv;
    EXPECT_FALSE(UseDirectUdpReceive(link.session()));
    EXPECT_EQ(link.transport()->f_recv, wrapped);
  }
  {  // UDP over IPv6 reads with one call already
    Link link("udp6:[::1]:9");
    if (link.session() == nullptr) GTEST_SKIP() << "no IPv6 loopback here";
    const Receive own = link.transport()->f_recv;
    EXPECT_FALSE(UseDirectUdpReceive(link.session()));
    EXPECT_EQ(link.transport()->f_recv, own);
  }
}

}  // namespace
