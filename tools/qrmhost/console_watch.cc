#include "tools/qrmhost/console_watch.h"

namespace {

using Clock = std::chrono::steady_clock;

// Only the start of a line decides, and a reason is one line; longer lines are kept to this
// length, which holds every line the plug-in writes about a walk.
constexpr size_t kKeptLine = 512;

constexpr char kBanner[] = "SNMP_MARLUXA_AC_POWER::do_sample";
constexpr char kTimeout[] = "Timeout: No Response from ";
constexpr char kFoundNothing[] = "snmp walk found nothing under ";
constexpr char kNoSession[] = "snmpbulkwalk: no session opened: ";
constexpr char kReason[] = "snmpbulkwalk: ";
constexpr char kDropped[] = "snmp walk dropped ";
constexpr char kPeerSuffix[] = " (peer ";

bool StartsWith(const std::string& line, const char* prefix) {
  return line.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

bool EndsFailedWalk(const std::string& line) {
  return StartsWith(line, "snmp get error ") || StartsWith(line, "snmp response error ") ||
         StartsWith(line, "snmp walk stopped ");
}

// The plug-in's fixed lines for the host framework (see the header).
bool IsFixedLine(const std::string& line) {
  return line == kBanner ||
         (StartsWith(line, "InitSetting ") && line.find(" b_mode_:") != std::string::npos) ||
         StartsWith(line, "rvSize is ") || StartsWith(line, "here ") || StartsWith(line, "mobile:");
}

// Splits "TEXT (peer P)" into TEXT and P; a line without that end is TEXT alone.
std::string WithoutPeer(const std::string& line, std::string* peer) {
  if (line.empty() || line.back() != ')') return line;
  const size_t at = line.rfind(kPeerSuffix);
  if (at == std::string::npos) return line;
  const size_t from = at + sizeof kPeerSuffix - 1;
  *peer = line.substr(from, line.size() - 1 - from);
  return line.substr(0, at);
}

}  // namespace

const char* WalkOutcomeName(WalkOutcome::Kind kind) {
  switch (kind) {
    case WalkOutcome::kAnswered:
      return "answered";
    case WalkOutcome::kNoAnswer:
      return "no answer";
    case WalkOutcome::kFailed:
      return "failed";
    case WalkOutcome::kFoundNothing:
      return "found nothing";
    case WalkOutcome::kStopped:
      return "stopped";
    case WalkOutcome::kNone:
      break;
  }
  return "none";
}

// A stream buffer without a buffer of its own: each write goes to the target at once, so the
// output keeps the order and timing it had without the watch.
class ConsoleWatch::Tap : public std::streambuf {
 public:
  Tap(ConsoleWatch* watch, int stream, std::streambuf* target)
      : watch_(watch), stream_(stream), target_(target) {}
  std::streambuf* target() const { return target_; }

 protected:
  int_type overflow(int_type c) override {
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    const char ch = traits_type::to_char_type(c);
    return xsputn(&ch, 1) == 1 ? c : traits_type::eof();
  }
  std::streamsize xsputn(const char* s, std::streamsize n) override {
    Ended ended;
    std::streamsize result;
    {
      std::lock_guard<std::mutex> lock(watch_->mutex_);
      std::string pass;
      watch_->Read(stream_, s, n, &ended, watch_->hide_ ? &pass : nullptr);
      if (!watch_->hide_) {
        result = target_->sputn(s, n);
      } else {
        const auto size = static_cast<std::streamsize>(pass.size());
        result = size == 0 || target_->sputn(pass.data(), size) == size ? n : 0;
      }
    }
    watch_->Report(ended);
    return result;
  }
  int sync() override {
    std::lock_guard<std::mutex> lock(watch_->mutex_);
    return target_->pubsync();
  }

 private:
  ConsoleWatch* const watch_;
  const int stream_;
  std::streambuf* const target_;
};

ConsoleWatch::ConsoleWatch(std::ostream& out, std::ostream& err, bool hide_fixed_lines)
    : hide_(hide_fixed_lines),
      out_(out),
      err_(err),
      out_tap_(new Tap(this, 0, out.rdbuf())),
      err_tap_(new Tap(this, 1, err.rdbuf())) {
  out_.rdbuf(out_tap_.get());
  err_.rdbuf(err_tap_.get());
}

ConsoleWatch::~ConsoleWatch() {
  for (const auto& [key, held] : held_) {  // lines never ended: nothing is lost
    if (held.text.empty()) continue;
    Tap* tap = key.first == 0 ? out_tap_.get() : err_tap_.get();
    tap->target()->sputn(held.text.data(), static_cast<std::streamsize>(held.text.size()));
  }
  out_.rdbuf(out_tap_->target());
  err_.rdbuf(err_tap_->target());
}

WalkOutcome ConsoleWatch::TakeWalkOutcome() {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = walks_.find(std::this_thread::get_id());
  if (it == walks_.end()) return WalkOutcome();
  WalkOutcome outcome = it->second.outcome;
  if (outcome.kind == WalkOutcome::kNone) outcome.kind = WalkOutcome::kAnswered;
  outcome.duration = Clock::now() - it->second.began;
  walks_.erase(it);
  return outcome;
}

std::vector<std::pair<std::thread::id, WalkOutcome>> ConsoleWatch::TakePendingWalks() {
  std::lock_guard<std::mutex> lock(mutex_);
  Ended pending;
  const Clock::time_point now = Clock::now();
  for (auto& [thread, walk] : walks_) {
    walk.outcome.kind = WalkOutcome::kStopped;
    walk.outcome.duration = now - walk.began;
    pending.emplace_back(thread, walk.outcome);
  }
  walks_.clear();
  return pending;
}

unsigned long ConsoleWatch::WalksBegunHere() {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = begun_.find(std::this_thread::get_id());
  return it == begun_.end() ? 0 : it->second;
}

std::vector<std::thread::id> ConsoleWatch::Walkers() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::thread::id> threads;
  for (const auto& [thread, count] : begun_) threads.push_back(thread);
  return threads;
}

void ConsoleWatch::Read(int stream, const char* text, std::streamsize n, Ended* ended,
                        std::string* pass) {
  const std::thread::id thread = std::this_thread::get_id();
  const auto key = std::make_pair(stream, thread);
  Held* held = pass != nullptr ? &held_[key] : nullptr;
  for (std::streamsize i = 0; i < n; ++i) {
    if (held != nullptr) {
      if (held->passing) {
        *pass += text[i];
      } else if (text[i] != '\n') {
        held->text += text[i];
        if (held->text.size() >= kHeldLine) {
          *pass += held->text;
          held->text.clear();
          held->passing = true;
        }
      } else if (!IsFixedLine(held->text)) {
        *pass += held->text + '\n';
      }
      if (text[i] == '\n') {
        held->text.clear();
        held->passing = false;
      }
    }
    if (text[i] == '\n') {
      const auto it = partial_.find(key);
      if (it == partial_.end()) continue;  // an empty line
      OnLine(thread, it->second, ended);
      partial_.erase(it);
    } else {
      std::string& line = partial_[key];
      if (line.size() < kKeptLine) line += text[i];
    }
  }
}

void ConsoleWatch::OnLine(std::thread::id thread, const std::string& line, Ended* ended) {
  const Clock::time_point now = Clock::now();
  const auto it = walks_.find(thread);
  if (StartsWith(line, kBanner)) {
    if (it != walks_.end()) {  // the walk before ended without a round
      WalkOutcome before = it->second.outcome;
      if (before.kind == WalkOutcome::kNone) {
        before.kind = WalkOutcome::kFailed;
        before.reason = "the walk published no round";
      }
      before.duration = now - it->second.began;
      ended->emplace_back(thread, before);
    }
    walks_[thread] = Walk{now, WalkOutcome()};
    walks_[thread].outcome.timed = true;
    ++begun_[thread];
    return;
  }
  if (it == walks_.end()) return;  // not inside a walk
  WalkOutcome& walk = it->second.outcome;
  std::string peer;
  const std::string text = WithoutPeer(line, &peer);
  if (!peer.empty()) walk.peer = peer;
  if (StartsWith(line, kNoSession)) {
    // The plug-in still ends such a walk with a round (the communication alarm), which takes
    // this outcome; a walk that ends without one is told at the thread's next banner.
    walk.kind = WalkOutcome::kFailed;
    walk.reason = text;
    return;
  }
  if (walk.kind == WalkOutcome::kFailed && StartsWith(line, kReason)) {
    walk.reason += ": " + text.substr(sizeof kReason - 1);
    return;
  }
  if (StartsWith(line, kDropped)) {
    walk.dropped = text.substr(sizeof "snmp walk " - 1);
    return;
  }
  if (walk.kind != WalkOutcome::kNone) return;  // the first line that decides stays
  if (StartsWith(line, kTimeout)) {
    walk.kind = WalkOutcome::kNoAnswer;
    walk.peer = line.substr(sizeof kTimeout - 1);
  } else if (EndsFailedWalk(line)) {
    walk.kind = WalkOutcome::kFailed;
    walk.reason = text;
  } else if (StartsWith(line, kFoundNothing)) {
    walk.kind = WalkOutcome::kFoundNothing;
    const size_t from = sizeof kFoundNothing - 1;
    walk.empty_root = line.substr(from, line.find(' ', from) - from);
  }
}

void ConsoleWatch::Report(const Ended& ended) const {
  if (!listener_) return;
  for (const auto& [thread, outcome] : ended) listener_(thread, outcome);
}
