// Which peer names the walk accepts, and what they name: UDP over IPv4 or IPv6, nothing else.
//
// net-snmp picks the transport from the peer name when its session opens: the text before the
// first ':' when that is the name of one of its transport domains ("tcp:10.0.0.7:161",
// "unix:/run/agent"), a Unix socket for a text that starts with '/', and otherwise UDP, over
// IPv4 first and over IPv6 when the address is none of IPv4's, with the whole text as address or
// host name and optional port. The walk takes UDP only: the other transports connect inside
// snmp_sess_open, which blocks (a full listen queue held a stop for minutes) with no way to cut
// it short, and they end sessions in ways a datagram exchange never meets. ParseUdpPeer accepts,
// with prefixes in any case:
//   ADDRESS, HOST, ADDRESS:PORT, HOST:PORT    UDP over IPv4 (IPv6 for a HOST that has no IPv4
//                                             address); port 161 unless given
//   udp:ADDRESS[:PORT], udp:HOST[:PORT]       UDP over IPv4 only
//   udp6:ADDRESS, udp6:[ADDRESS]:PORT, udp6:HOST[:PORT]   UDP over IPv6 only
// and, as net-snmp reads them, "[ADDRESS]" in brackets, "HOST@INTERFACE" and a port alone. It
// refuses, each with its own reason:
//   - a name with a NUL character (net-snmp would read it only up to the NUL, and walk another
//     peer than the one configured), and one with white space in it (at either end too: no
//     address or host name has any);
//   - a '[' without its ']';
//   - every other transport net-snmp 5.8 and 5.9 register, by any of their names (tcp, tcp6,
//     unix, tls, dtls, ssh, alias, ipv6, udpshared, ...), a name that starts with '/', and any
//     other NAME:REST:MORE (a transport a later release may add);
//   - a port that is not a number from 1 to 65535 ("10.0.5.21:70000", ":0", ":-1", ":snmp");
//   - an IPv6 address without the udp6 prefix ("::1", "fd00::21:1161"), which cannot say where
//     the address ends and the port begins;
//   - a host name longer than 253 bytes (the longest name DNS has).
// An empty name is not a peer at all (the device then does not walk, without a line).
#pragma once

#include <string>

struct UdpPeer {
  enum class Domain { kEither, kIPv4, kIPv6 };  // no prefix, "udp:", "udp6:"
  Domain domain = Domain::kEither;
  std::string host;        // address or host name; empty: net-snmp's "any" address
  std::string interface;   // after '@', as net-snmp binds to it; usually empty
  std::string port;        // the decimal port as written; empty: net-snmp's default (161)
  bool bracketed = false;  // the host was written in [ ]
};

// Why a peer name is refused, with the line's wording.
struct PeerRefusal {
  enum class Kind { kNone, kNul, kSpace, kNotUdp, kForm, kPort, kBareIPv6, kLongName };
  Kind kind = Kind::kNone;
  // Completes `ip: "NAME"` in the line that names the refusal: " is not UDP (...)", say.
  std::string why;
  // The walk's short reason: "ip is not UDP", "ip has no usable port", ...
  std::string walk_reason;
};

// Splits `peer` as net-snmp will read it; a refusal (kind != kNone) when the walk must not use
// it. `peer` must not be empty.
PeerRefusal ParseUdpPeer(const std::string& peer, UdpPeer* out);

// True when `host` is an IPv4 (or, with `ipv6`, an IPv6) address as glibc reads one without
// asking a resolver ("10.0.5.21", "127.1", "fd00::21%eth0").
bool IsNumericAddress(const std::string& host, bool ipv6);

// The peer name net-snmp is given for `peer` once its host is known to be `address` (numeric
// text, IPv4 when `ipv6` is false): "udp:10.0.5.21:1161", "udp6:[fd00::21]:161" or, without a
// port, "udp:10.0.5.21" (net-snmp's default port applies, as it would have).
std::string NumericPeerName(const UdpPeer& peer, const std::string& address, bool ipv6);

bool IsUdpPeer(const std::string& peer);
