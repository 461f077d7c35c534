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

  // Filters what the open session `session` (from snmp_sess_open) receives. False when it is
  // not filtered (see above).
  bool Install(void* session) noexcept;
  // Gives the transport its receive function back; the session may then be closed.
  void Remove() noexcept;

  // Datagrams dropped since Install.
  unsigned dropped() const { return dropped_; }
  // The first dropped datagram's source ("127.0.0.1:40001", "[::1]:40001"), and the peer's
  // address in the same form; empty before any drop.
  const std::string& first_source() const { return first_source_; }
  std::string peer() const;

  // Called by the receive wrapper; not for other use.
  void Count(const void* source) noexcept;

 private:
  void* transport_ = nullptr;  // the filtered netsnmp_transport
  unsigned dropped_ = 0;
  std::string first_source_;
};

// "ADDRESS:PORT" for IPv4, "[ADDRESS]:PORT" for IPv6, of a sockaddr; "" for another family.
std::string SocketAddressText(const void* sockaddr);
