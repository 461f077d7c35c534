#include "tools/qrmhost/catalogue_command.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include <json/value.h>
#include <json/writer.h>

#include "alarms/alarm_catalogue.h"
#include "alarms/signal_id.h"
#include "frame/record.h"

namespace {

constexpr char kRoot[] = "1.3.6.1.4.1.61333.1.1.4.<address>";

struct Signal {
  int number;
  std::string id;
  const AlarmEntry* entry;
  std::string condition;
  std::string english;
};

std::vector<Signal> Signals() {
  std::vector<Signal> signals;
  const std::vector<AlarmEntry>& catalogue = AlarmCatalogue();
  for (size_t i = 0; i < catalogue.size(); ++i) {
    Signal s{static_cast<int>(i + 1), std::string(), &catalogue[i], std::string(),
             AlarmEnglishNames()[i]};
    FormatSignalId(static_cast<unsigned short>(s.number), &s.id);
    s.condition = catalogue[i].normal == 1.0f ? "slot != 1" : "slot != 0";
    signals.push_back(std::move(s));
  }
  return signals;
}

// What value slot k holds; `signals_by_slot[k]` is the signal that reads it (0: none).
std::string SlotContent(int k, const std::vector<int>& signals_by_slot) {
  if (signals_by_slot[k] == 1) return "communication state (1 = normal)";
  if (signals_by_slot[k] != 0) return "alarm flag (0 = normal)";
  return "measurement or setting";
}

std::vector<int> SignalsBySlot(const std::vector<Signal>& signals) {
  std::vector<int> by_slot(kSlotCount + 1, 0);
  for (const Signal& s : signals) by_slot[s.entry->slot] = s.number;
  return by_slot;
}

std::string PlainText(const std::vector<Signal>& signals, const std::vector<int>& by_slot) {
  std::string text = "Alarm signals: " + std::to_string(signals.size()) +
                     ", reported every round in frame mode 2 (appSetting.b_mode 2), category " +
                     AlarmCategory() + "; in alarm while the slot differs from its normal value " +
                     "(a NaN always does).\n";
  size_t english_width = 0;
  for (const Signal& s : signals) english_width = std::max(english_width, s.english.size());
  const int width = static_cast<int>(english_width);
  char row[256];
  std::snprintf(row, sizeof row, "%6s  %-14s  %4s  %-9s  %-*s  %s\n", "number", "ID", "slot",
                "condition", width, "name (English)", "name (host's own, as reported)");
  text += row;
  for (const Signal& s : signals) {
    std::snprintf(row, sizeof row, "%6d  %-14s  %4d  %-9s  %-*s  ", s.number, s.id.c_str(),
                  s.entry->slot, s.condition.c_str(), width, s.english.c_str());
    text += row + s.entry->name + "\n";
  }
  text += "\nValue slots: " + std::to_string(kSlotCount) + "; slot k holds leaf k of " + kRoot +
          " as an IEEE 754 single, little-endian, at byte 4k of the " +
          std::to_string(kRecordSize) +
          "-byte record (device id at byte 0, time stamp at byte 5080).\n";
  std::snprintf(row, sizeof row, "%-9s  %-9s  %s\n", "slots", "offsets", "content");
  text += row;
  for (int first = 1; first <= kSlotCount;) {
    const std::string content = SlotContent(first, by_slot);
    int last = first;
    while (last < kSlotCount && SlotContent(last + 1, by_slot) == content) ++last;
    const std::string slots =
        first == last ? std::to_string(first) : std::to_string(first) + "-" + std::to_string(last);
    const std::string offsets =
        first == last ? std::to_string(SlotOffset(first))
                      : std::to_string(SlotOffset(first)) + "-" + std::to_string(SlotOffset(last));
    std::string signal_range;
    if (by_slot[first] != 0) {
      signal_range = first == last ? "; signal " + std::to_string(by_slot[first])
                                   : "; signals " + std::to_string(by_slot[first]) + "-" +
                                         std::to_string(by_slot[last]);
    }
    std::snprintf(row, sizeof row, "%-9s  %-9s  ", slots.c_str(), offsets.c_str());
    text += row + content + signal_range + "\n";
    first = last + 1;
  }
  return text +
         "The unit's naming rules name its alarm states (and slot 1) only, so the measurement and "
         "setting slots have no name of their own; their values are in the record as read.\n";
}

std::string JsonText(const std::vector<Signal>& signals, const std::vector<int>& by_slot) {
  Json::Value doc(Json::objectValue);
  doc["category"] = AlarmCategory();
  doc["root"] = kRoot;
  doc["record_bytes"] = Json::UInt64(kRecordSize);
  Json::Value& list = doc["signals"] = Json::Value(Json::arrayValue);
  for (const Signal& s : signals) {
    Json::Value v(Json::objectValue);
    v["number"] = s.number;
    v["id"] = s.id;
    v["name"] = s.entry->name;
    v["name_en"] = s.english;
    v["slot"] = s.entry->slot;
    v["normal"] = static_cast<int>(s.entry->normal);
    v["condition"] = s.condition;
    v["category"] = AlarmCategory();
    list.append(v);
  }
  Json::Value& slots = doc["slots"] = Json::Value(Json::arrayValue);
  for (int k = 1; k <= kSlotCount; ++k) {
    Json::Value v(Json::objectValue);
    v["slot"] = k;
    v["offset"] = Json::UInt64(SlotOffset(k));
    v["content"] = SlotContent(k, by_slot);
    if (by_slot[k] != 0) {
      const Signal& s = signals[static_cast<size_t>(by_slot[k] - 1)];
      v["signal"] = s.number;
      v["name"] = s.entry->name;
      v["name_en"] = s.english;
    }
    slots.append(v);
  }
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "  ";
  builder["emitUTF8"] = true;
  return Json::writeString(builder, doc) + "\n";
}

std::string CsvText(const std::vector<Signal>& signals, const std::vector<int>& by_slot) {
  // No field needs quoting: names and contents hold no comma, quote or line end.
  std::string text =
      "slot,offset,content,signal_number,signal_id,signal_name,condition,category,"
      "signal_name_en\n";
  for (int k = 1; k <= kSlotCount; ++k) {
    text += std::to_string(k) + "," + std::to_string(SlotOffset(k)) + "," +
            SlotContent(k, by_slot) + ",";
    if (by_slot[k] != 0) {
      const Signal& s = signals[static_cast<size_t>(by_slot[k] - 1)];
      text += std::to_string(s.number) + "," + s.id + "," + s.entry->name + "," + s.condition +
              "," + AlarmCategory() + "," + s.english + "\n";
    } else {
      text += ",,,,,\n";
    }
  }
  return text;
}

}  // namespace

std::string CatalogueText(CatalogueFormat format) {
  const std::vector<Signal> signals = Signals();
  const std::vector<int> by_slot = SignalsBySlot(signals);
  switch (format) {
    case CatalogueFormat::kJson:
      return JsonText(signals, by_slot);
    case CatalogueFormat::kCsv:
      return CsvText(signals, by_slot);
    case CatalogueFormat::kText:
      break;
  }
  return PlainText(signals, by_slot);
}

int CatalogueCommand(CatalogueFormat format, std::ostream& out) {
  const std::string text = CatalogueText(format);
  out.write(text.data(), static_cast<std::streamsize>(text.size()));
  out.flush();
  return out.good() ? 0 : 1;
}
