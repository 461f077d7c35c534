// One entry of a device's rule batch: a change of state of one alarm signal.
//
// The host's threshold service appends these while a device reports its signals; the device
// only counts them, hands the batch back to DoBatchCheckThreshold and clears it. The layout is
// part of the contract between host and plug-in: 4 bytes of plain data, two strings, 8 bytes of
// plain data, two strings, 4 bytes of plain data. Destroying one releases its four strings.
#pragma once

#include <cstdint>
#include <string>

struct rule_value {
  int32_t kind = 0;      // the leading integer of the CheckThresholdBool call
  std::string id;        // signal ID
  std::string id2;       // second copy of the signal ID, as the device passed it
  int64_t when = 0;      // seconds since the epoch (UTC) when the change was seen
  std::string category;  // alarm category
  std::string name;      // signal name
  int32_t state = 0;     // 1 raised, 0 cleared
};
