// The event log: one compact JSON object per line for every host call a device makes.
//
//   {"event":"publish","device":ID,"time":"YYYY-MM-DD HH:MM:SS","bytes":N}
//   {"event":"signal","device":ID,"id":..,"id2":..,"category":..,"name":..,"alarm":B,
//    "number":N,"kind":K}
//   {"event":"batch","device":ID,"size":N,"result":B}
//   {"event":"alarm","device":ID,"id":..,"name":..,"state":"raised"|"cleared"}
//   {"event":"history","device":ID,"file":PATH|null,"bytes":N[,"error":TEXT]}
//   {"event":"walk","device":ID,"peer":P,"outcome":O,"seconds":S,"reason":R,"root":ROOT}
//
// A history event with "error" is a record that could not be saved: the error names the file
// and the system's reason. A walk event comes before the publish event of the walk's round, or
// alone for a walk that published no round. O is "answered", "no answer", "failed", "found nothing"
// or "stopped"; S the walk's duration in seconds (millisecond resolution; absent when the walk's
// beginning was not seen); "reason" (why it failed, or what no answer may mean) and "root" (where a
// walk found nothing) only where they apply.
//
// Text is written as UTF-8, not escaped. Write() emits a whole line under the mutex given at
// construction (share it with other writers of the same stream) and flushes it, so lines from
// several device threads never interleave and a crash loses nothing already logged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <ostream>
#include <string>

#include <json/value.h>

#include "host/rule_value.h"

class EventLog {
 public:
  EventLog(std::ostream& out, std::mutex& mutex) : out_(out), mutex_(mutex) {}

  void Write(const Json::Value& event);

  // Every later Write writes nothing: the process is about to end at once.
  void Close();

  // True once a write to the stream has failed.
  bool failed() const;

  // The event's compact one-line text, without the newline.
  static std::string Line(const Json::Value& event);

 private:
  std::ostream& out_;
  std::mutex& mutex_;
  bool closed_ = false;  // under mutex_
};

Json::Value PublishEvent(uint32_t device, const std::string& time, size_t bytes);
Json::Value SignalEvent(uint32_t device, int kind, const std::string& id, const std::string& id2,
                        const std::string& category, const std::string& name, bool alarm,
                        unsigned number);
Json::Value BatchEvent(uint32_t device, size_t size, bool result);
Json::Value AlarmEvent(uint32_t device, const rule_value& rule);
// `file` empty writes null: no history is kept. `error`, when not empty, says why the record
// could not be saved in `file`: it is lost.
Json::Value HistoryEvent(uint32_t device, const std::string& file, size_t bytes,
                         const std::string& error = std::string());
// `reason` and `root` empty, and `seconds` below 0 (a walk that was not timed), are left out.
Json::Value WalkEvent(uint32_t device, const std::string& peer, const std::string& outcome,
                      double seconds, const std::string& reason, const std::string& root);
