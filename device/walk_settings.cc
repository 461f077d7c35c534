#include "device/walk_settings.h"

#include <algorithm>
#include <cctype>
#include <iostream>

#include "frame/config_value.h"
#include "frame/console_line.h"

std::string RenderSetting(const Json::Value& value) {
  switch (value.type()) {
    case Json::stringValue:
      return "\"" + value.asString() + "\"";
    case Json::arrayValue:
      return "an array";
    case Json::objectValue:
      return "an object";
    default:
      return value.asString();
  }
}

namespace {

// The decimal integer that is the whole of `text`: optional sign, then 1 to 12 digits, and
// for a JSON real only, a fraction of zeros ("5000.0").
bool ParseInteger(const std::string& text, bool allow_zero_fraction, long long* out) {
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

}  // namespace

bool ReadIntegerSetting(const Json::Value& v, long long* out) {
  switch (v.type()) {
    case Json::intValue:
    case Json::uintValue:
    case Json::stringValue:
      return ParseInteger(v.asString(), false, out);
    case Json::realValue:
      return ParseInteger(v.asString(), true, out);
    default:
      return false;
  }
}

namespace {

void Reject(const char* key, const Json::Value& v, const char* why) {
  ConsoleLine(std::cout, std::string("appSetting.") + key + ": ignoring " + RenderSetting(v) +
                             " (" + why + "), using the default");
}

}  // namespace

WalkSettings ReadWalkSettings(const Json::Value* app) {
  WalkSettings s;
  if (app == nullptr) return s;
  if (const Json::Value* v = ConfigMember(*app, "community")) {
    if (v->type() == Json::stringValue) {
      s.community = v->asString();
    } else {
      Reject("community", *v, "expected a text");
    }
  }
  long long n = 0;
  // In milliseconds until capped: 3600000 ms is beyond a 32-bit long in microseconds.
  long long timeout_ms = s.timeout_us / 1000;
  if (const Json::Value* v = ConfigMember(*app, "timeout_ms")) {
    if (ReadIntegerSetting(*v, &n) && n > 0 && n <= 3600 * 1000) {
      timeout_ms = n;
    } else {
      Reject("timeout_ms", *v, "expected milliseconds, 1 to 3600000");
    }
  }
  if (const Json::Value* v = ConfigMember(*app, "retries")) {
    if (ReadIntegerSetting(*v, &n) && n >= 0 && n <= 100) {
      s.retries = static_cast<int>(n);
    } else {
      Reject("retries", *v, "expected an integer 0 to 100");
    }
  }
  if (timeout_ms * (s.retries + 1) > kMaxRequestMs) {
    const long long capped_ms = std::min<long long>(timeout_ms, kMaxRequestMs);
    const int capped_retries = std::min(s.retries, static_cast<int>(kMaxRequestMs / capped_ms - 1));
    ConsoleLine(std::cout, "appSetting: timeout_ms " + std::to_string(timeout_ms) + " x (retries " +
                               std::to_string(s.retries) + " + 1) exceeds " +
                               std::to_string(kMaxRequestMs) +
                               " ms per request, using timeout_ms " + std::to_string(capped_ms) +
                               " and retries " + std::to_string(capped_retries));
    timeout_ms = capped_ms;
    s.retries = capped_retries;
  }
  s.timeout_us = static_cast<long>(timeout_ms * 1000);  // at most 60000000: fits any long
  if (const Json::Value* v = ConfigMember(*app, "max_repetitions")) {
    if (ReadIntegerSetting(*v, &n) && n >= 1 && n <= 10000) {
      s.max_repetitions = static_cast<int>(n);
    } else {
      Reject("max_repetitions", *v, "expected an integer 1 to 10000");
    }
  }
  s.snmp_version = ReadSnmpVersion(app, &s.v3);
  return s;
}
