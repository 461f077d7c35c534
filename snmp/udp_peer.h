// Which peer names the walk accepts: UDP over IPv4 or IPv6, nothing else.
//
// net-snmp picks the transport from the peer name when its session opens: the text before the
// first ':' when that is the name of one of its transport domains ("tcp:10.0.0.7:161",
// "unix:/run/agent"), a Unix socket for a text that starts with '/', and otherwise UDP over
// IPv4 with the whole text as address or host name and optional port. The walk takes UDP only:
// the other transports connect inside snmp_sess_open, which blocks (a full listen queue held a
// stop for minutes) with no way to cut it short, and they end sessions in ways a datagram
// exchange never meets. IsUdpPeer accepts, with prefixes in any case:
//   ADDRESS, HOST, ADDRESS:PORT, HOST:PORT    UDP over IPv4 (port 161 unless given)
//   udp:ADDRESS[:PORT], udp:HOST[:PORT]       the same, named
//   udp6:ADDRESS, udp6:[ADDRESS]:PORT, udp6:HOST[:PORT]   UDP over IPv6
// and refuses an empty name, a name that starts with '/', every other transport net-snmp 5.8
// and 5.9 register, by any of their names (tcp, tcp6, unix, tls, dtls, ssh, alias, ipv6,
// udpshared, ...), and any other NAME:REST whose REST is not a decimal port (a transport a later
// release may add). A name is read as net-snmp reads it, up to its first NUL character.
#pragma once

#include <string>

bool IsUdpPeer(const std::string& peer);
