// Arbitrary bytes as a device's `ip`, read by the peer-name parser (snmp/udp_peer.h).
//
// Whatever the text, the parser answers, and the same way twice. A refusal carries both of its
// texts; a NUL anywhere is refused as such. An accepted name has no NUL, a port that is empty or
// a number from 1 to 65535, a host of at most 253 bytes that appears in the name, and a ':' in
// the host only for an IPv6 address (in brackets, or after udp6:). When the accepted host is an
// address, the name the walk hands net-snmp for it (NumericPeerName) is accepted again and names
// the same address (in the form a lookup gives it), interface and port, over the same family.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/fuzz_support.h"
#include "snmp/udp_peer.h"

namespace {

bool Same(const UdpPeer& a, const UdpPeer& b) {
  return a.domain == b.domain && a.host == b.host && a.interface == b.interface &&
         a.port == b.port && a.bracketed == b.bracketed;
}

// `host` (an address of the family) in the form a lookup answers it: inet_ntop's text.
std::string Canonical(const std::string& host, bool ipv6) {
  addrinfo hints{};
  hints.ai_family = ipv6 ? AF_INET6 : AF_INET;
  hints.ai_flags = AI_NUMERICHOST;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) return "";
  char text[INET6_ADDRSTRLEN] = "";
  const void* bytes =
      ipv6 ? static_cast<const void*>(&reinterpret_cast<sockaddr_in6*>(found->ai_addr)->sin6_addr)
           : static_cast<const void*>(&reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr);
  inet_ntop(hints.ai_family, bytes, text, sizeof text);
  freeaddrinfo(found);
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::Quiet();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string peer(reinterpret_cast<const char*>(data), size);
  if (peer.empty()) {
    FUZZ_CHECK(!IsUdpPeer(peer));
    return 0;  // not a peer at all: the device does not walk
  }
  UdpPeer parsed, again;
  const PeerRefusal refusal = ParseUdpPeer(peer, &parsed);
  const PeerRefusal second = ParseUdpPeer(peer, &again);
  FUZZ_CHECK(refusal.kind == second.kind && refusal.why == second.why);
  FUZZ_CHECK(IsUdpPeer(peer) == (refusal.kind == PeerRefusal::Kind::kNone));
  FUZZ_CHECK((refusal.kind == PeerRefusal::Kind::kNul) == (peer.find('\0') != std::string::npos));
  if (refusal.kind != PeerRefusal::Kind::kNone) {
    FUZZ_CHECK(!refusal.why.empty() && !refusal.walk_reason.empty());
    return 0;
  }
  FUZZ_CHECK(Same(parsed, again));
  FUZZ_CHECK(refusal.why.empty() && refusal.walk_reason.empty());
  FUZZ_CHECK(parsed.host.size() <= 253);
  FUZZ_CHECK(peer.find(parsed.host) != std::string::npos);
  if (!parsed.port.empty()) {
    FUZZ_CHECK(parsed.port.size() <= 5);
    for (char c : parsed.port) FUZZ_CHECK(c >= '0' && c <= '9');
    const long port = std::stol(parsed.port);
    FUZZ_CHECK(port >= 1 && port <= 65535);
  }
  if (parsed.host.find(':') != std::string::npos) {
    FUZZ_CHECK(parsed.bracketed || parsed.domain == UdpPeer::Domain::kIPv6);
  }
  // The name the walk opens the session on once the host is known as an address.
  for (bool ipv6 : {false, true}) {
    if ((ipv6 && parsed.domain == UdpPeer::Domain::kIPv4) ||
        (!ipv6 && parsed.domain == UdpPeer::Domain::kIPv6) ||
        !IsNumericAddress(parsed.host, ipv6)) {
      continue;
    }
    // The address as a lookup gives it back (inet_ntop's form), as the walk writes it.
    const std::string address = Canonical(parsed.host, ipv6);
    FUZZ_CHECK(!address.empty());
    const std::string numeric = NumericPeerName(parsed, address, ipv6);
    UdpPeer reread;
    FUZZ_CHECK(ParseUdpPeer(numeric, &reread).kind == PeerRefusal::Kind::kNone);
    FUZZ_CHECK(reread.domain == (ipv6 ? UdpPeer::Domain::kIPv6 : UdpPeer::Domain::kIPv4));
    FUZZ_CHECK(reread.host == address);
    FUZZ_CHECK(reread.interface == parsed.interface);
    FUZZ_CHECK(reread.port == parsed.port);
  }
  return 0;
}
