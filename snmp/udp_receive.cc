#include "snmp/udp_receive.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "snmp/net_snmp.h"

#include <net-snmp/library/snmpUDPBaseDomain.h>

namespace {

// The address pair net-snmp recorded when the client transport opened (the peer and the local
// address), or null when it recorded no local address.
const netsnmp_indexed_addr_pair* Recorded(const netsnmp_transport* transport) {
  if (transport->data == nullptr ||
      transport->data_length != static_cast<int>(sizeof(netsnmp_indexed_addr_pair))) {
    return nullptr;
  }
  const auto* pair = static_cast<const netsnmp_indexed_addr_pair*>(transport->data);
  return pair->local_addr.sa.sa_family == AF_INET ? pair : nullptr;
}

// netsnmp_udpbase_recv, with the local address taken from the open instead of getsockname.
// Like it, it hands over a new address pair (net-snmp frees it) whether the read succeeds or
// not, and tries again when a signal interrupts the read.
int ReceiveDirect(netsnmp_transport* transport, void* buffer, int size, void** opaque,
                  int* opaque_length) {
  if (transport == nullptr || transport->sock < 0) return -1;
  // From malloc, which keeps freed blocks of this size at hand for the thread, rather than
  // calloc, which takes the allocator's lock every time. Its contents start as a copy of the
  // recorded pair, never as a zeroing of the whole block, which the compiler would turn back
  // into calloc.
  auto* pair =
      static_cast<netsnmp_indexed_addr_pair*>(std::malloc(sizeof(netsnmp_indexed_addr_pair)));
  if (pair == nullptr) {
    *opaque = nullptr;
    *opaque_length = 0;
    return -1;
  }
  if (const netsnmp_indexed_addr_pair* recorded = Recorded(transport)) {
    std::memcpy(pair, recorded, sizeof *pair);
  } else {  // not replaced on such a transport; read as net-snmp does, without the local address
    std::memset(pair, 0, sizeof *pair);
  }
  std::memset(&pair->remote_addr, 0, sizeof pair->remote_addr);
  pair->if_index = 0;  // a client's socket is given no packet information
  socklen_t from_length = sizeof pair->remote_addr;
  int received;
  do {
    received = static_cast<int>(recvfrom(transport->sock, buffer, static_cast<size_t>(size),
                                         MSG_DONTWAIT, &pair->remote_addr.sa, &from_length));
  } while (received < 0 && errno == EINTR);
  *opaque = pair;
  *opaque_length = sizeof(netsnmp_indexed_addr_pair);
  return received;
}

}  // namespace

bool UseDirectUdpReceive(void* session) {
  netsnmp_transport* transport = snmp_sess_transport(session);
  if (transport == nullptr || transport->f_recv != &netsnmp_udpbase_recv ||
      transport->local != nullptr || Recorded(transport) == nullptr) {
    return transport != nullptr && transport->f_recv == &ReceiveDirect;
  }
  transport->f_recv = &ReceiveDirect;
  return true;
}
