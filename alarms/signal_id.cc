#include "alarms/signal_id.h"

#include <cstring>

namespace {

constexpr char kPrefix[] = "12083017";
constexpr std::size_t kPrefixLength = sizeof(kPrefix) - 1;
constexpr int kMinDigits = 3;
constexpr int kMaxDigits = 5;  // 65535

static_assert(kPrefixLength + kMaxDigits + 1 == kMaxSignalIdLength,
              "kMaxSignalIdLength must fit the longest ID");

}  // namespace

void FormatSignalId(unsigned short counter, std::string* out) {
  // Digits are produced least significant first into the tail of `digits`.
  char digits[kMaxDigits];
  int n = 0;
  unsigned value = counter;
  do {
    digits[kMaxDigits - 1 - n] = static_cast<char>('0' + value % 10);
    value /= 10;
    ++n;
  } while (value != 0 && n < kMaxDigits);
  while (n < kMinDigits) {
    digits[kMaxDigits - 1 - n] = '0';
    ++n;
  }

  char buf[kMaxSignalIdLength];
  std::memcpy(buf, kPrefix, kPrefixLength);
  std::memcpy(buf + kPrefixLength, digits + kMaxDigits - n, static_cast<std::size_t>(n));
  std::size_t length = kPrefixLength + static_cast<std::size_t>(n);
  buf[length++] = '0';
  out->assign(buf, length);
}
