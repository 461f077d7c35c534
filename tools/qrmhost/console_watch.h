// The outcome and duration of each walk, read from the plug-in's console lines.
//
// The plug-in tells how a walk went only by console lines, which it writes on the thread that
// walks. Only the start of a line decides (the plug-in may add to its end, e.g. " (peer P)"):
//   "SNMP_MARLUXA_AC_POWER::do_sample"       a walk begins; its duration runs from here;
//   "Timeout: No Response from PEER"         no answer: the unit is dark, or the community or
//                                            the port is wrong (SNMPv2c gives no other clue);
//   "snmp get error N", "snmp response error N", "snmp walk stopped ..."
//                                            a failure that ended the walk early; the lines are
//                                            its reason, with a following "snmpbulkwalk: ..."
//                                            line (net-snmp's reason for an SNMPv3 failure);
//   "snmpbulkwalk: no session opened: ..."   the walk could not reach the unit (a name that
//                                            did not resolve, a refused peer or settings, a
//                                            session that did not open); its round, which
//                                            raises the communication alarm, follows;
//   "snmp walk found nothing under ROOT"     the walk stored no value: the agent has nothing
//                                            under the unit's root (a wrong address?).
// A walk with none of these that publishes its round was answered. Lines that only inform
// ("snmp walk still running after ...", "snmp walk on the default request: ...", "snmp tooBig:
// ...") change nothing; "snmp walk dropped N answers from ..." is kept, as what a walk without
// an answer means (the unit answered from elsewhere, and the line may name the setting that
// takes such answers). A line's " (peer P)" end, and the time-out's PEER, name the peer.
//
// While a ConsoleWatch is alive, the two streams it was given pass every character on to their
// earlier buffers, unchanged and in order, and the watch reads the lines each thread writes to
// either. With `hide_fixed_lines`, the plug-in's fixed lines, which it writes for the host
// framework and which tell an operator nothing ("InitSetting ID b_mode_:M",
// "SNMP_MARLUXA_AC_POWER::do_sample", "rvSize is N", and in frame mode 3 "here ..." and
// "mobile:..."), are read as ever but not passed on; every other line is, unchanged and whole,
// once its line end is written (a line longer than kHeldLine is passed on as it comes).
// TakeWalkOutcome() returns what happened on the calling thread since its last walk
// began, and clears it: the round observer calls it on the walking thread when the round is
// published, so the outcome goes to the right device whatever other devices print meanwhile. A
// walk that ends without a round (a failed open, or a walk that began while the one before it
// on the same thread never published) goes to the listener, on the writing thread, outside
// every lock of the watch. TakePendingWalks() hands over, at the end of a run, every walk that
// began and never ended: stopped. The streams must outlive the watch, and the watch every
// thread that writes through it.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <ostream>
#include <streambuf>
#include <string>
#include <thread>
#include <utility>
#include <vector>

struct WalkOutcome {
  enum Kind {
    kNone,          // no walk: nothing began on the thread since its last outcome was taken
    kAnswered,      // the walk got answers and stored values
    kNoAnswer,      // a request of the walk went unanswered
    kFailed,        // another failure ended the walk, or it published no round
    kFoundNothing,  // the walk stored no value
    kStopped,       // the walk was cut short by the end of the run
  };
  Kind kind = kNone;
  std::string reason;      // kFailed: the plug-in's lines that said why, without " (peer P)"
  std::string empty_root;  // kFoundNothing: the root searched, as the line named it
  std::string peer;        // the peer a line of the walk named, if any
  std::string dropped;     // "dropped N answers from ...", from the walk's line, if any
  bool timed = false;      // began with the banner, which `duration` runs from
  std::chrono::steady_clock::duration duration{};  // from the banner to the walk's end
};

// The outcome's name in events: "answered", "no answer", "failed", "found nothing", "stopped".
const char* WalkOutcomeName(WalkOutcome::Kind kind);

class ConsoleWatch {
 public:
  using Listener = std::function<void(std::thread::id, const WalkOutcome&)>;

  ConsoleWatch(std::ostream& out, std::ostream& err, bool hide_fixed_lines = false);
  ~ConsoleWatch();  // passes on what is held, gives the streams their earlier buffers back

  static constexpr size_t kHeldLine = 1024;
  ConsoleWatch(const ConsoleWatch&) = delete;
  ConsoleWatch& operator=(const ConsoleWatch&) = delete;

  // Receives the walks that end without a round. Set it before any thread writes.
  void SetListener(Listener listener) { listener_ = std::move(listener); }

  // The calling thread's walk since it began, ended now (kAnswered unless a line said
  // otherwise); kNone when nothing began.
  WalkOutcome TakeWalkOutcome();

  // Every walk that began and has not ended, as kStopped.
  std::vector<std::pair<std::thread::id, WalkOutcome>> TakePendingWalks();

  // How many walks have begun on the calling thread so far.
  unsigned long WalksBegunHere();

  // The threads on which some walk has begun so far.
  std::vector<std::thread::id> Walkers();

 private:
  class Tap;
  struct Walk {
    std::chrono::steady_clock::time_point began;
    WalkOutcome outcome;
  };
  using Ended = std::vector<std::pair<std::thread::id, WalkOutcome>>;

  // A line being held back until its end decides whether it is passed on.
  struct Held {
    std::string text;
    bool passing = false;  // too long to be a fixed line: passed on as it comes
  };

  // Under mutex_: adds `n` characters written by the calling thread to stream `stream`; walks
  // that ended without a round are added to *ended, and what is to be passed on now to *pass.
  void Read(int stream, const char* text, std::streamsize n, Ended* ended, std::string* pass);
  void OnLine(std::thread::id thread, const std::string& line, Ended* ended);
  // Outside mutex_.
  void Report(const Ended& ended) const;

  std::mutex mutex_;  // serialises writes through either stream and guards the maps
  std::map<std::pair<int, std::thread::id>, std::string> partial_;  // unfinished lines
  std::map<std::thread::id, Walk> walks_;
  std::map<std::thread::id, unsigned long> begun_;  // walks begun per thread
  const bool hide_;
  std::map<std::pair<int, std::thread::id>, Held> held_;  // with hide_ only
  Listener listener_;
  std::ostream& out_;
  std::ostream& err_;
  std::unique_ptr<Tap> out_tap_, err_tap_;
};
