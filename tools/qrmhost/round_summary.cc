#include "tools/qrmhost/round_summary.h"

#include <cstdio>

#include "frame/record.h"
#include "host/QRMVDevice.h"
#include "tools/qrmhost/record_decode.h"
#include "util/console_line.h"

namespace {

// Walks held per thread until it is bound: more than a run's start takes.
constexpr size_t kHeldWalks = 64;

// A unit with hundreds of alarms changing at once would make a line nobody reads.
constexpr size_t kNamesShown = 8;
// The closing line, once per device, may say more of what is still active.
constexpr size_t kClosingNamesShown = 32;

// Labels of the catalogue signals in `numbers`.
std::vector<std::string> Labels(const std::vector<int>& numbers, NameLanguage lang) {
  std::vector<std::string> labels;
  for (int n : numbers) labels.push_back(SignalLabel(n, SignalName(n, NameLanguage::kHost), lang));
  return labels;
}

// The signals of `now` that are not in `before` (both in catalogue order).
std::vector<int> Missing(const std::vector<int>& now, const std::vector<int>& before) {
  std::vector<int> missing;
  size_t j = 0;
  for (int n : now) {
    while (j < before.size() && before[j] < n) ++j;
    if (j == before.size() || before[j] != n) missing.push_back(n);
  }
  return missing;
}

double Seconds(std::chrono::steady_clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

std::string SecondsText(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f s", seconds);
  return text;
}

// What a walk without any answer may mean: the request reached no agent that would answer it,
// or, when the walk dropped answers from elsewhere, that (the plug-in's line names the setting
// that takes answers from another address of the unit).
std::string NoAnswerMeaning(const WalkOutcome& walk, bool snmpv3) {
  if (!walk.dropped.empty()) return walk.dropped;
  return snmpv3 ? "unit dark, wrong port or wrong privacy pass phrase"
                : "unit dark, wrong community or wrong port";
}

}  // namespace

RoundSummary::RoundSummary(RoundOutputs outputs, unsigned round_limit,
                           std::function<void()> on_round)
    : out_(outputs), limit_(round_limit), on_round_(std::move(on_round)) {
  if (out_.walks != nullptr) {
    out_.walks->SetListener([this](std::thread::id thread, const WalkOutcome& walk) {
      WalkWithoutRound(thread, walk);
    });
  }
}

RoundSummary::~RoundSummary() {
  if (out_.walks != nullptr) out_.walks->SetListener(nullptr);
}

void RoundSummary::AddDevice(uint32_t id, const std::string& peer, bool snmpv3) {
  std::lock_guard<std::mutex> lock(mutex_);
  DeviceRounds& d = devices_[id];
  d.peer = peer;
  d.snmpv3 = snmpv3;
}

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

unsigned RoundSummary::Walks(uint32_t id) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = devices_.find(id);
  return it == devices_.end() ? 0 : it->second.walks;
}

void RoundSummary::BindThread(uint32_t id) {
  std::lock_guard<std::mutex> lock(mutex_);
  threads_[std::this_thread::get_id()] = id;
}

void RoundSummary::BindThread(uint32_t id, std::thread::id thread) {
  std::vector<Json::Value> events;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    threads_[thread] = id;
    auto held = unbound_.find(thread);
    if (held == unbound_.end()) return;
    DeviceRounds& d = devices_[id];
    for (const WalkOutcome& walk : held->second) {
      if (Done(d)) break;
      events.push_back(CountWalk(id, &d, walk));
    }
    unbound_.erase(held);
  }
  for (const Json::Value& event : events) {
    if (!event.isNull()) out_.events->Write(event);
  }
}

bool RoundSummary::Done(const DeviceRounds& d) const {
  return limit_ != 0 && d.published >= limit_;
}

Json::Value RoundSummary::CountWalk(uint32_t id, DeviceRounds* d, const WalkOutcome& walk) {
  if (walk.kind == WalkOutcome::kNone) return Json::Value();
  ++d->walks;
  if (walk.timed && walk.kind != WalkOutcome::kStopped) d->durations.Add(Seconds(walk.duration));
  d->timed_out += walk.kind == WalkOutcome::kNoAnswer;
  d->failed += walk.kind == WalkOutcome::kFailed;
  d->found_nothing += walk.kind == WalkOutcome::kFoundNothing;
  if (out_.events == nullptr) return Json::Value();
  const std::string reason =
      walk.kind == WalkOutcome::kNoAnswer ? NoAnswerMeaning(walk, d->snmpv3) : walk.reason;
  return WalkEvent(id, d->peer.empty() ? walk.peer : d->peer, WalkOutcomeName(walk.kind),
                   walk.timed ? Seconds(walk.duration) : -1, reason, walk.empty_root);
}

void RoundSummary::WalkWithoutRound(std::thread::id thread, const WalkOutcome& walk) {
  Json::Value event;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto bound = threads_.find(thread);
    if (bound == threads_.end() && !walk.peer.empty()) {
      // A thread that never published: the one device configured with the peer it named.
      auto match = devices_.end();
      for (auto it = devices_.begin(); it != devices_.end(); ++it) {
        if (it->second.peer != walk.peer) continue;
        if (match != devices_.end()) {
          // Two devices share it: the walk is counted once its thread is bound.
          std::vector<WalkOutcome>& held = unbound_[thread];
          if (held.size() < kHeldWalks) held.push_back(walk);
          return;
        }
        match = it;
      }
      if (match == devices_.end()) return;
      bound = threads_.emplace(thread, match->first).first;
    }
    if (bound == threads_.end()) return;
    DeviceRounds& d = devices_[bound->second];
    if (Done(d)) return;
    event = CountWalk(bound->second, &d, walk);
  }
  if (!event.isNull()) out_.events->Write(event);
}

void RoundSummary::RefreshWithoutRound(uint32_t id, unsigned walks_before, bool stopping) {
  WalkOutcome walk = out_.walks != nullptr ? out_.walks->TakeWalkOutcome() : WalkOutcome();
  if (walk.kind != WalkOutcome::kNone) {  // a walk began and published nothing
    if (stopping) {
      walk.kind = WalkOutcome::kStopped;
    } else if (walk.kind == WalkOutcome::kAnswered) {
      walk.kind = WalkOutcome::kFailed;
      walk.reason = "the walk published no round";
    }
  } else if (!stopping) {
    walk.kind = WalkOutcome::kFailed;
    walk.reason = "the refresh published no round";
  }
  Json::Value event;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    DeviceRounds& d = devices_[id];
    // The watch told of a walk that ended in this refresh (a failed open): that was the walk.
    if (Done(d) || (d.walks != walks_before && walk.kind != WalkOutcome::kStopped)) return;
    event = CountWalk(id, &d, walk);
  }
  if (!event.isNull()) out_.events->Write(event);
}

void RoundSummary::EndRun() {
  if (out_.walks == nullptr) return;
  for (const auto& [thread, walk] : out_.walks->TakePendingWalks()) WalkWithoutRound(thread, walk);
}

unsigned RoundSummary::Lost(uint32_t id) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = devices_.find(id);
  return it == devices_.end() ? 0 : it->second.lost;
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
  std::vector<int> active;
  if (d.current.size() != kRecordSize) {
    line += ", no record";
  } else {
    active = ActiveSignals(DecodeRecord(d.current.data()));
    line += ", alarms active now " + std::to_string(active.size());
  }
  if (d.lost > 0) line += ", records lost " + std::to_string(d.lost);
  if (d.durations.count() > 0) {
    line += ", walk time median " + SecondsText(d.durations.median()) + ", longest " +
            SecondsText(d.durations.longest());
  }
  if (!active.empty()) {
    line += "; still active: " + JoinLabels(Labels(active, out_.lang), kClosingNamesShown);
  }
  return line;
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
  Json::Value walk_event;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    threads_[std::this_thread::get_id()] = id;
    DeviceRounds& d = devices_[id];
    d.ignoring = Done(d);
    if (d.ignoring) return;
    ++d.published;
    walk_event = CountWalk(id, &d, walk);
    d.walk = walk;
    d.empty_root = walk.kind != WalkOutcome::kFoundNothing ? std::string()
                   : walk.empty_root.empty()               ? std::string("the unit's root")
                                                           : walk.empty_root;
    d.previous.swap(d.current);
    d.current = data;
    d.reports = 0;
    d.numbers.clear();
    d.raised.clear();
    d.cleared.clear();
  }
  if (out_.events != nullptr) {
    if (!walk_event.isNull()) out_.events->Write(walk_event);
    const std::string time =
        data.size() == kRecordSize ? StampText(data.data() + kRecordSize - kStampSize) : "";
    out_.events->Write(PublishEvent(id, time, data.size()));
  }
}

void RoundSummary::OnCheckThresholdBool(const QRMVDevice& device, int kind, const std::string& id,
                                        const std::string& id2, const std::string& category,
                                        const std::string& name, bool alarm,
                                        unsigned short number) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = devices_.find(device.DataId());
    if (it == devices_.end() || it->second.ignoring) return;
    ++it->second.reports;
    it->second.numbers[name] = number;
  }
  if (out_.events == nullptr) return;
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
      const auto number = d.numbers.find(rule.name);
      const int n = number == d.numbers.end() ? 0 : number->second;
      (rule.state == 1 ? d.raised : d.cleared).push_back(SignalLabel(n, rule.name, out_.lang));
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
  std::string file, error;
  if (out_.history != nullptr) {
    file = out_.history->PathFor(id);
    if (!out_.history->Append(id, data.data(), data.size(), &error)) {
      WriteLine(out_.errors, "qrmhost: " + error + "; the record of this round is lost");
    }
  }
  if (out_.events != nullptr) out_.events->Write(HistoryEvent(id, file, data.size(), error));
  std::string line;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    DeviceRounds& d = devices_[id];
    ++d.completed;
    d.lost += !error.empty();
    line = SummaryLine(&d, id);
  }
  WriteLine(out_.console, line);
  if (on_round_) on_round_();
}

void RoundSummary::WriteLine(std::ostream* out, const std::string& line) const {
  std::lock_guard<std::mutex> lock(*out_.console_mutex);
  ConsoleLine(*out, line);
}

std::string RoundSummary::SummaryLine(DeviceRounds* rounds, uint32_t id) const {
  const DeviceRounds& d = *rounds;
  std::string line = "[round " + std::to_string(d.completed) + "] device " + std::to_string(id);
  if (d.current.size() != kRecordSize) {
    return line + ": published " + std::to_string(d.current.size()) + " bytes, not a " +
           std::to_string(kRecordSize) + "-byte record";
  }
  const DecodedRecord record = DecodeRecord(d.current.data());
  line += " at " + record.time + ": ";
  const WalkOutcome& walk = d.walk;
  if (walk.kind != WalkOutcome::kNone) {
    const std::string peer = d.peer.empty() ? walk.peer : d.peer;
    line += "walk" + (peer.empty() ? std::string() : " of " + peer);
    const std::string took = walk.timed ? " in " + SecondsText(Seconds(walk.duration)) : "";
    switch (walk.kind) {
      case WalkOutcome::kNoAnswer:
        line += " got no answer" + took + " (" + NoAnswerMeaning(walk, d.snmpv3) + ")";
        break;
      case WalkOutcome::kFailed:
        line += " failed" + took + ": " + walk.reason;
        break;
      case WalkOutcome::kFoundNothing:
        line += " found nothing" + took;
        break;
      default:
        line += " answered" + took;
        break;
    }
    line += "; ";
  }
  if (d.previous.size() == kRecordSize) {
    line += std::to_string(ChangedSlots(d.previous.data(), d.current.data())) + " slots changed";
  } else {
    int nonzero = 0;
    for (float f : record.slots) nonzero += !(f == 0.0f);
    line += "first record, " + std::to_string(nonzero) + " slots non-zero";
  }
  const std::vector<int> active = ActiveSignals(record);
  line += ", " + std::to_string(active.size()) + " alarms active";
  std::vector<std::string> raised = d.raised, cleared = d.cleared;
  if (d.reports == 0) {  // no evaluation this round: the record's alarm slots tell the changes
    std::vector<int> before;
    if (d.previous.size() == kRecordSize) before = ActiveSignals(DecodeRecord(d.previous.data()));
    raised = Labels(Missing(active, before), out_.lang);
    cleared = Labels(Missing(before, active), out_.lang);
  }
  if (!raised.empty()) line += "; raised: " + JoinLabels(raised, kNamesShown);
  if (!cleared.empty()) line += "; cleared: " + JoinLabels(cleared, kNamesShown);
  if (d.reports == 0 && !rounds->told_record_alarms && !(raised.empty() && cleared.empty())) {
    rounds->told_record_alarms = true;
    line +=
        "; alarms read from the record (the plug-in reports them to the host only with "
        "appSetting.b_mode 2)";
  }
  if (!d.empty_root.empty()) line += "; no value under " + d.empty_root + ": wrong address?";
  return line;
}
