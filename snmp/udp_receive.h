// Reading a datagram on an open session's UDP/IPv4 transport with one system call.
//
// net-snmp's own UDP/IPv4 receive function asks the kernel for the socket's local address
// (getsockname) after every datagram it reads, to hand net-snmp the pair of addresses the
// datagram travelled between. A client's socket is bound when its session opens, and net-snmp
// records that local address in the transport then; it never changes while the session is open.
// UseDirectUdpReceive gives the transport a receive function that reads the datagram as
// net-snmp's does (the same buffer, the same source address, without waiting) and hands over
// the local address recorded at the open instead of asking again: the same datagrams and the
// same address pair, one system call fewer per exchange.
//
// It replaces only net-snmp's own UDP/IPv4 receive function, and only on a client transport
// whose open recorded the local address; any other transport, or one whose receive function was
// already replaced or wrapped, keeps what it has. So it must be applied first, right after the
// open: whatever wraps the receive function later (ReadBareFloats, say) calls this one.
#pragma once

// True when the session's transport now reads this way.
bool UseDirectUdpReceive(void* session);
