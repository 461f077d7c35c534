// Read-only access to the device configuration (a jsoncpp value).
//
// A key counts as present when the object holds it with a non-null value. Lookups never add
// members and never throw: a non-object container simply has no members, and a value that has
// no text form (an array or an object) is reported as having none, so a malformed configuration
// can never throw out of InitSetting into the host.
//
// The host process supplies jsoncpp, so the plug-in uses only what every host provides: const
// member lookup, type(), asString() and const iteration with key(). Numbers are read from their
// text form.
#pragma once

#include <cctype>
#include <climits>
#include <string>

#include <json/value.h>

// The member `key` of `container`, or null when the container is not an object or the member
// is missing or null.
inline const Json::Value* ConfigMember(const Json::Value& container, const char* key) {
  if (container.type() != Json::objectValue) return nullptr;
  const Json::Value& v = container[key];  // a missing key yields the shared null value
  return v.type() == Json::nullValue ? nullptr : &v;
}

// The text form of a scalar (a number or boolean becomes its text); false for arrays and
// objects, which have none.
inline bool ConfigText(const Json::Value& value, std::string* out) {
  if (value.type() == Json::arrayValue || value.type() == Json::objectValue) return false;
  *out = value.asString();
  return true;
}

// The decimal integer at the start of `text`, by the atoi rule: optional leading white space
// and sign, then digits up to the first other character; no digits gives 0. Unlike std::atoi,
// a number beyond the int range is defined: it saturates at INT_MIN or INT_MAX.
inline int LeadingInt(const std::string& text) {
  size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  long long value = 0;
  for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > static_cast<long long>(INT_MAX) + 1) value = static_cast<long long>(INT_MAX) + 1;
  }
  if (negative) value = -value;
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}
