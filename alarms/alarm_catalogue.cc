// The catalogue is generated from the naming rules of the unit's alarm
// leaves rather than written out entry by entry: every name is a fixed
// combination of the fragments below, and generating it keeps the fragments
// and their order in one place. Each fragment carries its English words, so the
// English names come from the very same rules and cannot drift from the host's.

#include "alarms/alarm_catalogue.h"

#include <utility>

namespace {

// A fragment of a name: the host's text and its English words (empty: none).
struct Words {
  const char* host;
  const char* english;
};

// A name in the making. The host's fragments are joined as they are, the English ones with a
// single space between non-empty words.
struct Name {
  std::string host, english;
};

Name operator+(Name name, const Words& w) {
  name.host += w.host;
  const std::string english(w.english);
  if (!english.empty() && !name.english.empty()) name.english += ' ';
  name.english += english;
  return name;
}

Name operator+(Name name, const Name& more) {
  name.host += more.host;
  if (!more.english.empty() && !name.english.empty()) name.english += ' ';
  name.english += more.english;
  return name;
}

// Limit levels, always in this order (it is not an order by size). An alarm of a quantity
// "beyond" a level is above an upper one and below a lower one.
constexpr Words kLevels[] = {{"上上限", "above upper-upper limit"},
                             {"上限", "above upper limit"},
                             {"下下限", "below lower-lower limit"},
                             {"下限", "below lower limit"}};
// Quantities that only have the two upper levels use the first two of kLevels.
constexpr int kUpperLevelCount = 2;

constexpr Words kLines[] = {{"第一路", "incoming line 1"}, {"第二路", "incoming line 2"}};
constexpr Words kLineQuantities[] = {{"U1", "L1 voltage"},       {"U2", "L2 voltage"},
                                     {"U3", "L3 voltage"},       {"ULNavg", "mean voltage"},
                                     {"I1", "L1 current"},       {"I2", "L2 current"},
                                     {"I3", "L3 current"},       {"ILNavg", "mean current"},
                                     {"P1", "L1 power"},         {"P2", "L2 power"},
                                     {"P3", "L3 power"},         {"PLNavg", "mean power"},
                                     {"PF1", "L1 power factor"}, {"PF2", "L2 power factor"},
                                     {"PF3", "L3 power factor"}, {"PFLNavg", "mean power factor"},
                                     {"F", "frequency"}};
constexpr Words kLinePhaseLoss[] = {
    {"A相缺相", "phase A loss"}, {"B相缺相", "phase B loss"}, {"C相缺相", "phase C loss"}};
constexpr Words kLineSupplyLoss = {"供电中断", "supply interruption"};
constexpr Words kLineUpperOnly[] = {{"In", "neutral current"},
                                    {"UNBL-U", "voltage unbalance"},
                                    {"UNBL-I", "current unbalance"},
                                    {"零地电压", "neutral-to-earth voltage"}};
constexpr Words kLineSwitches[] = {{"主开关跳闸", "main switch trip"},
                                   {"主开关", "main switch"},
                                   {"防雷器开关", "surge protector switch"},
                                   {"防雷状态", "surge protection state"}};

constexpr int kModuleCount = 12;
constexpr Words kModules[] = {{"支路电流模块", "branch current module"},
                              {"支路开关模块", "branch switch module"}};
constexpr Words kModuleAlarm = {"通讯告警", "communication alarm"};
constexpr Words kSensors[] = {
    {"温度1", "temperature 1"}, {"温度2", "temperature 2"}, {"湿度", "humidity"}};
constexpr Words kSensorAlarm = {"告警", ""};  // "above ... limit" says it is an alarm

// Branch breakers are "<group>QF<nn>": groups 1 and 2, nn = 01 to 08; the same in English.
constexpr int kBreakerGroups = 2;
constexpr int kBreakersPerGroup = 8;
constexpr Words kBreakerOpenings[] = {{"支路开关OF分闸告警", "branch switch OF opening alarm"},
                                      {"支路开关SD分闸告警", "branch switch SD opening alarm"}};
constexpr Words kPhaseSeparator = {"-", ""};
constexpr Words kPhases[] = {{"A", "phase A"}, {"B", "phase B"}, {"C", "phase C"}};
constexpr Words kPhaseCurrent = {"电流越", "current"};

constexpr int kCommSlot = 1;
constexpr Words kCommState = {"设备通讯状态", "device communication state"};
// Position p >= 2 reads slot p + kSlotOffset.
constexpr int kSlotOffset = 175;

Name Plain(const std::string& text) { return Name{text, text}; }

Name BreakerName(int group, int number) {
  std::string name = std::to_string(group) + "QF";
  if (number < 10) name += '0';
  name += std::to_string(number);
  return Plain(name);
}

struct Catalogue {
  std::vector<AlarmEntry> entries;
  std::vector<std::string> english;
};

class Builder {
 public:
  Builder() { Add(kCommSlot, 1.0f, Name() + kCommState); }

  void Add(const Name& name) {
    const int position = static_cast<int>(out_.entries.size()) + 1;
    Add(position + kSlotOffset, 0.0f, name);
  }

  Catalogue Release() { return std::move(out_); }

 private:
  void Add(int slot, float normal, const Name& name) {
    out_.entries.push_back({slot, normal, name.host});
    out_.english.push_back(name.english);
  }
  Catalogue out_;
};

void AddIncomingLine(const Words& line_words, Builder* b) {
  const Name line = Name() + line_words;
  for (const Words& quantity : kLineQuantities) {
    for (const Words& level : kLevels) b->Add(line + quantity + level);
  }
  for (const Words& loss : kLinePhaseLoss) b->Add(line + loss);
  b->Add(line + kLineSupplyLoss);
  for (const Words& quantity : kLineUpperOnly) {
    for (int l = 0; l < kUpperLevelCount; ++l) b->Add(line + quantity + kLevels[l]);
  }
  for (const Words& sw : kLineSwitches) b->Add(line + sw);
}

std::vector<Name> Breakers() {
  std::vector<Name> breakers;
  for (int g = 1; g <= kBreakerGroups; ++g) {
    for (int n = 1; n <= kBreakersPerGroup; ++n) breakers.push_back(BreakerName(g, n));
  }
  return breakers;
}

Catalogue BuildCatalogue() {
  Builder b;
  for (const Words& line : kLines) AddIncomingLine(line, &b);
  for (const Words& module : kModules) {
    for (int n = 1; n <= kModuleCount; ++n) {
      b.Add(Name() + module + Plain(std::to_string(n)) + kModuleAlarm);
    }
  }
  for (const Words& sensor : kSensors) {
    for (const Words& level : kLevels) b.Add(Name() + sensor + level + kSensorAlarm);
  }
  const std::vector<Name> breakers = Breakers();
  for (const Words& opening : kBreakerOpenings) {
    for (const Name& breaker : breakers) b.Add(breaker + opening);
  }
  for (const Name& breaker : breakers) {
    for (const Words& phase : kPhases) {
      for (const Words& level : kLevels) {
        b.Add(breaker + kPhaseSeparator + phase + kPhaseCurrent + level);
      }
    }
  }
  return b.Release();
}

}  // namespace

// The tables are ordinary statics, released when the library is unloaded: a host may load
// and unload the plug-in many times, and every device (whose sampling thread is the only
// other reader) is destroyed before that.
const std::string& AlarmCategory() {
  static const std::string category(kAlarmCategory);
  return category;
}

const std::vector<AlarmEntry>& AlarmCatalogue() {
  static const std::vector<AlarmEntry> catalogue = BuildCatalogue().entries;
  return catalogue;
}

const std::vector<std::string>& AlarmEnglishNames() {
  static const std::vector<std::string> english = BuildCatalogue().english;
  return english;
}
