#include "tools/qrmhost/console_watch.h"

namespace {

// Only the start of a line decides; longer lines are kept to this length, which holds every
// start read, the unit's root in a "found nothing" line included.
constexpr size_t kKeptLine = 96;

constexpr char kFoundNothing[] = "snmp walk found nothing under ";

bool StartsWith(const std::string& line, const char* prefix) {
  return line.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

}  // namespace

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
    std::lock_guard<std::mutex> lock(watch_->mutex_);
    watch_->Read(stream_, &ch, 1);
    return target_->sputc(ch);
  }
  std::streamsize xsputn(const char* s, std::streamsize n) override {
    std::lock_guard<std::mutex> lock(watch_->mutex_);
    watch_->Read(stream_, s, n);
    return target_->sputn(s, n);
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

ConsoleWatch::ConsoleWatch(std::ostream& out, std::ostream& err)
    : out_(out),
      err_(err),
      out_tap_(new Tap(this, 0, out.rdbuf())),
      err_tap_(new Tap(this, 1, err.rdbuf())) {
  out_.rdbuf(out_tap_.get());
  err_.rdbuf(err_tap_.get());
}

ConsoleWatch::~ConsoleWatch() {
  out_.rdbuf(out_tap_->target());
  err_.rdbuf(err_tap_->target());
}

WalkOutcome ConsoleWatch::TakeWalkOutcome() {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = walks_.find(std::this_thread::get_id());
  if (it == walks_.end()) return WalkOutcome();
  const WalkOutcome outcome = it->second;
  walks_.erase(it);
  return outcome;
}

void ConsoleWatch::Read(int stream, const char* text, std::streamsize n) {
  const std::thread::id thread = std::this_thread::get_id();
  const auto key = std::make_pair(stream, thread);
  for (std::streamsize i = 0; i < n; ++i) {
    if (text[i] == '\n') {
      const auto it = partial_.find(key);
      if (it == partial_.end()) continue;  // an empty line
      OnLine(thread, it->second);
      partial_.erase(it);
    } else {
      std::string& line = partial_[key];
      if (line.size() < kKeptLine) line += text[i];
    }
  }
}

void ConsoleWatch::OnLine(std::thread::id thread, const std::string& line) {
  if (StartsWith(line, "SNMP_MARLUXA_AC_POWER::do_sample")) {
    walks_[thread] = WalkOutcome();
  } else if (StartsWith(line, "Timeout: No Response from ")) {
    walks_[thread].timed_out = true;
  } else if (StartsWith(line, "snmp get error ") || StartsWith(line, "snmp response error ") ||
             StartsWith(line, "snmp walk stopped ")) {
    walks_[thread].failed = true;
  } else if (StartsWith(line, kFoundNothing)) {
    WalkOutcome& walk = walks_[thread];
    walk.found_nothing = true;
    const size_t from = sizeof kFoundNothing - 1;
    walk.empty_root = line.substr(from, line.find(' ', from) - from);
  }
}
