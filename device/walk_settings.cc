#include "device/walk_settings.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <iostream>

#include "device/app_settings.h"
#include "util/config_value.h"
#include "util/console_line.h"

namespace {

void Reject(const char* key, const Json::Value& v, const char* why, const std::string& end) {
  ConsoleLine(std::cout, std::string("appSetting.") + key + ": ignoring " + RenderSetting(v) +
                             " (" + why + "), using the default" + end);
}

bool IsBlank(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

// What is wrong with a text value as a whole: empty, or white space at either end; null when
// nothing is.
const char* BlankFault(const Json::Value& v) {
  if (v.type() != Json::stringValue) return nullptr;
  const std::string text = v.asString();
  if (text.empty()) return "empty";
  if (IsBlank(text.front()) || IsBlank(text.back())) return "white space around the value";
  return nullptr;
}

// One rule for every key: a text that is empty or has white space around it is a slip (a blank
// form field, a pasted value), named in one line. For the keys read by the leading-integer rule
// (use_thread, b_mode) the value stays as that rule reads it, which skips the white space and
// reads "" as 0; every other key is left out, so its default holds. Pass phrases are taken byte
// for byte (a space is as good a character in them as any; an empty one is refused where they
// are read). A b_mode the frame does not know (1, 2 or 3) is named too: it acts as 1.
// Returns true when snmp_version was left out this way.
bool LeaveOutBlankValues(AppSettings* found, const std::string& end) {
  bool version_left_out = false;
  for (const AppSettingEntry& e : AppSettingTable()) {
    const Json::Value*& v = found->value[static_cast<size_t>(e.key)];
    if (v == nullptr || std::strcmp(e.kind, "pass phrase") == 0) continue;
    const char* fault = BlankFault(*v);
    if (std::strcmp(e.kind, "leading integer") == 0) {
      std::string text;
      if (!ConfigText(*v, &text)) continue;
      const int n = LeadingInt(text);
      const std::string named = std::string("appSetting.") + e.name + ": " + RenderSetting(*v);
      if (e.key == AppSettingKey::kBMode && (n < 1 || n > 3)) {
        ConsoleLine(std::cout, named + " is not a frame mode (1, 2 or 3); it acts as 1" + end);
      } else if (fault != nullptr) {
        ConsoleLine(std::cout, named + " (" + fault + "): read as " + std::to_string(n) + end);
      }
      continue;
    }
    if (fault == nullptr) continue;
    Reject(e.name, *v, fault, end);
    v = nullptr;
    version_left_out = version_left_out || e.key == AppSettingKey::kSnmpVersion;
  }
  return version_left_out;
}

}  // namespace

WalkSettings ReadWalkSettings(const Json::Value* app, const std::string& end) {
  WalkSettings s;
  if (app == nullptr) return s;
  AppSettings found = CollectAppSettings(app);
  const std::string notice = UnknownKeysNotice(found, end);
  if (!notice.empty()) ConsoleLine(std::cout, notice);
  const bool version_left_out = LeaveOutBlankValues(&found, end);
  using K = AppSettingKey;
  if (const Json::Value* v = found[K::kCommunity]) {
    if (v->type() != Json::stringValue) {
      Reject("community", *v, "expected a text", end);
    } else if (v->asString().find('\0') != std::string::npos) {
      Reject("community", *v, "contains a NUL character", end);
    } else if (v->asString().size() > kMaxCommunityBytes) {
      const std::string why =
          "expected a text of up to " + std::to_string(kMaxCommunityBytes) + " bytes";
      Reject("community", *v, why.c_str(), end);
    } else {
      s.community = v->asString();
    }
  }
  long long n = 0;
  // In milliseconds until capped: 3600000 ms is beyond a 32-bit long in microseconds.
  long long timeout_ms = s.timeout_us / 1000;
  if (const Json::Value* v = found[K::kTimeoutMs]) {
    if (ReadIntegerSetting(*v, &n) && n > 0 && n <= 3600 * 1000) {
      timeout_ms = n;
    } else {
      Reject("timeout_ms", *v, "expected milliseconds, 1 to 3600000", end);
    }
  }
  if (const Json::Value* v = found[K::kRetries]) {
    if (ReadIntegerSetting(*v, &n) && n >= 0 && n <= 100) {
      s.retries = static_cast<int>(n);
    } else {
      Reject("retries", *v, "expected an integer 0 to 100", end);
    }
  }
  if (timeout_ms * (s.retries + 1) > kMaxRequestMs) {
    const long long capped_ms = std::min<long long>(timeout_ms, kMaxRequestMs);
    const int capped_retries = std::min(s.retries, static_cast<int>(kMaxRequestMs / capped_ms - 1));
    ConsoleLine(std::cout, "appSetting: timeout_ms " + std::to_string(timeout_ms) + " x (retries " +
                               std::to_string(s.retries) + " + 1) exceeds " +
                               std::to_string(kMaxRequestMs) +
                               " ms per request, using timeout_ms " + std::to_string(capped_ms) +
                               " and retries " + std::to_string(capped_retries) + end);
    timeout_ms = capped_ms;
    s.retries = capped_retries;
  }
  s.timeout_us = static_cast<long>(timeout_ms * 1000);  // at most 60000000: fits any long
  if (const Json::Value* v = found[K::kMaxRepetitions]) {
    if (ReadIntegerSetting(*v, &n) && n >= 1 && n <= 10000) {
      s.max_repetitions = static_cast<int>(n);
    } else {
      Reject("max_repetitions", *v, "expected an integer 1 to 10000", end);
    }
  }
  if (const Json::Value* v = found[K::kAnswersFromAnyAddress]) {
    if (ReadIntegerSetting(*v, &n) && (n == 0 || n == 1)) {
      s.answers_from_any_address = n == 1;
    } else {
      Reject(kAnswersFromAnyAddressKey, *v, "expected 0 or 1", end);
    }
  }
  Snmpv3Keys keys;
  keys.snmp_version = found[K::kSnmpVersion];
  keys.username = found[K::kUsername];
  keys.security_level = found[K::kSecurityLevel];
  keys.auth_protocol = found[K::kAuthProtocol];
  keys.password = found[K::kPassword];
  keys.priv_protocol = found[K::kPrivProtocol];
  keys.priv_password = found[K::kPrivPassword];
  keys.context_name = found[K::kContextName];
  keys.version_left_out = version_left_out;
  s.snmp_version = ReadSnmpVersion(keys, &s.v3, end);
  return s;
}
