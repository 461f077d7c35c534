#include "tools/qrmhost/round_summary.h"

#include "frame/record.h"
#include "host/QRMVDevice.h"
#include "tools/qrmhost/record_decode.h"

namespace {

// A unit with hundreds of alarms changing at once would make a line nobody reads.
constexpr size_t kNamesShown = 8;

std::string JoinNames(const std::vector<std::string>& names) {
  std::string text;
  for (size_t i = 0; i < names.size() && i < kNamesShown; ++i) {
    text += (i == 0 ? "" : ", ") + names[i];
  }
  if (names.size() > kNamesShown)
    text += " and " + std::to_string(names.size() - kNamesShown) + " more";
  return text;
}

}  // namespace

RoundSummary::RoundSummary(RoundOutputs outputs, unsigned round_limit,
                           std::function<void()> on_round)
    : out_(outputs), limit_(round_limit), on_round_(std::move(on_round)) {}

unsigned RoundSummary::Published(uint32_t id) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = devices_.find(id);
  return it == devices_.end() ? 0 : it->second.published;
}

unsigned RoundSummary::Completed(uint32_t id) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = devices_.find(id);
  return it == devices_.end() ? 0 : it->second.completed;
}

void RoundSummary::WalkWithoutRound(uint32_t id) {
  std::lock_guard<std::mutex> lock(mutex_);
  ++devices_[id].failed;
}

bool RoundSummary::AllWalksAnswered(uint32_t id) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = devices_.find(id);
  if (it == devices_.end()) return true;
  const DeviceRounds& d = it->second;
  return d.timed_out == 0 && d.failed == 0 && d.found_nothing == 0;
}

std::string RoundSummary::ClosingLine(uint32_t id) const {
  std::lock_guard<std::mutex> lock(mutex_);
  static const DeviceRounds kNone;
  auto it = devices_.find(id);
  const DeviceRounds& d = it == devices_.end() ? kNone : it->second;
  std::string line = "[end] device " + std::to_string(id) + ": rounds published " +
                     std::to_string(d.published) + ", walks timed out " +
                     std::to_string(d.timed_out) + ", walks failed " + std::to_string(d.failed) +
                     ", walks found nothing " + std::to_string(d.found_nothing);
  if (d.current.size() != kRecordSize) return line + ", no record";
  return line + ", alarms active now " +
         std::to_string(ActiveAlarms(DecodeRecord(d.current.data())).size());
}

bool RoundSummary::Counted(uint32_t id) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = devices_.find(id);
  return it != devices_.end() && !it->second.ignoring;
}

void RoundSummary::OnSendSP(const QRMVDevice& device, int, std::vector<unsigned char> data, bool) {
  const uint32_t id = device.DataId();
  // Taken on every publication, counted or not: the watch keeps nothing for walks that ended.
  const WalkOutcome walk = out_.walks != nullptr ? out_.walks->TakeWalkOutcome() : WalkOutcome();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    DeviceRounds& d = devices_[id];
    d.ignoring = limit_ != 0 && d.published >= limit_;
    if (d.ignoring) return;
    ++d.published;
    d.timed_out += walk.timed_out;
    d.failed += walk.failed;
    d.found_nothing += walk.found_nothing;
    d.empty_root = !walk.found_nothing       ? std::string()
                   : walk.empty_root.empty() ? std::string("the unit's root")
                                             : walk.empty_root;
    d.previous.swap(d.current);
    d.current = data;
    d.raised.clear();
    d.cleared.clear();
  }
  if (out_.events != nullptr) {
    const std::string time =
        data.size() == kRecordSize ? StampText(data.data() + kRecordSize - kStampSize) : "";
    out_.events->Write(PublishEvent(id, time, data.size()));
  }
}

void RoundSummary::OnCheckThresholdBool(const QRMVDevice& device, int kind, const std::string& id,
                                        const std::string& id2, const std::string& category,
                                        const std::string& name, bool alarm,
                                        unsigned short number) {
  if (out_.events == nullptr || !Counted(device.DataId())) return;
  out_.events->Write(SignalEvent(device.DataId(), kind, id, id2, category, name, alarm, number));
}

bool RoundSummary::OnDoBatchCheckThreshold(const QRMVDevice& device,
                                           const std::vector<rule_value>& batch, bool proposed) {
  const uint32_t id = device.DataId();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    DeviceRounds& d = devices_[id];
    if (d.ignoring) return proposed;
    for (const rule_value& rule : batch) {
      (rule.state == 1 ? d.raised : d.cleared).push_back(rule.name);
    }
  }
  if (out_.events != nullptr) {
    out_.events->Write(BatchEvent(id, batch.size(), proposed));
    for (const rule_value& rule : batch) out_.events->Write(AlarmEvent(id, rule));
  }
  return proposed;
}

void RoundSummary::OnSaveDeviceHistory(const QRMVDevice& device, std::vector<unsigned char> data) {
  const uint32_t id = device.DataId();
  if (!Counted(id)) return;
  std::string file;
  if (out_.history != nullptr) {
    std::string error;
    if (out_.history->Append(id, data.data(), data.size(), &error)) {
      file = out_.history->PathFor(id);
    } else {
      std::lock_guard<std::mutex> lock(*out_.console_mutex);
      *out_.errors << "qrmhost: " << error << std::endl;
    }
  }
  if (out_.events != nullptr) out_.events->Write(HistoryEvent(id, file, data.size()));
  std::string line;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    DeviceRounds& d = devices_[id];
    ++d.completed;
    line = SummaryLine(d, id);
  }
  {
    std::lock_guard<std::mutex> lock(*out_.console_mutex);
    *out_.console << line << std::endl;
  }
  if (on_round_) on_round_();
}

std::string RoundSummary::SummaryLine(const DeviceRounds& d, uint32_t id) const {
  std::string line = "[round " + std::to_string(d.completed) + "] device " + std::to_string(id);
  if (d.current.size() != kRecordSize) {
    return line + ": published " + std::to_string(d.current.size()) + " bytes, not a " +
           std::to_string(kRecordSize) + "-byte record";
  }
  const DecodedRecord record = DecodeRecord(d.current.data());
  line += " at " + record.time + ": ";
  if (d.previous.size() == kRecordSize) {
    line += std::to_string(ChangedSlots(d.previous.data(), d.current.data())) + " slots changed";
  } else {
    int nonzero = 0;
    for (float f : record.slots) nonzero += !(f == 0.0f);
    line += "first record, " + std::to_string(nonzero) + " slots non-zero";
  }
  line += ", " + std::to_string(ActiveAlarms(record).size()) + " alarms active";
  if (!d.raised.empty()) line += "; raised: " + JoinNames(d.raised);
  if (!d.cleared.empty()) line += "; cleared: " + JoinNames(d.cleared);
  if (!d.empty_root.empty()) line += "; no value under " + d.empty_root + ": wrong address?";
  return line;
}
