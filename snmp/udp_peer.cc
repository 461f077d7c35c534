#include "snmp/udp_peer.h"

#include <netdb.h>
#include <strings.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <cstring>

namespace {

// The names of every other transport domain net-snmp 5.8 and 5.9 register (an IPv6 UDP domain's
// other names among them: the walk takes one spelling of each transport).
constexpr const char* kOtherDomains[] = {
    "ipv6",    "udpv6", "udpipv6", "udpshared", "tcp",     "tcp6",    "tcpv6",
    "tcpipv6", "unix",  "tlstcp",  "tls",       "dtlsudp", "dtls",    "dtlsudp6",
    "dtls6",   "ssh",   "alias",   "std",       "ipx",     "aal5pvc", "pvc"};

constexpr size_t kLongestHostName = 253;
// net-snmp keeps a port as at most five characters of its text: "000161" would be read as 16.
constexpr size_t kLongestPortText = 5;

bool AllDigits(const std::string& text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// What stands after HOST: is meant as a port when it is a word or a signed number ("snmp",
// "-1", ""); a dotted, bracketed or slashed text is an address, so NAME:REST is then a
// transport this release does not name.
bool LooksLikePort(const std::string& text) {
  for (char c : text) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '+') return false;
  }
  return true;
}

bool NumericFor(const std::string& host, int family) {
  addrinfo hints{};
  hints.ai_flags = AI_NUMERICHOST;
  hints.ai_family = family;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0) return false;
  freeaddrinfo(found);
  return true;
}

PeerRefusal Refuse(PeerRefusal::Kind kind, std::string why, const char* walk_reason) {
  PeerRefusal r;
  r.kind = kind;
  r.why = std::move(why);
  r.walk_reason = walk_reason;
  return r;
}

PeerRefusal NotUdp() {
  return Refuse(PeerRefusal::Kind::kNotUdp,
                " is not UDP (ADDRESS[:PORT], udp:ADDRESS[:PORT] or udp6:[ADDRESS]:PORT)",
                "ip is not UDP");
}

// Splits `rest` (the text after a domain prefix, or the whole name) as net-snmp's endpoint
// parser does: "PORT" alone, "[ADDRESS]", "ADDRESS" or "HOST", each optionally followed by
// "@INTERFACE" and ":PORT"; a name with more than one ':' and no brackets is all address.
// False when net-snmp would not read it as an endpoint (then *port_text holds what stood
// where the port goes, if anything did).
bool SplitEndpoint(const std::string& rest, UdpPeer* out, std::string* port_text) {
  if (AllDigits(rest)) {
    *port_text = rest;
    return true;
  }
  std::string tail;
  if (!rest.empty() && rest[0] == '[') {
    const size_t close = rest.find(']');
    if (close == std::string::npos) return false;
    out->host = rest.substr(1, close - 1);
    out->bracketed = true;
    tail = rest.substr(close + 1);
  } else if (!rest.empty() && rest[0] != '@' && (rest[0] != ':' || rest.compare(0, 2, "::") == 0)) {
    const size_t at = rest.find('@');
    size_t split = at;
    if (split == std::string::npos) {
      split = rest.rfind(':');
      if (split != std::string::npos && rest.find(':') != split) split = std::string::npos;
    }
    out->host = rest.substr(0, split);
    if (split != std::string::npos) tail = rest.substr(split);
  } else {
    tail = rest;
  }
  if (!tail.empty() && tail[0] == '@') {
    const size_t colon = tail.find(':');
    out->interface = tail.substr(1, colon == std::string::npos ? std::string::npos : colon - 1);
    tail = colon == std::string::npos ? std::string() : tail.substr(colon);
  }
  if (!tail.empty() && tail[0] == ':') {
    *port_text = tail.substr(1);
    return AllDigits(*port_text);
  }
  return tail.empty();
}

}  // namespace

PeerRefusal ParseUdpPeer(const std::string& peer, UdpPeer* out) {
  *out = UdpPeer();
  const size_t nul = peer.find('\0');
  if (nul != std::string::npos) {
    return Refuse(PeerRefusal::Kind::kNul,
                  " contains a NUL character at byte " + std::to_string(nul + 1),
                  "ip contains a NUL character");
  }
  // A space, a tab or a line end is no part of any address or host name (a value pasted with
  // its surroundings, say): named as such, not as another transport.
  const auto blank = std::find_if(peer.begin(), peer.end(), [](char c) {
    return std::isspace(static_cast<unsigned char>(c)) != 0;
  });
  if (blank != peer.end()) {
    return Refuse(PeerRefusal::Kind::kSpace,
                  " contains white space at byte " + std::to_string(blank - peer.begin() + 1) +
                      " (an address or host name has none)",
                  "ip contains white space");
  }
  if (peer.empty() || peer[0] == '/') return NotUdp();
  std::string rest = peer;
  const size_t colon = peer.find(':');
  if (colon != std::string::npos) {
    const std::string prefix = peer.substr(0, colon);
    if (strcasecmp(prefix.c_str(), "udp") == 0 || strcasecmp(prefix.c_str(), "udp6") == 0) {
      out->domain = prefix.size() == 3 ? UdpPeer::Domain::kIPv4 : UdpPeer::Domain::kIPv6;
      rest = peer.substr(colon + 1);
    } else {
      for (const char* domain : kOtherDomains) {
        if (strcasecmp(prefix.c_str(), domain) == 0) return NotUdp();
      }
    }
  }
  std::string port_text;
  if (!rest.empty() && rest[0] == '[' && rest.find(']') == std::string::npos) {
    return Refuse(PeerRefusal::Kind::kForm, ": the address after '[' has no closing ']'",
                  "ip is not in a form the walk reads");
  }
  if (!SplitEndpoint(rest, out, &port_text)) {
    // Something stands where the port goes and is no number: a wrong port, unless the name has
    // more to it than HOST:PORT (a transport this release does not name).
    if (std::count(rest.begin(), rest.end(), ':') == 1 && LooksLikePort(port_text)) {
      return Refuse(PeerRefusal::Kind::kPort,
                    ": the port must be a number from 1 to 65535, not \"" + port_text + "\"",
                    "ip has no usable port");
    }
    return NotUdp();
  }
  if (!port_text.empty()) {
    const long port = port_text.size() > kLongestPortText ? 0 : std::stol(port_text);
    if (port < 1 || port > 65535) {
      const bool plain =
          port_text.size() <= kLongestPortText && (port_text.size() == 1 || port_text[0] != '0');
      const std::string shown = plain ? port_text : "\"" + port_text + "\"";
      return Refuse(PeerRefusal::Kind::kPort,
                    ": the port must be a number from 1 to 65535, not " + shown,
                    "ip has no usable port");
    }
    out->port = port_text;
  }
  if (!out->bracketed && out->host.find(':') != std::string::npos) {
    // Only an IPv6 address has a ':' in it; without brackets it takes the whole name.
    if (!NumericFor(out->host, AF_INET6)) return NotUdp();
    if (out->domain != UdpPeer::Domain::kIPv6) {
      return Refuse(PeerRefusal::Kind::kBareIPv6,
                    " is an IPv6 address: write it udp6:[ADDRESS] or udp6:[ADDRESS]:PORT",
                    "ip is an IPv6 address without udp6:");
    }
  }
  if (out->host.size() > kLongestHostName) {
    return Refuse(PeerRefusal::Kind::kLongName,
                  ": the host name is longer than " + std::to_string(kLongestHostName) + " bytes",
                  "ip names no usable host");
  }
  return PeerRefusal();
}

bool IsNumericAddress(const std::string& host, bool ipv6) {
  return NumericFor(host, ipv6 ? AF_INET6 : AF_INET);
}

std::string NumericPeerName(const UdpPeer& peer, const std::string& address, bool ipv6) {
  std::string name = ipv6 ? "udp6:[" + address + "]" : "udp:" + address;
  if (!peer.interface.empty()) name += "@" + peer.interface;
  if (!peer.port.empty()) name += ":" + peer.port;
  return name;
}

bool IsUdpPeer(const std::string& peer) {
  UdpPeer parsed;
  return !peer.empty() && ParseUdpPeer(peer, &parsed).kind == PeerRefusal::Kind::kNone;
}
