// Building 5087-byte record images for tests.
#pragma once

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "frame/record.h"

// Sets the process's time zone (TZ, a POSIX rule such as "UTC0") for its lifetime, then puts
// the earlier setting back; the stamps' offsets from UTC then no longer depend on the machine.
class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const char* tz) {
    const char* earlier = std::getenv("TZ");
    had_ = earlier != nullptr;
    if (had_) earlier_ = earlier;
    setenv("TZ", tz, 1);
    tzset();
  }
  ~ScopedTimeZone() {
    if (had_) {
      setenv("TZ", earlier_.c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }
  ScopedTimeZone(const ScopedTimeZone&) = delete;
  ScopedTimeZone& operator=(const ScopedTimeZone&) = delete;

 private:
  bool had_ = false;
  std::string earlier_;
};

// An image with device id `id`, all slots zero, every catalogue alarm normal (slot 1 = 1) and
// the stamp 2026-12-07 20:15:03 plus `second_offset` seconds (0-56).
inline SNMP_MARLUXA_AC_POWER_Data_t MakeRecord(uint32_t id, int second_offset = 0) {
  SNMP_MARLUXA_AC_POWER_Data_t r;
  std::memset(&r, 0, sizeof r);
  SetRecordId(r, id);
  SetSlot(r, 1, 1.0f);
  const unsigned char stamp[kStampSize] = {
      0xEA, 0x07, 12, 7, 20, 15, static_cast<unsigned char>(3 + second_offset)};
  std::memcpy(r.stamp, stamp, sizeof stamp);
  return r;
}

inline std::string Bytes(const SNMP_MARLUXA_AC_POWER_Data_t& r) {
  return std::string(reinterpret_cast<const char*>(RecordBytes(r)), kRecordSize);
}
