// Every key a device reads from its appSetting object, in one table, and the one pass that
// finds them.
//
// The table says, per key, what kind of value it takes, its range or length, its default and who
// reads it: the schedule (use_thread), the frame (b_mode), the session settings of
// device/walk_settings.h, or snmp/'s SNMPv3 settings. CollectAppSettings walks the object's
// members once and files each under its entry; a member the table does not have is listed as
// unknown, and the device names those in one notice (a host may keep keys of its own there, and
// a misspelt key then shows). The README's table of the device file lists the same keys, which a
// test compares.
//
// This is the lower of the two settings units: it knows the keys and their limits, and
// device/walk_settings.h, which reads the session's values, builds on it (never the other way).
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include <json/value.h>

// The longest community an agent takes: net-snmp's agents refuse one of 256 bytes or more.
constexpr size_t kMaxCommunityBytes = 255;
// 1: answers are taken from any address of the unit, as long as they come from the peer's port
// (snmp/peer_filter.h); 0, the default: only from the peer's address and port.
constexpr char kAnswersFromAnyAddressKey[] = "answers_from_any_address";

enum class AppSettingKey {
  kUseThread,
  kBMode,
  kCommunity,
  kTimeoutMs,
  kRetries,
  kMaxRepetitions,
  kSnmpVersion,
  kUsername,
  kSecurityLevel,
  kAuthProtocol,
  kPassword,
  kPrivProtocol,
  kPrivPassword,
  kContextName,
  kAnswersFromAnyAddress,
  kCount
};

struct AppSettingEntry {
  AppSettingKey key;
  const char* name;
  const char* kind;      // "integer", "text", "pass phrase", "choice", "leading integer"
  long long min, max;    // integers: the range; texts: the length in bytes (max 0: no limit)
  const char* fallback;  // the default as the README shows it ("" when there is none)
  const char* reader;    // "schedule", "frame", "session", "SNMPv3"
};

// The table, in the README's order.
const std::vector<AppSettingEntry>& AppSettingTable();

// The members of one appSetting object, filed by key (null when absent or null), and the names of
// the members that are no key of the table, in the object's order.
struct AppSettings {
  const Json::Value* value[static_cast<size_t>(AppSettingKey::kCount)] = {};
  std::vector<std::string> unknown;

  const Json::Value* operator[](AppSettingKey key) const { return value[static_cast<size_t>(key)]; }
};

// One pass over `app` (the appSetting object, or null; a non-object has no members).
AppSettings CollectAppSettings(const Json::Value* app);

// The notice naming the unknown keys of `settings` (at most eight, then how many more), ending
// with `end`; empty when there are none.
std::string UnknownKeysNotice(const AppSettings& settings, const std::string& end);
