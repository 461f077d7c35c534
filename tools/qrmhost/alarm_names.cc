#include "tools/qrmhost/alarm_names.h"

#include <map>

#include "alarms/alarm_catalogue.h"

bool ParseNameLanguage(const std::string& text, NameLanguage* out) {
  if (text == "zh") {
    *out = NameLanguage::kHost;
  } else if (text == "en") {
    *out = NameLanguage::kEnglish;
  } else {
    return false;
  }
  return true;
}

int SignalNumberOf(const std::string& name) {
  static const std::map<std::string, int> numbers = [] {
    std::map<std::string, int> by_name;
    const std::vector<AlarmEntry>& catalogue = AlarmCatalogue();
    for (size_t i = 0; i < catalogue.size(); ++i) {
      by_name.emplace(catalogue[i].name, static_cast<int>(i + 1));
    }
    return by_name;
  }();
  const auto it = numbers.find(name);
  return it == numbers.end() ? 0 : it->second;
}

std::string SignalName(int number, NameLanguage lang) {
  const std::vector<AlarmEntry>& catalogue = AlarmCatalogue();
  if (number < 1 || static_cast<size_t>(number) > catalogue.size()) return std::string();
  const size_t i = static_cast<size_t>(number - 1);
  return lang == NameLanguage::kEnglish ? AlarmEnglishNames()[i] : catalogue[i].name;
}

std::string SignalLabel(int number, const std::string& name, NameLanguage lang) {
  std::string shown = name;
  if (lang == NameLanguage::kEnglish) {
    const int known = SignalNumberOf(name);
    if (known != 0) shown = SignalName(known, lang);
  }
  return number == 0 ? shown : "#" + std::to_string(number) + " " + shown;
}

std::string JoinLabels(const std::vector<std::string>& labels, size_t shown) {
  std::string text;
  for (size_t i = 0; i < labels.size() && i < shown; ++i) {
    text += (i == 0 ? "" : ", ") + labels[i];
  }
  if (labels.size() > shown) text += " and " + std::to_string(labels.size() - shown) + " more";
  return text;
}
