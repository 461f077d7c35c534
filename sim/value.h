// A value the simulated agent serves for one object.
//
// The type is the BER tag the value travels with (the same numbers the .snmprec format uses as
// tags). Numbers live in `number`, byte strings in `bytes`. A float is an Opaque whose bytes are
// the net-snmp "opaque float" wrapping 9f 78 04 <big-endian IEEE-754 single>, so it reaches a
// net-snmp client as ASN_OPAQUE_FLOAT with exactly the 32-bit pattern it was made from (NaN
// payloads and -0.0 included).
#ifndef SIM_VALUE_H_
#define SIM_VALUE_H_

#include <cstdint>
#include <cstring>
#include <string>

namespace pdusim {

struct Value {
  enum class Type : uint8_t {
    kInteger = 0x02,
    kOctetString = 0x04,
    kIpAddress = 0x40,
    kCounter32 = 0x41,
    kGauge32 = 0x42,
    kTimeTicks = 0x43,
    kOpaque = 0x44,
  };

  Type type = Type::kInteger;
  int64_t number = 0;  // INTEGER (int32 range), Counter32, Gauge32, TimeTicks (uint32 range)
  std::string bytes;   // OCTET STRING, IpAddress (4 bytes), Opaque

  static Value Integer(int32_t v) { return Value{Type::kInteger, v, {}}; }
  static Value Gauge32(uint32_t v) { return Value{Type::kGauge32, v, {}}; }
  static Value Counter32(uint32_t v) { return Value{Type::kCounter32, v, {}}; }
  static Value TimeTicks(uint32_t v) { return Value{Type::kTimeTicks, v, {}}; }
  static Value OctetString(std::string s) { return Value{Type::kOctetString, 0, std::move(s)}; }
  static Value Opaque(std::string raw) { return Value{Type::kOpaque, 0, std::move(raw)}; }
  static Value IpAddress(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
    return Value{Type::kIpAddress, 0, std::string{char(a), char(b), char(c), char(d)}};
  }
  // An opaque float holding exactly the bit pattern `bits`.
  static Value FloatBits(uint32_t bits) {
    return Opaque(std::string{'\x9f', '\x78', '\x04', char(bits >> 24), char(bits >> 16),
                              char(bits >> 8), char(bits)});
  }
  static Value Float(float f) {
    uint32_t bits;
    static_assert(sizeof bits == sizeof f, "IEEE-754 single expected");
    std::memcpy(&bits, &f, sizeof bits);
    return FloatBits(bits);
  }

  // True when this is an Opaque holding an opaque float.
  bool IsFloat() const {
    return type == Type::kOpaque && bytes.size() == 7 && bytes[0] == '\x9f' && bytes[1] == '\x78' &&
           bytes[2] == '\x04';
  }
  // The float's bit pattern; only meaningful when IsFloat().
  uint32_t FloatBitsValue() const {
    uint32_t bits = 0;
    for (int i = 3; i < 7; ++i) bits = (bits << 8) | uint8_t(bytes[i]);
    return bits;
  }

  bool operator==(const Value& o) const {
    return type == o.type && number == o.number && bytes == o.bytes;
  }
  bool operator!=(const Value& o) const { return !(*this == o); }
};

}  // namespace pdusim

#endif  // SIM_VALUE_H_
