// The refreshes of a run: every device's RefreshStatus every `interval` seconds, as a host
// makes them, without a thread per device.
//
// A host-driven device walks on each refresh, so it gets a host thread of its own, on a stack of
// kHostThreadStackBytes; it is done after `rounds` refreshes (0: never), the first at once. An
// own-thread device answers a refresh at once, so one scheduler thread refreshes all of them in
// turn (every `interval`, but not more often than every kOwnThreadRefreshSeconds: such a
// refresh does nothing); such a device is done once it has completed `rounds` rounds (0:
// never). An own-thread device whose sampling
// thread could not be started walks on its refreshes instead: its first walk on the scheduler
// thread moves it to a host thread of its own, which refreshes it until it is done. A device
// whose host thread cannot be started is refreshed by the scheduler thread, whose other
// refreshes then wait for its walks (one line on the error stream says so).
//
// A refresh of a device that walks on refreshes and publishes nothing is reported to the round
// summary as a walk without a round. The threads wait for the stop signal's descriptor, not its
// condition, so that waking the run's waiter after every round wakes none of them. Start and
// Join run on one thread; Join is called after the stop is raised.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/QRMSocketDevice.h"
#include "tools/qrmhost/console_watch.h"
#include "tools/qrmhost/round_summary.h"
#include "util/stack_thread.h"
#include "util/stop_signal.h"

class RefreshScheduler {
 public:
  // A host thread runs a walk and its round in the plug-in, and qrmhost's own work for the round
  // (summary line, events, history) on top: twice the plug-in's sampling stack.
  static constexpr std::size_t kHostThreadStackBytes = 512 * 1024;
  static constexpr int kOwnThreadRefreshSeconds = 1;

  struct Device {
    QRMSocketDevice* device = nullptr;
    uint32_t id = 0;
    bool own_thread = false;
  };

  // `error` receives one line (without "qrmhost: ") for a refresh that threw or a host thread
  // that could not be started.
  RefreshScheduler(std::vector<Device> devices, double interval, unsigned rounds, StopSignal* stop,
                   RoundSummary* summary, ConsoleWatch* watch,
                   std::function<void(const std::string&)> error);
  RefreshScheduler(const RefreshScheduler&) = delete;
  RefreshScheduler& operator=(const RefreshScheduler&) = delete;
  ~RefreshScheduler();  // joins every thread; the stop must have been raised

  // Starts the host threads and the scheduler thread; false (with *error set) when the
  // scheduler thread cannot be started.
  bool Start(std::string* error);

  // Whether every device is done (never with `rounds` 0). The stop signal is notified whenever
  // this may have become true.
  bool Done() const;

  // After the stop: waits until no walk on a refresh is under way, or until `until`; true when
  // none is. No refresh begins once the stop is raised.
  bool WaitForWalks(StopSignal::Clock::time_point until) const;

  // The devices whose walk on a refresh is under way, in the order given.
  std::vector<uint32_t> WalksUnderWay() const;

  // Waits for every thread to end. After a stop it first names, in one line, the devices whose
  // walk on a refresh is still under way: the host cannot cut a refresh short, so the join
  // waits for their walks (the run abandons such walks before it comes to this; see
  // run_command.h).
  void Join();

 private:
  struct Driven;

  void RunScheduler();
  void RunHostThread(Driven* d);
  // One refresh of `d` on the calling thread; reports a walk without a round.
  void Refresh(Driven* d);
  // Starts `d`'s host thread; false when none can be had.
  bool StartHostThread(Driven* d);
  bool DeviceDone(const Driven& d) const;
  void ReportWalksUnderWay();

  const double interval_;
  const unsigned rounds_;
  StopSignal* const stop_;
  RoundSummary* const summary_;
  ConsoleWatch* const watch_;
  const std::function<void(const std::string&)> error_;
  std::vector<std::unique_ptr<Driven>> devices_;
  std::mutex threads_mutex_;  // host threads may be added by the scheduler thread
  std::vector<std::unique_ptr<StackThread>> host_threads_;
  std::unique_ptr<StackThread> scheduler_;
};
