#include "device/app_settings.h"

#include <cstring>

#include "snmp/snmpv3_settings.h"
#include "util/config_value.h"

namespace {

constexpr size_t kMostUnknownNamed = 8;

}  // namespace

const std::vector<AppSettingEntry>& AppSettingTable() {
  using K = AppSettingKey;
  static const std::vector<AppSettingEntry> table = {
      {K::kUseThread, "use_thread", "leading integer", 0, 0, "0", "schedule"},
      {K::kBMode, "b_mode", "leading integer", 0, 0, "1", "frame"},
      {K::kCommunity, "community", "text", 0, kMaxCommunityBytes, "Tormelix@2027q", "session"},
      {K::kTimeoutMs, "timeout_ms", "integer", 1, 3600 * 1000, "10000", "session"},
      {K::kRetries, "retries", "integer", 0, 100, "1", "session"},
      {K::kMaxRepetitions, "max_repetitions", "integer", 1, 10000, "", "session"},
      {K::kSnmpVersion, "snmp_version", "choice", 2, 3, "2", "SNMPv3"},
      {K::kUsername, "username", "text", 1, kSnmpv3NameBytes, "", "SNMPv3"},
      {K::kSecurityLevel, "security_level", "choice", 0, 0, "", "SNMPv3"},
      {K::kAuthProtocol, "auth_protocol", "choice", 0, 0, "SHA", "SNMPv3"},
      {K::kPassword, "password", "pass phrase", kPassPhraseMinBytes, 0, "", "SNMPv3"},
      {K::kPrivProtocol, "priv_protocol", "choice", 0, 0, "AES", "SNMPv3"},
      {K::kPrivPassword, "priv_password", "pass phrase", kPassPhraseMinBytes, 0, "", "SNMPv3"},
      {K::kContextName, "context_name", "text", 0, kSnmpv3NameBytes, "", "SNMPv3"},
      {K::kAnswersFromAnyAddress, kAnswersFromAnyAddressKey, "integer", 0, 1, "0", "session"},
  };
  return table;
}

AppSettings CollectAppSettings(const Json::Value* app) {
  AppSettings out;
  if (app == nullptr || app->type() != Json::objectValue) return out;
  const std::vector<AppSettingEntry>& table = AppSettingTable();
  for (auto it = app->begin(); it != app->end(); ++it) {
    const std::string name = it.key().asString();
    const AppSettingEntry* entry = nullptr;
    for (const AppSettingEntry& e : table) {
      if (name.size() == std::strlen(e.name) && name == e.name) entry = &e;
    }
    if (entry == nullptr) {
      out.unknown.push_back(name);
    } else if ((*it).type() != Json::nullValue) {  // a null member counts as absent
      out.value[static_cast<size_t>(entry->key)] = &*it;
    }
  }
  return out;
}

std::string UnknownKeysNotice(const AppSettings& settings, const std::string& end) {
  if (settings.unknown.empty()) return std::string();
  std::string names;
  for (size_t i = 0; i < settings.unknown.size() && i < kMostUnknownNamed; ++i) {
    names += (i == 0 ? "" : ", ") + QuoteText(settings.unknown[i]);
  }
  if (settings.unknown.size() > kMostUnknownNamed) {
    names += " and " + std::to_string(settings.unknown.size() - kMostUnknownNamed) + " more";
  }
  const bool one = settings.unknown.size() == 1;
  return "appSetting: " + names + (one ? " is not a key" : " are not keys") +
         " this device reads; left as " + (one ? "it is" : "they are") +
         " (a host may keep keys of its own there)" + end;
}
