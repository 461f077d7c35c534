// What the kernel learns about a session's peer from ICMP: a closed port, an unreachable host.
//
// A UDP client socket that is not connected hears of no ICMP error unless it asks. With
// ReceiveIcmpErrors, the open session's socket asks (IP_RECVERR over IPv4, IPV6_RECVERR and
// IP_RECVERR over IPv6, whose IPv4-mapped peers are reached over IPv4): each error about a
// datagram it sent is queued on the socket, and a wait on the socket then reports POLLERR.
// ReadUnreachable drains that queue (MSG_ERRQUEUE) and says whether an
// error ends the exchange: a destination-unreachable (a closed port, an unreachable host or
// network, a prohibited route) or a time exceeded, about a datagram sent to the session's peer
// itself (its address and port, as the session sends to them). A "fragmentation needed" or
// "packet too big" error only tells a path's size and ends nothing; neither does an error about
// any other destination. The socket still takes datagrams as before, and nothing else of the
// session changes: answers stay as the session's own receive function and filters take them.
#pragma once

#include <cstddef>

// Makes the open session `session` (from snmp_sess_open) hear of ICMP errors. False when its
// transport is not UDP over IPv4 or IPv6, or the socket refuses the option.
bool ReceiveIcmpErrors(void* session) noexcept;

// Reads every error queued on the session's socket. True when one ends the exchange: then
// `reason` holds what the kernel said, as "port unreachable at 127.0.0.1:1161 (ICMP from
// 127.0.0.1)" (cut to `size` bytes, always terminated). False when the queue held none such, or
// nothing at all.
bool ReadUnreachable(void* session, char* reason, std::size_t size) noexcept;
