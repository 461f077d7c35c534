// Signal IDs under which alarm signals are reported to the host.
//
// The ID of signal number c is "12083017", then c in decimal filled on the
// left with '0' to at least three digits (never cut), then "0":
// 1 -> "120830170010", 429 -> "120830174290", 1000 -> "1208301710000".
// An ID is at most 14 characters long (kMaxSignalIdLength).

#ifndef DEVICE_SIGNAL_ID_H_
#define DEVICE_SIGNAL_ID_H_

#include <cstddef>
#include <string>

inline constexpr std::size_t kMaxSignalIdLength = 14;

// Replaces *out with the ID of signal number `counter`. Does not allocate when
// out->capacity() >= kMaxSignalIdLength, which a default-constructed string
// already satisfies with libstdc++.
void FormatSignalId(unsigned short counter, std::string* out);

#endif  // DEVICE_SIGNAL_ID_H_
