#include "sim/dataset.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace pdusim {

namespace {

// Parses a whole decimal number in [lo, hi].
bool ParseNumber(const std::string& s, int64_t lo, int64_t hi, int64_t* out) {
  if (s.empty() || s.size() > 20) return false;
  if (!std::isdigit(uint8_t(s[0])) && !(s[0] == '-' && lo < 0)) return false;
  errno = 0;
  char* end = nullptr;
  long long v = std::strtoll(s.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || v < lo || v > hi) return false;
  *out = v;
  return true;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool ParseHex(const std::string& s, std::string* out) {
  if (s.size() % 2 != 0) return false;
  out->clear();
  for (size_t i = 0; i < s.size(); i += 2) {
    int hi = HexDigit(s[i]), lo = HexDigit(s[i + 1]);
    if (hi < 0 || lo < 0) return false;
    out->push_back(char(hi * 16 + lo));
  }
  return true;
}

std::string ToHex(const std::string& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out.push_back(kDigits[c >> 4]);
    out.push_back(kDigits[c & 15]);
  }
  return out;
}

bool IsPrintable(const std::string& s) {
  for (unsigned char c : s) {
    if (c < 0x20 || c > 0x7e) return false;
  }
  return true;
}

// Parses the VALUE field for `tag`; returns an empty string on success or the reason.
std::string ParseValue(const std::string& tag_text, const std::string& text, Value* v) {
  bool hex = !tag_text.empty() && tag_text.back() == 'x';
  int64_t tag = 0;
  if (!ParseNumber(hex ? tag_text.substr(0, tag_text.size() - 1) : tag_text, 0, 255, &tag)) {
    return "bad tag '" + tag_text + "'";
  }
  const int64_t kU32 = 0xffffffffLL;
  switch (Value::Type(tag)) {
    case Value::Type::kInteger:
    case Value::Type::kCounter32:
    case Value::Type::kGauge32:
    case Value::Type::kTimeTicks: {
      bool is_int = Value::Type(tag) == Value::Type::kInteger;
      if (hex) return "hex is not supported for tag " + tag_text;
      if (!ParseNumber(text, is_int ? INT32_MIN : 0, is_int ? INT32_MAX : kU32, &v->number)) {
        return "bad number '" + text + "' for tag " + tag_text;
      }
      v->type = Value::Type(tag);
      return "";
    }
    case Value::Type::kOctetString:
    case Value::Type::kOpaque:
    case Value::Type::kIpAddress:
      v->type = Value::Type(tag);
      if (hex) {
        if (!ParseHex(text, &v->bytes)) return "bad hex value '" + text + "'";
      } else if (v->type == Value::Type::kIpAddress) {
        unsigned a, b, c, d;
        char extra;
        if (std::sscanf(text.c_str(), "%u.%u.%u.%u%c", &a, &b, &c, &d, &extra) != 4 || a > 255 ||
            b > 255 || c > 255 || d > 255) {
          return "bad IP address '" + text + "'";
        }
        *v = Value::IpAddress(uint8_t(a), uint8_t(b), uint8_t(c), uint8_t(d));
      } else {
        v->bytes = text;
      }
      if (v->type == Value::Type::kIpAddress && v->bytes.size() != 4) {
        return "IP address must be 4 bytes";
      }
      return "";
  }
  return "unsupported tag " + tag_text;
}

}  // namespace

bool ParseOid(const std::string& text, Oid* out) {
  Oid oid;
  size_t i = (!text.empty() && text[0] == '.') ? 1 : 0;
  if (i >= text.size()) return false;
  while (i <= text.size()) {
    size_t dot = text.find('.', i);
    if (dot == std::string::npos) dot = text.size();
    int64_t sub = 0;
    if (!ParseNumber(text.substr(i, dot - i), 0, 0xffffffffLL, &sub)) return false;
    oid.push_back(uint32_t(sub));
    i = dot + 1;
  }
  *out = std::move(oid);
  return true;
}

std::string OidToString(const Oid& oid) {
  std::string out;
  for (size_t i = 0; i < oid.size(); ++i) {
    if (i) out += '.';
    out += std::to_string(oid[i]);
  }
  return out;
}

bool OidStartsWith(const Oid& oid, const Oid& prefix) {
  return oid.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), oid.begin());
}

const Oid& Dataset::UnitRoot() {
  static const Oid kRoot{1, 3, 6, 1, 4, 1, 61333, 1, 1, 4};
  return kRoot;
}

Oid Dataset::UnitSubtree(unsigned address) {
  Oid oid = UnitRoot();
  oid.push_back(address);
  return oid;
}

Oid Dataset::UnitOid(unsigned address, unsigned leaf) {
  Oid oid = UnitSubtree(address);
  oid.push_back(leaf);
  oid.push_back(0);
  return oid;
}

const std::vector<unsigned>& Dataset::DefaultActiveAlarms() {
  static const std::vector<unsigned> kAlarms{178, 250, 381};
  return kAlarms;
}

Dataset Dataset::DefaultUnit(const std::vector<unsigned>& addresses) {
  struct FloatLeaf {
    unsigned leaf;
    float value;
  };
  static const FloatLeaf kFloats[] = {
      {4, 229.5f}, {5, 228.5f},  {6, 4.25f},    {7, 3.75f},    {8, 5.0f},
      {9, 880.0f}, {10, 760.0f}, {11, 1020.0f}, {12, 0.875f},  {13, 0.9f},
      {14, 0.95f}, {15, 50.0f},  {16, 2660.0f}, {605, 253.0f}, {606, 187.0f},
  };
  Dataset d;
  for (unsigned a : addresses) {
    for (unsigned leaf = kFirstLeaf; leaf <= kLastLeaf; ++leaf) d.Set(UnitOid(a, leaf), Value{});
    d.Set(UnitOid(a, kLeafStatus), Value::Integer(1));
    d.Set(UnitOid(a, kLeafAddress), Value::Integer(int32_t(a)));
    d.Set(UnitOid(a, kLeafVoltageL1), Value::Float(220.0f + float(a % 11)));
    for (const FloatLeaf& f : kFloats) d.Set(UnitOid(a, f.leaf), Value::Float(f.value));
    d.Set(UnitOid(a, 17), Value::Gauge32(a * 1000u));
    d.Set(UnitOid(a, 607), Value::Integer(16));
    for (unsigned leaf : DefaultActiveAlarms()) d.Set(UnitOid(a, leaf), Value::Integer(1));
  }
  return d;
}

bool Dataset::Set(const std::string& oid, Value value) {
  Oid parsed;
  if (!ParseOid(oid, &parsed)) return false;
  Set(parsed, std::move(value));
  return true;
}

const Value* Dataset::Find(const Oid& oid) const {
  auto it = objects_.find(oid);
  return it == objects_.end() ? nullptr : &it->second;
}

bool Dataset::FromSnmprec(const std::string& text, Dataset* out, std::string* error) {
  Dataset d;
  std::istringstream in(text);
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.find_first_not_of(" \t") == std::string::npos || line[0] == '#') continue;
    auto fail = [&](const std::string& why) {
      if (error) *error = "line " + std::to_string(number) + ": " + why;
      return false;
    };
    size_t bar1 = line.find('|');
    size_t bar2 = bar1 == std::string::npos ? bar1 : line.find('|', bar1 + 1);
    if (bar2 == std::string::npos) return fail("expected OID|TAG|VALUE");
    Oid oid;
    if (!ParseOid(line.substr(0, bar1), &oid))
      return fail("bad OID '" + line.substr(0, bar1) + "'");
    Value v;
    std::string why = ParseValue(line.substr(bar1 + 1, bar2 - bar1 - 1), line.substr(bar2 + 1), &v);
    if (!why.empty()) return fail(why);
    if (d.Find(oid)) return fail("duplicate OID " + OidToString(oid));
    d.Set(oid, std::move(v));
  }
  *out = std::move(d);
  return true;
}

bool Dataset::LoadSnmprec(const std::string& path, Dataset* out, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    if (error) *error = path + ": cannot open";
    return false;
  }
  std::ostringstream text;
  text << in.rdbuf();
  if (!FromSnmprec(text.str(), out, error)) {
    if (error) *error = path + ": " + *error;
    return false;
  }
  return true;
}

std::string Dataset::ToSnmprec() const {
  std::string out;
  for (const auto& [oid, v] : objects_) {
    out += OidToString(oid);
    switch (v.type) {
      case Value::Type::kOctetString:
        out += IsPrintable(v.bytes) ? "|4|" + v.bytes : "|4x|" + ToHex(v.bytes);
        break;
      case Value::Type::kIpAddress: {
        const auto* b = reinterpret_cast<const unsigned char*>(v.bytes.data());
        out += v.bytes.size() != 4 ? "|64x|" + ToHex(v.bytes)
                                   : "|64|" + std::to_string(b[0]) + "." + std::to_string(b[1]) +
                                         "." + std::to_string(b[2]) + "." + std::to_string(b[3]);
        break;
      }
      case Value::Type::kOpaque:
        out += "|68x|" + ToHex(v.bytes);
        break;
      default:
        out += "|" + std::to_string(int(v.type)) + "|" + std::to_string(v.number);
    }
    out += '\n';
  }
  return out;
}

}  // namespace pdusim
