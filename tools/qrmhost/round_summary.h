// The run's host observer: turns each device's host calls into summaries, events and history.
//
// A round is the calls from one SendSP to the following SaveDeviceHistory. At the end of each
// round one line is printed, e.g.
//   [round 2] device 1 at 2026-12-07T20:15:03+01:00: 14 slots changed, 5 alarms active; raised: A
// with the number of slots that changed since the device's previous published record, the
// catalogue alarms active in the record and the alarms the round's rule batch raised or
// cleared (at most eight of each by name, then "and N more"); a walk that stored no value adds
// "; no value under ROOT: wrong address?". At the end of the run, ClosingLine gives one line
// per device, e.g.
//   [end] device 1: rounds published 3, walks timed out 1, walks failed 0,
//         walks found nothing 0, alarms active now 5   (one line)
// where a walk's outcome is what the console watch (if any) read on the publishing thread, and
// a host-driven refresh that published nothing counts as a failed walk. Every call is logged to the
// event log (if any); every saved image is appended to the history (if any), and a failed write is
// one line on the error stream while the run goes on. With a round limit, calls after a device's
// last counted round are ignored, so each device contributes exactly that many rounds to every
// output.
//
// Callbacks run on each device's own thread; the observer is shared by all devices and is
// thread-safe. `on_round` runs after every counted round, outside any lock of the observer.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "host/HostObserver.h"
#include "tools/qrmhost/console_watch.h"
#include "tools/qrmhost/event_log.h"
#include "tools/qrmhost/history_writer.h"

struct RoundOutputs {
  std::ostream* console = nullptr;  // summaries
  std::mutex* console_mutex = nullptr;
  std::ostream* errors = nullptr;          // history write errors
  EventLog* events = nullptr;              // optional
  const HistoryWriter* history = nullptr;  // optional
  ConsoleWatch* walks = nullptr;           // optional: outcomes of the walks
};

class RoundSummary : public HostObserver {
 public:
  // `round_limit` 0 counts rounds without limit.
  RoundSummary(RoundOutputs outputs, unsigned round_limit, std::function<void()> on_round);

  // Rounds device `id` has published (SendSP) and completed (SaveDeviceHistory).
  unsigned Published(uint32_t id) const;
  unsigned Completed(uint32_t id) const;

  // Counts a walk of device `id` that ended without publishing a round.
  void WalkWithoutRound(uint32_t id);

  // Whether every counted walk of device `id` got an answer and stored a value: none timed
  // out, failed or found nothing.
  bool AllWalksAnswered(uint32_t id) const;

  // The closing summary of device `id`, without a line end.
  std::string ClosingLine(uint32_t id) const;

  void OnSendSP(const QRMVDevice& device, int kind, std::vector<unsigned char> data,
                bool flag) override;
  void OnCheckThresholdBool(const QRMVDevice& device, int kind, const std::string& id,
                            const std::string& id2, const std::string& category,
                            const std::string& name, bool alarm, unsigned short number) override;
  bool OnDoBatchCheckThreshold(const QRMVDevice& device, const std::vector<rule_value>& batch,
                               bool proposed) override;
  void OnSaveDeviceHistory(const QRMVDevice& device, std::vector<unsigned char> data) override;

 private:
  struct DeviceRounds {
    unsigned published = 0;
    unsigned completed = 0;
    unsigned timed_out = 0;               // walks whose agent did not answer
    unsigned failed = 0;                  // walks that another failure ended early
    unsigned found_nothing = 0;           // walks that stored no value
    std::string empty_root;               // root of this round's walk if it found nothing
    bool ignoring = false;                // past the round limit
    std::vector<unsigned char> previous;  // record published in the previous round
    std::vector<unsigned char> current;   // record published in this round
    std::vector<std::string> raised, cleared;
  };

  // Whether the device's current round is counted (and therefore reported).
  bool Counted(uint32_t id) const;
  std::string SummaryLine(const DeviceRounds& d, uint32_t id) const;

  const RoundOutputs out_;
  const unsigned limit_;
  const std::function<void()> on_round_;
  mutable std::mutex mutex_;
  std::map<uint32_t, DeviceRounds> devices_;
};
