// The opt-in session settings a device reads from its appSetting object.
//
// The object is read in one pass (device/app_settings.h); keys the device does not read are
// named in one notice. One rule holds for every key first: a text that is empty or has white
// space at either end is named in one line and left out, so the key's default holds (use_thread
// and b_mode keep their leading-integer reading and are only named; pass phrases are taken byte
// for byte); snmp_version left out this way counts as 2. A b_mode other than 1, 2 or 3 is named.
// Absent keys give the defaults, so the default request is SNMPv2c with community "Tormelix@2027q",
// 10 s per attempt and 1 retry. A bad value (wrong type, not a number, a time-out of 0 or less,
// negative retries, a community with a NUL character or longer than kMaxCommunityBytes) is reported
// on standard output in one line that names the key and the value (quoted as util/config_value.h's
// QuoteText shows it), and the default is kept. The SNMP version and the SNMPv3 keys are read as
// snmp/snmpv3_settings.h describes; settings that cannot form a session leave snmp_version 0.
//
// One request waits at most kMaxRequestMs over all its attempts (timeout_ms x (retries + 1)).
// Settings beyond that are capped in one line on standard output: retries are lowered to what
// fits, and a time-out beyond the bound on its own becomes the bound with no retry.
#pragma once

#include <cstddef>
#include <string>

#include <json/value.h>

#include "device/app_settings.h"
#include "snmp/snmpv3_settings.h"

constexpr long kMaxRequestMs = 60 * 1000;

struct WalkSettings {
  std::string community = "Tormelix@2027q";
  long timeout_us = 10 * 1000 * 1000;  // per attempt
  int retries = 1;
  int max_repetitions = 0;  // 0: the default request (non-repeaters 1, max-repetitions 100)
  int snmp_version = 2;     // 2, 3 (as `v3`), or 0: no session, the device does not walk
  bool answers_from_any_address = false;
  Snmpv3Settings v3;
};

// Reads the settings from `app` (the appSetting object, or null when absent). Every line ends
// with `end`, the caller's name for the unit (" (peer 10.0.5.21)", say).
WalkSettings ReadWalkSettings(const Json::Value* app, const std::string& end);
