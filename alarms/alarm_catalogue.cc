// The catalogue is generated from the naming rules of the unit's alarm
// leaves rather than written out entry by entry: every name is a fixed
// combination of the fragments below, and generating it keeps the fragments
// and their order in one place.

#include "alarms/alarm_catalogue.h"

#include <utility>

namespace {

// Limit levels, always in this order (it is not an order by size).
constexpr const char* kLevels[] = {"上上限", "上限", "下下限", "下限"};
// Quantities that only have the two upper levels use the first two of kLevels.
constexpr int kUpperLevelCount = 2;

constexpr const char* kLines[] = {"第一路", "第二路"};
constexpr const char* kLineQuantities[] = {"U1",  "U2",     "U3",  "ULNavg",  "I1", "I2",
                                           "I3",  "ILNavg", "P1",  "P2",      "P3", "PLNavg",
                                           "PF1", "PF2",    "PF3", "PFLNavg", "F"};
constexpr const char* kLinePhaseLoss[] = {"A相缺相", "B相缺相", "C相缺相"};
constexpr const char* kLineSupplyLoss = "供电中断";
constexpr const char* kLineUpperOnly[] = {"In", "UNBL-U", "UNBL-I", "零地电压"};
constexpr const char* kLineSwitches[] = {"主开关跳闸", "主开关", "防雷器开关", "防雷状态"};

constexpr int kModuleCount = 12;
constexpr const char* kSensors[] = {"温度1", "温度2", "湿度"};

// Branch breakers are "<group>QF<nn>": groups 1 and 2, nn = 01 to 08.
constexpr int kBreakerGroups = 2;
constexpr int kBreakersPerGroup = 8;
constexpr const char* kPhases[] = {"A", "B", "C"};

constexpr int kCommSlot = 1;
// Position p >= 2 reads slot p + kSlotOffset.
constexpr int kSlotOffset = 175;

std::string BreakerName(int group, int number) {
  std::string name = std::to_string(group) + "QF";
  if (number < 10) name += '0';
  name += std::to_string(number);
  return name;
}

class Builder {
 public:
  Builder() { entries_.push_back({kCommSlot, 1.0f, "设备通讯状态"}); }

  void Add(std::string name) {
    const int position = static_cast<int>(entries_.size()) + 1;
    entries_.push_back({position + kSlotOffset, 0.0f, std::move(name)});
  }

  std::vector<AlarmEntry> Release() { return std::move(entries_); }

 private:
  std::vector<AlarmEntry> entries_;
};

void AddIncomingLine(const std::string& line, Builder* b) {
  for (const char* quantity : kLineQuantities) {
    for (const char* level : kLevels) b->Add(line + quantity + level);
  }
  for (const char* loss : kLinePhaseLoss) b->Add(line + loss);
  b->Add(line + kLineSupplyLoss);
  for (const char* quantity : kLineUpperOnly) {
    for (int l = 0; l < kUpperLevelCount; ++l) b->Add(line + quantity + kLevels[l]);
  }
  for (const char* sw : kLineSwitches) b->Add(line + sw);
}

std::vector<std::string> Breakers() {
  std::vector<std::string> breakers;
  for (int g = 1; g <= kBreakerGroups; ++g) {
    for (int n = 1; n <= kBreakersPerGroup; ++n) breakers.push_back(BreakerName(g, n));
  }
  return breakers;
}

std::vector<AlarmEntry> BuildCatalogue() {
  Builder b;
  for (const char* line : kLines) AddIncomingLine(line, &b);
  for (int n = 1; n <= kModuleCount; ++n) {
    b.Add("支路电流模块" + std::to_string(n) + "通讯告警");
  }
  for (int n = 1; n <= kModuleCount; ++n) {
    b.Add("支路开关模块" + std::to_string(n) + "通讯告警");
  }
  for (const char* sensor : kSensors) {
    for (const char* level : kLevels) b.Add(std::string(sensor) + level + "告警");
  }
  const std::vector<std::string> breakers = Breakers();
  for (const std::string& breaker : breakers) b.Add(breaker + "支路开关OF分闸告警");
  for (const std::string& breaker : breakers) b.Add(breaker + "支路开关SD分闸告警");
  for (const std::string& breaker : breakers) {
    for (const char* phase : kPhases) {
      for (const char* level : kLevels) b.Add(breaker + "-" + phase + "电流越" + level);
    }
  }
  return b.Release();
}

}  // namespace

// Both tables are ordinary statics, released when the library is unloaded: a host may load
// and unload the plug-in many times, and every device (whose sampling thread is the only
// other reader) is destroyed before that.
const std::string& AlarmCategory() {
  static const std::string category(kAlarmCategory);
  return category;
}

const std::vector<AlarmEntry>& AlarmCatalogue() {
  static const std::vector<AlarmEntry> catalogue = BuildCatalogue();
  return catalogue;
}
