// Reading floats that a unit sends with the bare application tag 8 (0x48, four bytes).
//
// net-snmp reads a float only as an Opaque that wraps it (44 07 9f 78 04 <4 bytes>) and drops
// a whole response that carries the bare form. RewriteBareFloats turns each bare float value of
// an SNMPv1/v2c Response into the wrapped form before net-snmp parses the message, bit for bit,
// so both encodings reach the walk as the same float. ReadBareFloats makes an open session's
// transport do this to every datagram it receives.
//
// Only community-based messages are rewritten: an SNMPv3 message is left exactly as it came,
// since its bytes are authenticated and may be encrypted.
#pragma once

#include <cstddef>

// Rewrites the `length`-byte message at `message` in place and returns its new length, which
// is at most `capacity`. Every variable binding value 48 04 b1 b2 b3 b4 becomes
// 44 07 9f 78 04 b1 b2 b3 b4, and the lengths around it grow to match. The message is left
// unchanged (and `length` returned) when it holds no bare float of four bytes, when it is not
// a well-formed SNMPv1/v2c Response as far as the rewrite must read it, or when the result
// would not fit in `capacity`. Reads only the `length` bytes given (none, and `message` may be
// null, when `length` is 0); never throws.
std::size_t RewriteBareFloats(unsigned char* message, std::size_t length,
                              std::size_t capacity) noexcept;

// Makes the transport of the open session `session` (from snmp_sess_open) rewrite every
// datagram it receives, as above. False when it could not (the session has no transport, or it
// uses more kinds of transport than the rewrite keeps track of); the session then reads floats
// as net-snmp does.
bool ReadBareFloats(void* session);
