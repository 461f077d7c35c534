// The run's host observer: turns each device's host calls and walks into summaries, events and
// history.
//
// A round is the calls from one SendSP to the following SaveDeviceHistory. At the end of each
// round one line is printed, e.g.
//   [round 2] device 1 at 2026-12-07T20:15:03+01:00: walk of 10.0.5.21 answered in 0.012 s;
//             14 slots changed, 5 alarms active; raised: #3 第一路U1上限; cleared: #1 设备通讯状态
//   (one line)
// with the walk that led to the round (its peer, outcome and duration, when the console watch
// saw it begin; a walk without an answer adds what that may mean, a failed one the plug-in's
// reason), the number of slots that changed since the device's previous published record, the
// catalogue alarms active in the record and the alarms raised or cleared since the device's
// previous round, as "#N NAME" labels (tools/qrmhost/alarm_names.h; at most eight of each, then
// "and N more"). In a round where the plug-in reported its signals (frame mode 2) they are the
// changes the host's threshold service put in the rule batch; in a round without reports (frame
// modes 1 and 3) they are read from the record's alarm slots, against the previous record (a
// first record raises every alarm active in it), and the device's first line that names such
// changes says so. A
// walk that stored no value adds "; no value under ROOT: wrong address?". At the end of the
// run, ClosingLine gives one line per device, e.g.
//   [end] device 1: rounds published 3, walks timed out 1, walks failed 0,
//         walks found nothing 0, alarms active now 2, records lost 1, walk time median 0.012 s,
//         longest 20.004 s; still active: #1 设备通讯状态, #3 第一路U1上限
// (the alarms of the last record, at most 32, then "and N more"; "records lost N" only where
// the history could not save N of the device's records).
// Walks that end without a round (a failed open, a host-driven refresh that published nothing)
// count as failed; walks the end of the run cut short are stopped, and count as neither.
//
// Every call and every walk is logged to the event log (if any); every saved image is appended
// to the history (if any), and a failed write is one line on the error stream and a history
// event carrying the error, while the run goes on. With a round limit, calls and walks after a
// device's last counted round are ignored, so each device contributes exactly that many rounds to
// every output. Every line is written whole, in one call.
//
// Callbacks run on each device's own thread; the observer is shared by all devices and is
// thread-safe. `on_round` runs after every counted round, outside any lock of the observer.
// A walk that ends without a round is told to the device whose thread walked it: the thread
// that published the device's rounds or was bound to it (BindThread), or else the one device
// whose `ip` the walk's lines named; where several devices share that `ip`, the walk waits for
// its thread to be bound.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "host/HostObserver.h"
#include "tools/qrmhost/alarm_names.h"
#include "tools/qrmhost/console_watch.h"
#include "tools/qrmhost/duration_stats.h"
#include "tools/qrmhost/event_log.h"
#include "tools/qrmhost/history_writer.h"

struct RoundOutputs {
  std::ostream* console = nullptr;  // summaries
  std::mutex* console_mutex = nullptr;
  std::ostream* errors = nullptr;           // history write errors
  EventLog* events = nullptr;               // optional
  const HistoryWriter* history = nullptr;   // optional
  ConsoleWatch* walks = nullptr;            // optional: outcomes of the walks
  NameLanguage lang = NameLanguage::kHost;  // of the alarm names in the lines
};

class RoundSummary : public HostObserver {
 public:
  // `round_limit` 0 counts rounds without limit. With a console watch, the summary is its
  // listener until destroyed.
  RoundSummary(RoundOutputs outputs, unsigned round_limit, std::function<void()> on_round);
  ~RoundSummary() override;

  // Device `id` walks the unit at `peer` (its `ip`), over SNMPv3 when `snmpv3`; before its first
  // call.
  void AddDevice(uint32_t id, const std::string& peer, bool snmpv3);

  // Rounds device `id` has published (SendSP) and completed (SaveDeviceHistory), and its walks
  // reported so far (with a round or without).
  unsigned Published(uint32_t id) const;
  unsigned Completed(uint32_t id) const;
  unsigned Walks(uint32_t id) const;
  // Records of device `id` that the history could not save.
  unsigned Lost(uint32_t id) const;

  // The calling thread drives device `id`.
  void BindThread(uint32_t id);
  // `thread` (a device's own sampling thread) walks for device `id`: the walks it ended
  // without a round before this, which no peer could tell apart, are counted for `id` now.
  void BindThread(uint32_t id, std::thread::id thread);

  // A refresh of device `id` on the calling thread published no round: reports the walk it
  // began (as stopped when `stopping`), or, when nothing began and no walk of the device was
  // reported since it had `walks_before`, a failed walk.
  void RefreshWithoutRound(uint32_t id, unsigned walks_before, bool stopping);

  // At the end of the run: the walks that began and never ended, as stopped.
  void EndRun();

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
    std::string peer;  // as configured
    bool snmpv3 = false;
    unsigned published = 0;
    unsigned completed = 0;
    unsigned walks = 0;          // walks reported, with a round or without
    unsigned timed_out = 0;      // walks whose agent did not answer
    unsigned failed = 0;         // walks that another failure ended early, or without a round
    unsigned found_nothing = 0;  // walks that stored no value
    unsigned lost = 0;           // records the history could not save
    DurationStats durations;     // of the walks that ended (stopped ones not)
    WalkOutcome walk;            // the walk of this round
    std::string empty_root;      // root of this round's walk if it found nothing
    bool ignoring = false;       // past the round limit
    std::vector<unsigned char> previous;            // record published in the previous round
    std::vector<unsigned char> current;             // record published in this round
    unsigned reports = 0;                           // signals the plug-in reported this round
    std::map<std::string, unsigned short> numbers;  // ... their numbers, by name
    std::vector<std::string> raised, cleared;       // labels of the batch's changes
    bool told_record_alarms = false;  // a line said the alarms were read from the record
  };

  // Whether the device's current round is counted (and therefore reported).
  bool Counted(uint32_t id) const;
  // Under mutex_: whether device `d` takes no more walks (its rounds are all counted).
  bool Done(const DeviceRounds& d) const;
  // Under mutex_: counts `walk` for `d` and returns its event (null for kNone).
  Json::Value CountWalk(uint32_t id, DeviceRounds* d, const WalkOutcome& walk);
  // A walk that ended without a round on `thread`, told to its device.
  void WalkWithoutRound(std::thread::id thread, const WalkOutcome& walk);
  void WriteLine(std::ostream* out, const std::string& line) const;
  std::string SummaryLine(DeviceRounds* d, uint32_t id) const;

  const RoundOutputs out_;
  const unsigned limit_;
  const std::function<void()> on_round_;
  mutable std::mutex mutex_;
  std::map<uint32_t, DeviceRounds> devices_;
  std::map<std::thread::id, uint32_t> threads_;  // the device each walking thread serves
  // Walks that ended without a round on threads not yet bound, whose peer several devices share.
  std::map<std::thread::id, std::vector<WalkOutcome>> unbound_;
};
