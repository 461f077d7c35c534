#include "tools/qrmhost/record_decode.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <boost/date_time/gregorian/gregorian.hpp>
#include <boost/date_time/posix_time/posix_time.hpp>

#include "alarms/alarm_catalogue.h"
#include "frame/record.h"

namespace bpt = boost::posix_time;

bpt::ptime DecodeStamp(const unsigned char* s) {
  const unsigned year = s[0] | (s[1] << 8);
  if (s[4] > 23 || s[5] > 59 || s[6] > 59) return bpt::ptime();
  try {
    const boost::gregorian::date day(static_cast<unsigned short>(year), s[2], s[3]);
    return bpt::ptime(day, bpt::hours(s[4]) + bpt::minutes(s[5]) + bpt::seconds(s[6]));
  } catch (const std::exception&) {  // out-of-range year, month or day
    return bpt::ptime();
  }
}

std::string StampText(const unsigned char* s) {
  const unsigned year = s[0] | (s[1] << 8);
  char text[40];
  const int n = std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02u", year, s[2], s[3],
                              s[4], s[5], s[6]);
  if (DecodeStamp(s).is_not_a_date_time()) return text;
  std::tm local{};
  local.tm_year = static_cast<int>(year) - 1900;
  local.tm_mon = s[2] - 1;
  local.tm_mday = s[3];
  local.tm_hour = s[4];
  local.tm_min = s[5];
  local.tm_sec = s[6];
  local.tm_isdst = -1;  // the zone's rules decide whether daylight saving time applies
  if (std::mktime(&local) == static_cast<std::time_t>(-1)) return text;  // out of time_t's range
  const long minutes = local.tm_gmtoff / 60;
  const long whole = minutes < 0 ? -minutes : minutes;
  std::snprintf(text + n, sizeof text - n, "%c%02ld:%02ld", minutes < 0 ? '-' : '+', whole / 60,
                whole % 60);
  return text;
}

DecodedRecord DecodeRecord(const unsigned char* image) {
  SNMP_MARLUXA_AC_POWER_Data_t r;
  std::memcpy(&r, image, kRecordSize);
  DecodedRecord out;
  out.id = RecordId(r);
  out.time = StampText(image + (kRecordSize - kStampSize));
  out.slots.resize(kSlotCount);
  for (int k = 1; k <= kSlotCount; ++k) out.slots[k - 1] = Slot(r, k);
  return out;
}

std::vector<int> ActiveSignals(const DecodedRecord& record) {
  std::vector<int> numbers;
  const std::vector<AlarmEntry>& catalogue = AlarmCatalogue();
  for (size_t i = 0; i < catalogue.size(); ++i) {
    const AlarmEntry& e = catalogue[i];
    if (!(record.slots[e.slot - 1] == e.normal)) numbers.push_back(static_cast<int>(i + 1));
  }
  return numbers;
}

std::vector<std::string> ActiveAlarms(const DecodedRecord& record, NameLanguage lang) {
  std::vector<std::string> names;
  for (int number : ActiveSignals(record)) names.push_back(SignalName(number, lang));
  return names;
}

int ChangedSlots(const unsigned char* before, const unsigned char* after) {
  int changed = 0;
  for (int k = 1; k <= kSlotCount; ++k) {
    changed += std::memcmp(before + SlotOffset(k), after + SlotOffset(k), sizeof(float)) != 0;
  }
  return changed;
}

std::string FloatText(float value) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
  char text[32];
  const auto result = std::to_chars(text, text + sizeof text, value);
  return std::string(text, result.ptr);
}

Json::Value RecordJson(const DecodedRecord& record, NameLanguage lang) {
  Json::Value v(Json::objectValue);
  v["id"] = Json::UInt(record.id);
  v["time"] = record.time;
  Json::Value& slots = v["slots"] = Json::Value(Json::arrayValue);
  for (float f : record.slots) {
    // Through the shortest text, so 230.2f is written as 230.2 rather than 230.199996948.
    slots.append(std::isfinite(f) ? Json::Value(std::strtod(FloatText(f).c_str(), nullptr))
                                  : Json::Value());
  }
  Json::Value& alarms = v["alarms"] = Json::Value(Json::arrayValue);
  Json::Value& numbers = v["alarm_signals"] = Json::Value(Json::arrayValue);
  for (int number : ActiveSignals(record)) {
    alarms.append(SignalName(number, lang));
    numbers.append(number);
  }
  return v;
}

std::string CsvHeader() {
  std::string text = "id,time";
  for (int k = 1; k <= kSlotCount; ++k) text += ",slot" + std::to_string(k);
  return text + "\n";
}

std::string RecordCsv(const DecodedRecord& record) {
  std::string text = std::to_string(record.id) + "," + record.time;
  for (float f : record.slots) {
    text += ',';
    if (std::isfinite(f)) text += FloatText(f);
  }
  return text + "\n";
}

std::string RecordText(size_t index, const DecodedRecord& record, NameLanguage lang) {
  std::string text = "record " + std::to_string(index) + ": id " + std::to_string(record.id) +
                     ", time " + record.time + "\n  slots:";
  int nonzero = 0;
  for (int k = 1; k <= kSlotCount; ++k) {
    const float f = record.slots[k - 1];
    if (f == 0.0f) continue;  // NaN is not zero and is shown
    text += " " + std::to_string(k) + "=" + FloatText(f);
    ++nonzero;
  }
  if (nonzero == 0) text += " (all zero)";
  const std::vector<int> alarms = ActiveSignals(record);
  text += "\n  alarms (" + std::to_string(alarms.size()) + "):";
  for (size_t i = 0; i < alarms.size(); ++i) {
    text += (i == 0 ? " " : ", ") +
            SignalLabel(alarms[i], SignalName(alarms[i], NameLanguage::kHost), lang);
  }
  return text + "\n";
}
