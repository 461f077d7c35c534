#include "snmp/peer_filter.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_map>

#include "snmp/net_snmp.h"

namespace {

using ReceiveFunction = int (*)(netsnmp_transport*, void*, int, void**, int*);

struct Filtered {
  ReceiveFunction original;
  PeerFilter* filter;
};

// The filtered transports of every walk in progress, each with the receive function it had.
struct Registry {
  std::mutex mutex;
  std::unordered_map<const netsnmp_transport*, Filtered> by_transport;
};

// Destroyed with the library: every walk has ended (and removed its entry) by then.
Registry& TheRegistry() {
  static Registry registry;
  return registry;
}

// The length of a sockaddr of the transport's family, or 0 when the family is neither.
size_t AddressLength(int family) {
  return family == AF_INET ? sizeof(sockaddr_in) : family == AF_INET6 ? sizeof(sockaddr_in6) : 0;
}

// The receive function of a filtered transport. The UDP transports hand the source back at the
// start of `*opaque` (a netsnmp_indexed_addr_pair over IPv4, a sockaddr_in6 over IPv6).
int ReceiveFromPeer(netsnmp_transport* transport, void* buffer, int size, void** opaque,
                    int* opaque_length) {
  Filtered filtered{nullptr, nullptr};
  {
    Registry& r = TheRegistry();
    std::lock_guard<std::mutex> lock(r.mutex);
    auto it = r.by_transport.find(transport);
    if (it != r.by_transport.end()) filtered = it->second;
  }
  if (filtered.original == nullptr) return -1;  // never installed here: nothing to read with
  const int received = filtered.original(transport, buffer, size, opaque, opaque_length);
  if (received <= 0 || opaque == nullptr || *opaque == nullptr || opaque_length == nullptr) {
    return received;
  }
  const auto* source = static_cast<const sockaddr*>(*opaque);
  const size_t needed = AddressLength(static_cast<const sockaddr*>(transport->remote)->sa_family);
  if (*opaque_length >= static_cast<int>(needed) &&
      IsPeerAddress(source, transport->remote, filtered.filter->any_address())) {
    return received;
  }
  filtered.filter->Count(source);
  // An empty read that net-snmp passes over without parsing it and without an error.
  std::free(*opaque);
  *opaque = nullptr;
  *opaque_length = 0;
  transport->flags |= NETSNMP_TRANSPORT_FLAG_EMPTY_PKT;
  return 0;
}

}  // namespace

bool IsPeerAddress(const void* source_address, const void* peer, bool any_address) {
  const auto* source = static_cast<const sockaddr*>(source_address);
  const auto* remote = static_cast<const sockaddr*>(peer);
  if (source->sa_family != remote->sa_family) return false;
  if (remote->sa_family == AF_INET) {
    const auto* s = reinterpret_cast<const sockaddr_in*>(source);
    const auto* r = reinterpret_cast<const sockaddr_in*>(remote);
    if (s->sin_port != r->sin_port) return false;
    return any_address || r->sin_addr.s_addr == htonl(INADDR_ANY) ||
           r->sin_addr.s_addr == htonl(INADDR_NONE) || s->sin_addr.s_addr == r->sin_addr.s_addr;
  }
  if (remote->sa_family != AF_INET6) return false;
  const auto* s = reinterpret_cast<const sockaddr_in6*>(source);
  const auto* r = reinterpret_cast<const sockaddr_in6*>(remote);
  if (s->sin6_port != r->sin6_port) return false;
  return any_address || IN6_IS_ADDR_UNSPECIFIED(&r->sin6_addr) ||
         std::memcmp(&s->sin6_addr, &r->sin6_addr, sizeof s->sin6_addr) == 0;
}

std::string SocketAddressText(const void* address) {
  const auto* a = static_cast<const sockaddr*>(address);
  char text[INET6_ADDRSTRLEN] = "";
  if (a->sa_family == AF_INET) {
    const auto* in = static_cast<const sockaddr_in*>(address);
    inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(in->sin_port));
  }
  if (a->sa_family == AF_INET6) {
    const auto* in6 = static_cast<const sockaddr_in6*>(address);
    inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof text);
    return "[" + std::string(text) + "]:" + std::to_string(ntohs(in6->sin6_port));
  }
  return std::string();
}

bool PeerFilter::Install(void* session, bool any_address) noexcept {
  Remove();
  netsnmp_transport* transport = snmp_sess_transport(session);
  if (transport == nullptr || transport->f_recv == nullptr || transport->remote == nullptr ||
      (transport->flags & NETSNMP_TRANSPORT_FLAG_STREAM) != 0) {
    return false;
  }
  const int family = static_cast<const sockaddr*>(transport->remote)->sa_family;
  const size_t length = AddressLength(family);
  if (length == 0 || transport->remote_length < static_cast<int>(length)) return false;
  any_address_ = any_address;
  dropped_ = 0;
  other_address_ = 0;
  first_source_.clear();
  try {
    Registry& r = TheRegistry();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.by_transport[transport] = Filtered{transport->f_recv, this};
  } catch (...) {  // no memory for the entry: the session goes unfiltered
    return false;
  }
  transport->f_recv = &ReceiveFromPeer;
  transport_ = transport;
  return true;
}

void PeerFilter::Remove() noexcept {
  if (transport_ == nullptr) return;
  auto* transport = static_cast<netsnmp_transport*>(transport_);
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.mutex);
  auto it = r.by_transport.find(transport);
  if (it != r.by_transport.end()) {
    if (transport->f_recv == &ReceiveFromPeer) transport->f_recv = it->second.original;
    r.by_transport.erase(it);
  }
  transport_ = nullptr;
}

std::string PeerFilter::peer() const {
  if (transport_ == nullptr) return std::string();
  return SocketAddressText(static_cast<const netsnmp_transport*>(transport_)->remote);
}

void PeerFilter::Count(const void* source) noexcept {
  if (transport_ != nullptr &&
      IsPeerAddress(source, static_cast<const netsnmp_transport*>(transport_)->remote, true)) {
    ++other_address_;
  }
  if (dropped_++ != 0) return;
  try {
    first_source_ = SocketAddressText(source);
  } catch (...) {  // no memory for the text: the count still tells
  }
}
