// One entry of a device's rule batch: a change of state of one alarm signal.
//
// The host's threshold service appends these while a device reports its signals; the device
// only counts them, hands the batch back to DoBatchCheckThreshold and clears it. The layout is
// part of the contract between host and plug-in: 4 bytes of plain data, two strings, 8 bytes of
// plain data, two strings, 4 bytes of plain data. Destroying one releases its four strings.
#pragma once

#include <cstddef>
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

// Host and plug-in each compile this layout, and the plug-in destroys elements the host built:
// pin the size and member offsets for every target we build (an int64_t is 8-aligned on ARM
// EABI too, so the 8-byte field sits on an 8-byte boundary on both).
#if defined(__arm__)
static_assert(sizeof(std::string) == 24, "armhf std::string");
static_assert(sizeof(rule_value) == 120, "rule_value is 120 bytes on armhf");
static_assert(offsetof(rule_value, id) == 4 && offsetof(rule_value, id2) == 28 &&
                  offsetof(rule_value, when) == 56 && offsetof(rule_value, category) == 64 &&
                  offsetof(rule_value, name) == 88 && offsetof(rule_value, state) == 112,
              "rule_value member offsets on armhf");
#elif defined(__x86_64__)
static_assert(sizeof(std::string) == 32, "x86-64 std::string");
static_assert(sizeof(rule_value) == 152, "rule_value is 152 bytes on x86-64");
static_assert(offsetof(rule_value, id) == 8 && offsetof(rule_value, id2) == 40 &&
                  offsetof(rule_value, when) == 72 && offsetof(rule_value, category) == 80 &&
                  offsetof(rule_value, name) == 112 && offsetof(rule_value, state) == 144,
              "rule_value member offsets on x86-64");
#endif
