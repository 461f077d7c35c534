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
#include <cstddef>
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

// Longest part of a text a console line shows: a configuration may hold a text of any length.
constexpr std::size_t kShownTextBytes = 64;

// `text` as a line shows it: in double quotes, at most kShownTextBytes of it (cut where a UTF-8
// character starts), then `..." (N bytes)` when cut. A double quote, a backslash and every control
// character (a NUL among them) are written as JSON writes them (\", \\, \n, \u0000), so that
// the line stays one line of printable text and shows what was there. A short, plain text is
// shown as it is: "10.0.5.21".
inline std::string QuoteText(const std::string& text) {
  std::size_t end = text.size();
  if (end > kShownTextBytes) {
    end = kShownTextBytes;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  }
  std::string out = "\"";
  for (std::size_t i = 0; i < end; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c == 0x7f) {
      static const char kHex[] = "0123456789abcdef";
      out += "\\u00";
      out += kHex[c >> 4];
      out += kHex[c & 0xf];
    } else {
      out += static_cast<char>(c);
    }
  }
  if (end < text.size()) return out + "...\" (" + std::to_string(text.size()) + " bytes)";
  return out + "\"";
}

// A setting as a line that rejects it shows it: texts as QuoteText shows them, numbers and
// booleans as their text, containers by kind.
inline std::string RenderSetting(const Json::Value& value) {
  switch (value.type()) {
    case Json::stringValue:
      return QuoteText(value.asString());
    case Json::arrayValue:
      return "an array";
    case Json::objectValue:
      return "an object";
    default:
      return value.asString();
  }
}

namespace config_detail {

// The decimal integer that is the whole of `text`: optional sign, then 1 to 12 digits, and
// for a JSON real only, a fraction of zeros ("5000.0").
inline bool ParseInteger(const std::string& text, bool allow_zero_fraction, long long* out) {
  size_t end = text.size();
  if (allow_zero_fraction) {
    const size_t dot = text.find('.');
    if (dot != std::string::npos) {
      if (dot + 1 == text.size()) return false;
      for (size_t j = dot + 1; j < text.size(); ++j)
        if (text[j] != '0') return false;
      end = dot;
    }
  }
  const size_t i = (end > 1 && (text[0] == '-' || text[0] == '+')) ? 1 : 0;
  if (i == end || end - i > 12) return false;
  for (size_t j = i; j < end; ++j)
    if (!std::isdigit(static_cast<unsigned char>(text[j]))) return false;
  *out = std::stoll(text.substr(0, end));
  return true;
}

}  // namespace config_detail

// An integral JSON number or a decimal text (optional sign, at most 12 digits); booleans,
// containers and fractional numbers are not integers.
inline bool ReadIntegerSetting(const Json::Value& v, long long* out) {
  switch (v.type()) {
    case Json::intValue:
    case Json::uintValue:
    case Json::stringValue:
      return config_detail::ParseInteger(v.asString(), false, out);
    case Json::realValue:
      return config_detail::ParseInteger(v.asString(), true, out);
    default:
      return false;
  }
}
