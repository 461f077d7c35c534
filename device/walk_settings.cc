#include "device/walk_settings.h"

#include <cctype>
#include <climits>
#include <iostream>

#include <json/writer.h>

#include "frame/config_value.h"

namespace {

std::string Render(const Json::Value& value) {
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "";
  builder["emitUTF8"] = true;
  return Json::writeString(builder, value);
}

// An integral JSON number or a decimal text (optional sign), within long range.
bool ReadInteger(const Json::Value& v, long long* out) {
  if (v.isBool()) return false;
  if (v.isIntegral()) {
    // isIntegral also holds for integral numbers past the signed 64-bit range, which
    // asLargestInt refuses by throwing; such a number is outside every accepted range anyway.
    if (!v.isInt64()) return false;
    *out = v.asInt64();
    return true;
  }
  if (!v.isString()) return false;
  const std::string s = v.asString();
  size_t i = (s.size() > 1 && (s[0] == '-' || s[0] == '+')) ? 1 : 0;
  if (i == s.size() || s.size() - i > 12) return false;
  for (size_t j = i; j < s.size(); ++j)
    if (!std::isdigit(static_cast<unsigned char>(s[j]))) return false;
  *out = std::stoll(s);
  return true;
}

void Reject(const char* key, const Json::Value& v, const char* why) {
  std::cout << "appSetting." << key << ": ignoring " << Render(v) << " (" << why
            << "), using the default" << std::endl;
}

}  // namespace

WalkSettings ReadWalkSettings(const Json::Value* app) {
  WalkSettings s;
  if (app == nullptr) return s;
  if (const Json::Value* v = ConfigMember(*app, "community")) {
    if (v->isString()) {
      s.community = v->asString();
    } else {
      Reject("community", *v, "expected a text");
    }
  }
  long long n = 0;
  if (const Json::Value* v = ConfigMember(*app, "timeout_ms")) {
    if (ReadInteger(*v, &n) && n > 0 && n <= LONG_MAX / 1000 && n <= 3600 * 1000) {
      s.timeout_us = static_cast<long>(n) * 1000;
    } else {
      Reject("timeout_ms", *v, "expected milliseconds, 1 to 3600000");
    }
  }
  if (const Json::Value* v = ConfigMember(*app, "retries")) {
    if (ReadInteger(*v, &n) && n >= 0 && n <= 100) {
      s.retries = static_cast<int>(n);
    } else {
      Reject("retries", *v, "expected an integer 0 to 100");
    }
  }
  if (const Json::Value* v = ConfigMember(*app, "max_repetitions")) {
    if (ReadInteger(*v, &n) && n >= 1 && n <= 10000) {
      s.max_repetitions = static_cast<int>(n);
    } else {
      Reject("max_repetitions", *v, "expected an integer 1 to 10000");
    }
  }
  return s;
}
