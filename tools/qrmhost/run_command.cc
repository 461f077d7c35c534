#include "tools/qrmhost/run_command.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <thread>
#include <vector>

#include "host/HostObserver.h"
#include "tools/qrmhost/console_watch.h"
#include "tools/qrmhost/device_config.h"
#include "tools/qrmhost/event_log.h"
#include "tools/qrmhost/history_writer.h"
#include "tools/qrmhost/plugin_loader.h"
#include "tools/qrmhost/round_summary.h"
#include "tools/qrmhost/signal_watcher.h"

namespace {

using Clock = StopSignal::Clock;

Clock::duration Seconds(double s) {
  return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
}

// Everything that runs plug-in code, torn down in the one safe order: host threads stopped,
// devices destroyed (last created first), providers released, library closed.
struct Session {
  explicit Session(StopSignal* s) : stop(s) {}
  ~Session() {
    stop->Raise();
    for (std::thread& t : threads) t.join();
    while (!devices.empty()) devices.pop_back();
    providers.clear();
    library.reset();
  }
  StopSignal* stop;
  std::unique_ptr<PluginLibrary> library;
  ProviderList providers;
  std::vector<std::unique_ptr<QRMSocketDevice>> devices;
  std::vector<std::thread> threads;
};

class Console {
 public:
  void Error(const std::string& line) {
    std::lock_guard<std::mutex> lock(mutex);
    std::cerr << "qrmhost: " << line << std::endl;
  }
  // Reports a failure of the run and returns its exit status.
  int Fail(const std::string& line) {
    Error(line);
    return 1;
  }
  std::mutex mutex;  // guards std::cout and std::cerr
};

// The host thread of one device: a refresh every `interval` seconds, starting at once, until the
// stop is requested or the device is done. A host-driven device is done after `rounds` refreshes
// (0: no limit); each is one walk, which ends with a round unless it failed before it began.
// An own-thread device answers a refresh at once, unless its sampling thread could not be
// started: then the refresh walks, as for a host-driven device. It is done once it has
// completed `rounds` rounds (0: no limit), whichever thread walked them; a refresh of it that
// publishes nothing is not counted as a failed walk, since a device whose thread runs publishes
// nothing on a refresh.
void DriveDevice(QRMSocketDevice* device, uint32_t id, bool own_thread, const RunOptions& options,
                 StopSignal* stop, std::atomic<size_t>* finished, Console* console,
                 RoundSummary* summary) {
  Clock::time_point next = Clock::now();
  for (unsigned r = 0; own_thread || options.rounds == 0 || r < options.rounds; ++r) {
    if (r > 0) {
      next = std::max(next + Seconds(options.interval), Clock::now());
      if (stop->Wait(next, [] { return false; })) break;
    }
    if (stop->raised()) break;
    if (own_thread && options.rounds != 0 && summary->Completed(id) >= options.rounds) break;
    const unsigned published = summary->Published(id);
    try {
      device->RefreshStatus();
    } catch (const std::exception& e) {
      console->Error("device " + std::to_string(id) + ": RefreshStatus threw: " + e.what());
    }
    if (!own_thread && summary->Published(id) == published) summary->WalkWithoutRound(id);
  }
  if (!own_thread) finished->fetch_add(1);
  stop->Notify();
}

// While alive, std::cout writes where std::cerr does; the earlier buffer is given back at the
// end. With the event log on standard output, the plug-in's console lines (std::cout, written
// inside the plug-in) and the summaries then leave that stream to the events alone.
class CoutToCerr {
 public:
  explicit CoutToCerr(bool active)
      : earlier_(active ? std::cout.rdbuf(std::cerr.rdbuf()) : nullptr) {}
  ~CoutToCerr() {
    if (earlier_ != nullptr) std::cout.rdbuf(earlier_);
  }
  CoutToCerr(const CoutToCerr&) = delete;
  CoutToCerr& operator=(const CoutToCerr&) = delete;

 private:
  std::streambuf* const earlier_;
};

QRMSocketDeviceProvider* FindSocketProvider(const ProviderList& providers) {
  for (const std::shared_ptr<Provider>& p : providers) {
    if (auto* socket = dynamic_cast<QRMSocketDeviceProvider*>(p.get())) return socket;
  }
  return nullptr;
}

}  // namespace

int RunCommand(const RunOptions& options) {
  std::optional<Clock::time_point> deadline;
  if (options.timeout > 0) deadline = Clock::now() + Seconds(options.timeout);
  Console console;
  std::string error;
  std::vector<DeviceConfig> configs;
  if (!LoadDeviceConfigs(options.config, &configs, &error)) return console.Fail(error);
  std::unique_ptr<HistoryWriter> history;
  if (!options.history.empty() && !(history = HistoryWriter::Open(options.history, &error))) {
    return console.Fail(error);
  }
  std::ofstream event_file;
  std::ostream standard_output(std::cout.rdbuf());  // the events' own, with "-"
  std::mutex event_file_mutex;
  std::unique_ptr<EventLog> events;
  if (options.events == "-") {
    events = std::make_unique<EventLog>(standard_output, event_file_mutex);
  } else if (!options.events.empty()) {
    event_file.open(options.events, std::ios::out | std::ios::app | std::ios::binary);
    if (!event_file) {
      return console.Fail("cannot open event log " + options.events + ": " + std::strerror(errno));
    }
    events = std::make_unique<EventLog>(event_file, event_file_mutex);
  }

  StopSignal stop;
  SignalWatcher watcher(&stop);  // before the first thread, so all inherit the signal mask
  std::atomic<size_t> finished{0};
  const CoutToCerr events_alone(options.events == "-");  // before the watch takes std::cout
  ConsoleWatch walks(std::cout, std::cerr);              // outlives the session and its threads
  auto summary = std::make_shared<RoundSummary>(
      RoundOutputs{&std::cout, &console.mutex, &std::cerr, events.get(), history.get(), &walks},
      options.rounds, [&stop] { stop.Notify(); });
  bool interrupted = false, timed_out = false;
  {
    Session session(&stop);
    try {
      if (!(session.library = PluginLibrary::Open(options.plugin, &error))) {
        return console.Fail(error);
      }
      const GetProvidersFn get_providers = session.library->FindGetProviders(&error);
      if (get_providers == nullptr) return console.Fail(error);
      session.providers = get_providers();
      QRMSocketDeviceProvider* provider = FindSocketProvider(session.providers);
      if (provider == nullptr) {
        return console.Fail("plug-in " + options.plugin + " offers no socket device provider");
      }
      for (const DeviceConfig& c : configs) {
        session.devices.emplace_back(provider->create());
        QRMSocketDevice* device = session.devices.back().get();
        if (device == nullptr) {
          return console.Fail("the provider created no device for id " + std::to_string(c.id));
        }
        AttachHostObserver(device, summary);
        device->Init(std::weak_ptr<QRMController>(), c.id, c.settings);
        if (!device->InitSetting(c.settings)) {
          console.Error("device " + std::to_string(c.id) +
                        ": InitSetting reported a problem with its settings; running anyway");
        }
      }
      // Every device gets a host thread that refreshes it, as a host does: an own-thread device
      // whose sampling thread could not be started is driven by those refreshes.
      size_t host_driven = 0;
      for (size_t i = 0; i < configs.size(); ++i) {
        if (!configs[i].own_thread) ++host_driven;
        session.threads.emplace_back(DriveDevice, session.devices[i].get(), configs[i].id,
                                     configs[i].own_thread, std::cref(options), &stop, &finished,
                                     &console, summary.get());
      }
      auto done = [&] {
        if (options.rounds == 0 || finished.load() < host_driven) return false;
        for (const DeviceConfig& c : configs) {
          if (c.own_thread && summary->Completed(c.id) < options.rounds) return false;
        }
        return true;
      };
      interrupted = stop.Wait(deadline, done);
      timed_out = !interrupted && !done();
    } catch (const std::exception& e) {
      return console.Fail("the run stopped on an exception: " + std::string(e.what()));
    }
  }  // devices, providers and library are gone here

  {
    std::lock_guard<std::mutex> lock(console.mutex);
    for (const DeviceConfig& c : configs) std::cout << summary->ClosingLine(c.id) << "\n";
    std::cout << std::flush;
  }
  // 3: every device ran, but some walk timed out, failed or found nothing (its closing line
  // says which); 1, below, outweighs it.
  int status = 0;
  for (const DeviceConfig& c : configs) {
    if (!summary->AllWalksAnswered(c.id)) status = 3;
  }
  if (options.rounds > 0 && !interrupted) {
    for (const DeviceConfig& c : configs) {
      const unsigned published = summary->Published(c.id);
      if (published >= options.rounds) continue;
      console.Error("device " + std::to_string(c.id) + " published " + std::to_string(published) +
                    " of " + std::to_string(options.rounds) + " rounds" +
                    (timed_out ? " before the time bound" : ""));
      status = 1;
    }
  }
  if (events != nullptr && events->failed()) {
    console.Error("writing the event log " + options.events + " failed");
    status = 1;
  }
  return status;
}
