#include "snmp/udp_peer.h"

#include <strings.h>

#include <cstring>

namespace {

// The names of every other transport domain net-snmp 5.8 and 5.9 register (an IPv6 UDP domain's
// other names among them: the walk takes one spelling of each transport).
constexpr const char* kOtherDomains[] = {
    "ipv6",    "udpv6", "udpipv6", "udpshared", "tcp",     "tcp6",    "tcpv6",
    "tcpipv6", "unix",  "tlstcp",  "tls",       "dtlsudp", "dtls",    "dtlsudp6",
    "dtls6",   "ssh",   "alias",   "std",       "ipx",     "aal5pvc", "pvc"};

}  // namespace

bool IsUdpPeer(const std::string& peer) {
  const char* name = peer.c_str();  // net-snmp's view: up to the first NUL
  if (*name == '\0' || *name == '/') return false;
  const char* colon = std::strchr(name, ':');
  if (colon == nullptr) return true;  // an address or host name alone
  const std::string prefix(name, colon);
  if (strcasecmp(prefix.c_str(), "udp") == 0 || strcasecmp(prefix.c_str(), "udp6") == 0) {
    return true;
  }
  for (const char* domain : kOtherDomains) {
    if (strcasecmp(prefix.c_str(), domain) == 0) return false;
  }
  // Not a domain this release names: UDP's HOST:PORT only when a decimal port is all that
  // follows, so that a transport a later net-snmp adds ("quic:10.0.0.7:161") is refused too.
  const char* port = colon + 1;
  if (*port == '\0') return false;
  for (const char* c = port; *c != '\0'; ++c) {
    if (*c < '0' || *c > '9') return false;
  }
  return true;
}
