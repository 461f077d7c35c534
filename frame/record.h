// The device data record: the packed 5087-byte image a device publishes every round.
//
//   offset 0     device id, unsigned 32-bit
//   offset 4k    value slot k (1 <= k <= 1269), IEEE 754 binary32; there is no slot 0
//   offset 5080  7-byte time stamp from get_ttime
//
// Little-endian, packed, published and restored byte for byte. Slots are read and written
// through memcpy (Slot/SetSlot) because a packed member may sit at any address, and a 32-bit
// ARM core faults on unaligned floating-point loads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

constexpr int kSlotCount = 1269;
constexpr std::size_t kRecordSize = 5087;
constexpr std::size_t kStampSize = 7;

#pragma pack(push, 1)
struct SNMP_MARLUXA_AC_POWER_Data_t {
  uint32_t id;                      // device id
  float value[kSlotCount];          // value[k - 1] is value slot k
  unsigned char stamp[kStampSize];  // time of the last round end
};
#pragma pack(pop)

static_assert(sizeof(SNMP_MARLUXA_AC_POWER_Data_t) == kRecordSize, "record is 5087 bytes");
static_assert(offsetof(SNMP_MARLUXA_AC_POWER_Data_t, id) == 0, "id at 0");
static_assert(offsetof(SNMP_MARLUXA_AC_POWER_Data_t, value) == 4, "slot 1 at 4");
static_assert(offsetof(SNMP_MARLUXA_AC_POWER_Data_t, value) + 4 * (kSlotCount - 1) == 5076,
              "slot 1269 at 5076");
static_assert(offsetof(SNMP_MARLUXA_AC_POWER_Data_t, stamp) == 5080, "stamp at 5080");

// Byte offset of value slot k.
constexpr std::size_t SlotOffset(int k) { return 4 * static_cast<std::size_t>(k); }

inline unsigned char* RecordBytes(SNMP_MARLUXA_AC_POWER_Data_t& r) {
  return reinterpret_cast<unsigned char*>(&r);
}
inline const unsigned char* RecordBytes(const SNMP_MARLUXA_AC_POWER_Data_t& r) {
  return reinterpret_cast<const unsigned char*>(&r);
}

// Value slot k, 1 <= k <= kSlotCount (the caller checks the range).
inline float Slot(const SNMP_MARLUXA_AC_POWER_Data_t& r, int k) {
  float v;
  std::memcpy(&v, RecordBytes(r) + SlotOffset(k), sizeof v);
  return v;
}
inline void SetSlot(SNMP_MARLUXA_AC_POWER_Data_t& r, int k, float v) {
  std::memcpy(RecordBytes(r) + SlotOffset(k), &v, sizeof v);
}

inline uint32_t RecordId(const SNMP_MARLUXA_AC_POWER_Data_t& r) {
  uint32_t id;
  std::memcpy(&id, RecordBytes(r), sizeof id);
  return id;
}
inline void SetRecordId(SNMP_MARLUXA_AC_POWER_Data_t& r, uint32_t id) {
  std::memcpy(RecordBytes(r), &id, sizeof id);
}
