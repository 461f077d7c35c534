#include "snmp/icmp_errors.h"

#include <arpa/inet.h>
#include <linux/errqueue.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "snmp/net_snmp.h"
#include "snmp/peer_filter.h"

namespace {

// Bound on the errors read in one call: the queue holds one per datagram sent, and a walk sends
// a handful before it ends.
constexpr int kMostErrorsRead = 64;

int Family(const netsnmp_transport* transport) {
  if (transport == nullptr || transport->sock < 0 || transport->remote == nullptr ||
      (transport->flags & NETSNMP_TRANSPORT_FLAG_STREAM) != 0) {
    return AF_UNSPEC;
  }
  const int family = static_cast<const sockaddr*>(transport->remote)->sa_family;
  const int needed = family == AF_INET    ? static_cast<int>(sizeof(sockaddr_in))
                     : family == AF_INET6 ? static_cast<int>(sizeof(sockaddr_in6))
                                          : -1;
  return needed > 0 && transport->remote_length >= needed ? family : AF_UNSPEC;
}

// The kernel's word for an ICMP error that ends an exchange, or null for one that does not.
const char* Ending(const sock_extended_err& e) {
  if (e.ee_origin == SO_EE_ORIGIN_ICMP) {
    if (e.ee_type == 11) return "time exceeded";
    if (e.ee_type != 3) return nullptr;
    switch (e.ee_code) {
      case 0:
      case 6:
      case 11:
        return "network unreachable";
      case 1:
      case 7:
      case 12:
        return "host unreachable";
      case 2:
        return "protocol unreachable";
      case 3:
        return "port unreachable";
      case 4:  // fragmentation needed: the path's size, not an end
        return nullptr;
      case 9:
      case 10:
      case 13:
        return "administratively prohibited";
      default:
        return "destination unreachable";
    }
  }
  if (e.ee_origin == SO_EE_ORIGIN_ICMP6) {
    if (e.ee_type == 3) return "time exceeded";
    if (e.ee_type != 1) return nullptr;  // 2, packet too big: the path's size, not an end
    switch (e.ee_code) {
      case 0:
        return "network unreachable";
      case 3:
        return "host unreachable";
      case 4:
        return "port unreachable";
      case 1:
      case 5:
      case 6:
        return "administratively prohibited";
      default:
        return "destination unreachable";
    }
  }
  return nullptr;
}

// "127.0.0.1" or "::1" of a sockaddr, or "" when it has no address of either family.
void AddressText(const sockaddr* a, char* text, std::size_t size) {
  text[0] = '\0';
  if (a->sa_family == AF_INET) {
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(a)->sin_addr, text, size);
  } else if (a->sa_family == AF_INET6) {
    inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(a)->sin6_addr, text, size);
  }
}

}  // namespace

bool ReceiveIcmpErrors(void* session) noexcept {
  const netsnmp_transport* transport = snmp_sess_transport(session);
  const int family = Family(transport);
  const int on = 1;
  if (family == AF_INET) {
    return setsockopt(transport->sock, SOL_IP, IP_RECVERR, &on, sizeof on) == 0;
  }
  if (family == AF_INET6) {
    // An IPv4-mapped peer's errors arrive as IPv4's: asked for too, where the socket takes it.
    setsockopt(transport->sock, SOL_IP, IP_RECVERR, &on, sizeof on);
    return setsockopt(transport->sock, SOL_IPV6, IPV6_RECVERR, &on, sizeof on) == 0;
  }
  return false;
}

bool ReadUnreachable(void* session, char* reason, std::size_t size) noexcept {
  const netsnmp_transport* transport = snmp_sess_transport(session);
  if (Family(transport) == AF_UNSPEC || size == 0) return false;
  reason[0] = '\0';
  bool ends = false;
  for (int i = 0; i < kMostErrorsRead; ++i) {
    sockaddr_storage destination{};
    alignas(cmsghdr) unsigned char control[512];
    unsigned char data[1];
    iovec io{data, sizeof data};
    msghdr message{};
    message.msg_name = &destination;
    message.msg_namelen = sizeof destination;
    message.msg_iov = &io;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    if (recvmsg(transport->sock, &message, MSG_ERRQUEUE | MSG_DONTWAIT) < 0) {
      if (errno == EINTR) continue;
      break;  // EAGAIN: the queue is empty
    }
    // The error's destination is the address the datagram it is about was sent to.
    if (message.msg_namelen == 0 || !IsPeerAddress(&destination, transport->remote, false)) {
      continue;
    }
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr && !ends;
         c = CMSG_NXTHDR(&message, c)) {
      const bool ip = c->cmsg_level == SOL_IP && c->cmsg_type == IP_RECVERR;
      const bool ip6 = c->cmsg_level == SOL_IPV6 && c->cmsg_type == IPV6_RECVERR;
      if (!ip && !ip6) continue;
      sock_extended_err error;
      std::memcpy(&error, CMSG_DATA(c), sizeof error);
      const char* word = Ending(error);
      if (word == nullptr) continue;
      ends = true;
      // The offender follows the error in the same control data: the one who sent the ICMP.
      sockaddr_storage offender{};
      const std::size_t room = c->cmsg_len - CMSG_LEN(sizeof error);
      std::memcpy(&offender, CMSG_DATA(c) + sizeof error,
                  room < sizeof offender ? room : sizeof offender);
      char from[INET6_ADDRSTRLEN];
      AddressText(reinterpret_cast<const sockaddr*>(&offender), from, sizeof from);
      char to[INET6_ADDRSTRLEN];
      const auto* sent_to = reinterpret_cast<const sockaddr*>(&destination);
      AddressText(sent_to, to, sizeof to);
      const bool v6 = sent_to->sa_family == AF_INET6;
      const unsigned port = ntohs(v6 ? reinterpret_cast<const sockaddr_in6*>(sent_to)->sin6_port
                                     : reinterpret_cast<const sockaddr_in*>(sent_to)->sin_port);
      std::snprintf(reason, size, "%s at %s%s%s:%u%s%s%s", word, v6 ? "[" : "", to, v6 ? "]" : "",
                    port, from[0] ? " (ICMP from " : "", from, from[0] ? ")" : "");
    }
  }
  return ends;
}
