// The alarm catalogue of the AC power-distribution unit: the fixed, ordered
// list of the 429 boolean alarm signals the unit reports each round.
//
// Position 1 (vector index 0) reads value slot 1, the unit's communication
// state, with normal value 1. Position p from 2 to 429 reads value slot p + 175
// (slots 177 to 604, contiguous, each once) with normal value 0. A signal is in
// alarm when its slot's value differs from the normal value. The catalogue is
// immutable: nothing configures, extends or reorders it.

#ifndef DEVICE_ALARM_CATALOGUE_H_
#define DEVICE_ALARM_CATALOGUE_H_

#include <string>
#include <vector>

struct AlarmEntry {
  int slot;          // value slot the signal reads
  float normal;      // value that means "no alarm"
  std::string name;  // UTF-8 signal name, reported verbatim
};

// Alarm category shared by every signal of the catalogue (UTF-8).
inline constexpr char kAlarmCategory[] = "专用空调其他告警";

// kAlarmCategory as a string that lives for the whole process, so callers that
// need a std::string do not build one per report. Thread-safe.
const std::string& AlarmCategory();

// The 429 entries in catalogue order. Built on first use (thread-safe) and
// never destroyed, so the reference stays valid until the process ends.
const std::vector<AlarmEntry>& AlarmCatalogue();

#endif  // DEVICE_ALARM_CATALOGUE_H_
