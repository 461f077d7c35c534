// The alarm catalogue of the AC power-distribution unit: the fixed, ordered
// list of the 429 boolean alarm signals the unit reports each round.
//
// Position 1 (vector index 0) reads value slot 1, the unit's communication
// state, with normal value 1. Position p from 2 to 429 reads value slot p + 175
// (slots 177 to 604, contiguous, each once) with normal value 0. A signal is in
// alarm when its slot's value differs from the normal value. The catalogue is
// immutable: nothing configures, extends or reorders it.
//
// Every entry also has an English name, made by the same naming rules from the
// English words of each fragment, for tools that show alarms to people: e.g.
// "第一路U1上上限" is "incoming line 1 L1 voltage above upper-upper limit" and
// "1QF01-A电流越下限" is "1QF01 phase A current below lower limit". The host's
// names are the ones reported; the English ones are never sent anywhere.

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

// The English names, index for index with AlarmCatalogue(): 429 distinct
// texts of printable ASCII. Built on first use (thread-safe), like the catalogue.
const std::vector<std::string>& AlarmEnglishNames();

#endif  // DEVICE_ALARM_CATALOGUE_H_
