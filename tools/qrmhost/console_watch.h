// The outcome of each walk, read from the plug-in's console lines.
//
// The plug-in tells of a failed exchange only by a console line, which it writes on the thread
// that walks, before that walk's round is published. Only the start of a line decides (the
// plug-in may add to its end, e.g. " (peer PEER)"):
//   "Timeout: No Response from PEER"         the agent did not answer;
//   "snmp get error N", "snmp response error N", "snmp walk stopped ..."
//                                            another failure that ended the walk early;
//   "snmp walk found nothing under OID ..."  the walk stored no value: the agent has nothing
//                                            under the unit's root (a wrong address?).
// Every walk begins with the line "SNMP_MARLUXA_AC_POWER::do_sample".
//
// While a ConsoleWatch is alive, the two streams it was given pass every character on to their
// earlier buffers, unchanged and in order, and the watch reads the lines each thread writes to
// either. TakeWalkOutcome() returns what the calling thread's lines reported since its last
// walk began, and clears it. The round observer calls it on the walking thread when the round
// is published, so the outcome goes to the right device whatever other devices print meanwhile.
// The streams must outlive the watch, and the watch every thread that writes through it.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <ostream>
#include <streambuf>
#include <string>
#include <thread>
#include <utility>

struct WalkOutcome {
  bool timed_out = false;      // the agent did not answer
  bool failed = false;         // another failure ended the walk early
  bool found_nothing = false;  // the walk stored no value
  std::string empty_root;      // with found_nothing: the root it searched, as the line named it
};

class ConsoleWatch {
 public:
  ConsoleWatch(std::ostream& out, std::ostream& err);
  ~ConsoleWatch();  // gives the streams their earlier buffers back
  ConsoleWatch(const ConsoleWatch&) = delete;
  ConsoleWatch& operator=(const ConsoleWatch&) = delete;

  WalkOutcome TakeWalkOutcome();

 private:
  class Tap;

  // Under mutex_: adds `n` characters written by the calling thread to stream `stream`.
  void Read(int stream, const char* text, std::streamsize n);
  void OnLine(std::thread::id thread, const std::string& line);

  std::mutex mutex_;  // serialises writes through either stream and guards the maps
  std::map<std::pair<int, std::thread::id>, std::string> partial_;  // unfinished lines
  std::map<std::thread::id, WalkOutcome> walks_;
  std::ostream& out_;
  std::ostream& err_;
  std::unique_ptr<Tap> out_tap_, err_tap_;
};
