// Answers taken only from the peer a session sends to.
//
// A UDP client socket that is not connected receives datagrams from anyone, and net-snmp takes
// any answer whose request id matches. A PeerFilter, installed on an open session, makes its
// transport's receive function pass on only datagrams whose source address and port are those of
// the session's peer (its transport's remote address). Any other datagram is read and dropped
// before net-snmp parses it: net-snmp sees an empty read (which it neither parses nor counts as
// an error), the wait for the answer goes on, and the filter counts the drop and remembers the
// first source, so that the walk can name it ("... from 127.0.0.1:40001, not from the peer
// 127.0.0.1:1161"). The filter composes with other wrappers of the same receive function (it
// calls whatever it replaced), and sees datagrams before they are judged.
//
// A unit that answers from another of its own addresses (an agent bound to the any-address that
// does not choose its reply's source, a virtual address, a dual-stack front) can be let through
// with `any_address`: then the source's port must still be the peer's, and the address may be
// any. Either way net-snmp still takes only answers that carry a pending request's id (and, over
// SNMPv2c, the session's community). The filter counts apart the drops that came from the peer's
// port at another address, which `any_address` would have taken.
//
// Install and Remove run on the walking thread, around the session's life (Remove before
// snmp_sess_close); datagrams are read only on that thread. A session whose transport is not UDP
// over IPv4 or IPv6, or whose peer address is unknown, is not filtered.
#pragma once

#include <string>

class PeerFilter {
 public:
  PeerFilter() = default;
  PeerFilter(const PeerFilter&) = delete;
  PeerFilter& operator=(const PeerFilter&) = delete;
  ~PeerFilter() { Remove(); }

  // Filters what the open session `session` (from snmp_sess_open) receives, from the peer's
  // address and port, or with `any_address` from the peer's port at any address. False when it
  // is not filtered (see above).
  bool Install(void* session, bool any_address = false) noexcept;
  // Gives the transport its receive function back; the session may then be closed.
  void Remove() noexcept;

  // Datagrams dropped since Install, and those of them that came from the peer's port at
  // another address.
  unsigned dropped() const { return dropped_; }
  unsigned dropped_from_other_address() const { return other_address_; }
  // The first dropped datagram's source ("127.0.0.1:40001", "[::1]:40001"), and the peer's
  // address in the same form; empty before any drop.
  const std::string& first_source() const { return first_source_; }
  std::string peer() const;

  // Called by the receive wrapper; not for other use.
  void Count(const void* source) noexcept;
  bool any_address() const { return any_address_; }

 private:
  void* transport_ = nullptr;  // the filtered netsnmp_transport
  bool any_address_ = false;
  unsigned dropped_ = 0;
  unsigned other_address_ = 0;
  std::string first_source_;
};

// True when the sockaddr `source` is the sockaddr `peer` (UDP over IPv4 or IPv6): the same family
// and port, and the same address unless `any_address`. A peer at the "any" address (a port alone,
// which reaches this host) or at the broadcast address answers from addresses of its own: only
// the port counts then.
bool IsPeerAddress(const void* source, const void* peer, bool any_address = false);

// "ADDRESS:PORT" for IPv4, "[ADDRESS]:PORT" for IPv6, of a sockaddr; "" for another family.
std::string SocketAddressText(const void* sockaddr);
