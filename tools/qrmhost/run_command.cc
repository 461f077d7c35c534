#include "tools/qrmhost/run_command.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <set>
#include <thread>
#include <vector>

#include <json/writer.h>

#include "host/HostObserver.h"
#include "tools/qrmhost/console_watch.h"
#include "tools/qrmhost/device_config.h"
#include "tools/qrmhost/event_log.h"
#include "tools/qrmhost/history_writer.h"
#include "tools/qrmhost/plugin_loader.h"
#include "tools/qrmhost/refresh_scheduler.h"
#include "tools/qrmhost/round_summary.h"
#include "tools/qrmhost/signal_watcher.h"
#include "util/config_value.h"
#include "util/console_line.h"

namespace {

using Clock = StopSignal::Clock;

// How long the end of a run waits for walks under way to end before it abandons them.
constexpr int kWalkGraceSeconds = 1;

Clock::duration Seconds(double s) {
  return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
}

// Everything that runs plug-in code, torn down in the one safe order: refreshes stopped,
// devices destroyed (last created first), providers released, library closed.
struct Session {
  explicit Session(StopSignal* s) : stop(s) {}
  ~Session() {
    stop->Raise();
    scheduler.reset();
    while (!devices.empty()) devices.pop_back();
    providers.clear();
    library.reset();
  }
  StopSignal* stop;
  std::unique_ptr<PluginLibrary> library;
  ProviderList providers;
  std::vector<std::unique_ptr<QRMSocketDevice>> devices;
  std::unique_ptr<RefreshScheduler> scheduler;
};

class Console {
 public:
  void Error(const std::string& line) {
    std::lock_guard<std::mutex> lock(mutex);
    ConsoleLine(std::cerr, "qrmhost: " + line);
  }
  // Reports a failure of the run and returns its exit status.
  int Fail(const std::string& line) {
    Error(line);
    return 1;
  }
  std::mutex mutex;  // guards std::cout and std::cerr
};

// Hands every host call to the run's own observer, then to a watcher.
class TeeObserver : public HostObserver {
 public:
  TeeObserver(std::shared_ptr<HostObserver> first, std::shared_ptr<HostObserver> second)
      : first_(std::move(first)), second_(std::move(second)) {}
  void OnSendSP(const QRMVDevice& d, int kind, std::vector<unsigned char> data,
                bool flag) override {
    first_->OnSendSP(d, kind, data, flag);
    second_->OnSendSP(d, kind, std::move(data), flag);
  }
  void OnReset(const QRMVDevice& d) override {
    first_->OnReset(d);
    second_->OnReset(d);
  }
  void OnCheckThresholdBool(const QRMVDevice& d, int kind, const std::string& id,
                            const std::string& id2, const std::string& category,
                            const std::string& name, bool alarm, unsigned short number) override {
    first_->OnCheckThresholdBool(d, kind, id, id2, category, name, alarm, number);
    second_->OnCheckThresholdBool(d, kind, id, id2, category, name, alarm, number);
  }
  bool OnDoBatchCheckThreshold(const QRMVDevice& d, const std::vector<rule_value>& batch,
                               bool proposed) override {
    const bool result = first_->OnDoBatchCheckThreshold(d, batch, proposed);
    second_->OnDoBatchCheckThreshold(d, batch, result);
    return result;
  }
  void OnSaveDeviceHistory(const QRMVDevice& d, std::vector<unsigned char> data) override {
    first_->OnSaveDeviceHistory(d, data);
    second_->OnSaveDeviceHistory(d, std::move(data));
  }
  void OnInitSetting(const QRMVDevice& d, const Json::Value& config, bool result) override {
    first_->OnInitSetting(d, config, result);
    second_->OnInitSetting(d, config, result);
  }
  int OnSendSocketData(const QRMVDevice& d, int handle, std::vector<unsigned char> data) override {
    const int result = first_->OnSendSocketData(d, handle, data);
    second_->OnSendSocketData(d, handle, std::move(data));
    return result;
  }

 private:
  const std::shared_ptr<HostObserver> first_, second_;
};

// The device's `ip`, as its lines name the peer; empty when it has none that is text.
std::string PeerOf(const Json::Value& settings) {
  const Json::Value* ip = ConfigMember(settings, "ip");
  return ip != nullptr && ip->isString() ? ip->asString() : std::string();
}

// Whether the device walks SNMPv3: appSetting.snmp_version 3, as a number or text.
bool WalksSnmpV3(const Json::Value& settings) {
  const Json::Value* app = ConfigMember(settings, "appSetting");
  const Json::Value* version = app != nullptr ? ConfigMember(*app, "snmp_version") : nullptr;
  std::string text;
  return version != nullptr && ConfigText(*version, &text) && LeadingInt(text) == 3;
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

// The device file of one unit named on the command line: host-driven, alarms evaluated.
std::string OneUnitConfig(const RunOptions& options) {
  Json::Value device(Json::objectValue);
  device["id"] = Json::UInt(options.id);
  device["ip"] = options.ip;
  device["address"] = Json::UInt(options.address);
  Json::Value& app = device["appSetting"] = Json::Value(Json::objectValue);
  app["use_thread"] = 0;
  app["b_mode"] = 2;
  if (!options.community.empty()) app["community"] = options.community;
  if (options.max_repetitions > 0) app["max_repetitions"] = Json::UInt(options.max_repetitions);
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "";
  return Json::writeString(builder, device);
}

// "device 1" or "devices 1, 2": at most eight ids, then how many more.
std::string DeviceList(const std::vector<uint32_t>& ids) {
  constexpr size_t kNamed = 8;
  std::string text = ids.size() == 1 ? "device " : "devices ";
  for (size_t i = 0; i < ids.size() && i < kNamed; ++i) {
    text += (i == 0 ? "" : ", ") + std::to_string(ids[i]);
  }
  if (ids.size() > kNamed) text += " and " + std::to_string(ids.size() - kNamed) + " more";
  return text;
}

// Binds the thread that began a walk since `known` was taken (device `id`'s sampling thread)
// to `id`; waits for it at most kSamplingThreadWaitMs (a thread that did not start is never
// seen), or until the stop.
void BindSamplingThread(uint32_t id, ConsoleWatch* walks, RoundSummary* summary,
                        std::set<std::thread::id>* known, const StopSignal& stop) {
  constexpr int kSamplingThreadWaitMs = 2000;
  for (int waited = 0; waited <= kSamplingThreadWaitMs && !stop.raised(); ++waited) {
    for (std::thread::id t : walks->Walkers()) {
      if (known->insert(t).second) {
        summary->BindThread(id, t);
        return;
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

QRMSocketDeviceProvider* FindSocketProvider(const ProviderList& providers) {
  for (const std::shared_ptr<Provider>& p : providers) {
    if (auto* socket = dynamic_cast<QRMSocketDeviceProvider*>(p.get())) return socket;
  }
  return nullptr;
}

}  // namespace

int RunCommand(const RunOptions& options, std::shared_ptr<HostObserver> watcher) {
  std::optional<Clock::time_point> deadline;
  if (options.timeout > 0) deadline = Clock::now() + Seconds(options.timeout);
  Console console;
  std::string error;
  std::vector<DeviceConfig> configs;
  const bool loaded = options.ip.empty()
                          ? LoadDeviceConfigs(options.config, &configs, &error)
                          : TakeDeviceConfigs(OneUnitConfig(options), "--ip", &configs, &error);
  if (!loaded) return console.Fail(error);
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
  SignalWatcher signals(&stop);  // before the first thread, so all inherit the signal mask
  const CoutToCerr events_alone(options.events == "-");  // before the watch takes std::cout
  // Outlives the session and its threads.
  ConsoleWatch walks(std::cout, std::cerr, /*hide_fixed_lines=*/!options.verbose);
  auto summary = std::make_shared<RoundSummary>(
      RoundOutputs{&std::cout, &console.mutex, &std::cerr, events.get(), history.get(), &walks,
                   options.lang},
      options.rounds, [&stop] { stop.Notify(); });
  for (const DeviceConfig& c : configs) {
    summary->AddDevice(c.id, PeerOf(c.settings), WalksSnmpV3(c.settings));
  }
  std::shared_ptr<HostObserver> observer = summary;
  if (watcher) observer = std::make_shared<TeeObserver>(summary, std::move(watcher));
  bool interrupted = false, timed_out = false;
  // The status of the run from its summary (the failures named on the error stream);
  // `cut_short` when the end abandoned walks. 1 outweighs 4, which outweighs 5, then 3.
  auto exit_status = [&](bool cut_short) {
    bool failed = false, lost = false, walks_wanting = false;
    for (const DeviceConfig& c : configs) {
      walks_wanting = walks_wanting || !summary->AllWalksAnswered(c.id);
      lost = lost || summary->Lost(c.id) > 0;
    }
    if (options.rounds > 0 && !interrupted) {
      for (const DeviceConfig& c : configs) {
        const unsigned published = summary->Published(c.id);
        if (published >= options.rounds) continue;
        console.Error("device " + std::to_string(c.id) + " published " + std::to_string(published) +
                      " of " + std::to_string(options.rounds) + " rounds" +
                      (timed_out ? " before the time bound" : ""));
        cut_short = cut_short || timed_out;
        failed = failed || !timed_out;
      }
    }
    if (events != nullptr && events->failed()) {
      console.Error("writing the event log " + options.events + " failed");
      failed = true;
    }
    return failed ? 1 : lost ? 4 : cut_short ? 5 : walks_wanting ? 3 : 0;
  };
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
      std::map<std::string, int> devices_at;  // devices per peer
      for (const DeviceConfig& c : configs) ++devices_at[PeerOf(c.settings)];
      std::set<std::thread::id> walkers;  // threads known to walk for a device
      for (const DeviceConfig& c : configs) {
        // The walks of an own-thread device whose peer another device shares can only be told
        // apart by their thread: its sampling thread, which begins its first walk at once.
        const bool shared = c.own_thread && devices_at[PeerOf(c.settings)] > 1;
        if (shared) {
          for (std::thread::id t : walks.Walkers()) walkers.insert(t);
        }
        session.devices.emplace_back(provider->create());
        QRMSocketDevice* device = session.devices.back().get();
        if (device == nullptr) {
          return console.Fail("the provider created no device for id " + std::to_string(c.id));
        }
        AttachHostObserver(device, observer);
        device->Init(std::weak_ptr<QRMController>(), c.id, c.settings);
        if (!device->InitSetting(c.settings)) {
          console.Error("device " + std::to_string(c.id) +
                        ": InitSetting reported a problem with its settings; running anyway");
        }
        if (shared) BindSamplingThread(c.id, &walks, summary.get(), &walkers, stop);
      }
      std::vector<RefreshScheduler::Device> driven;
      for (size_t i = 0; i < configs.size(); ++i) {
        driven.push_back({session.devices[i].get(), configs[i].id, configs[i].own_thread});
      }
      session.scheduler = std::make_unique<RefreshScheduler>(
          std::move(driven), options.interval, options.rounds, &stop, summary.get(), &walks,
          [&console](const std::string& line) { console.Error(line); });
      if (!session.scheduler->Start(&error)) return console.Fail(error);
      RefreshScheduler* scheduler = session.scheduler.get();
      auto done = [scheduler] { return scheduler->Done(); };
      interrupted = stop.Wait(deadline, done);
      timed_out = !interrupted && !done();
      stop.Raise();
      if (!scheduler->WaitForWalks(Clock::now() + std::chrono::seconds(kWalkGraceSeconds))) {
        // A refresh cannot be cut short, and a device must not be destroyed while its
        // RefreshStatus runs: the process ends without destroying anything, once what is
        // complete is saved and said. A walk that ends meanwhile saves and logs nothing.
        const std::vector<uint32_t> abandoned = scheduler->WalksUnderWay();
        console.Error(std::string("stopping") +
                      (timed_out     ? " at the time bound"
                       : interrupted ? " on the interrupt"
                                     : "") +
                      ": abandoning the " + (abandoned.size() == 1 ? "walk" : "walks") +
                      " under way on " + DeviceList(abandoned) + "; what " +
                      (abandoned.size() == 1 ? "it has" : "they have") + " read is not published");
        if (history != nullptr) history->Close();
        summary->EndRun();
        if (events != nullptr) events->Close();
        const int status = exit_status(true);
        // Held to the end: no line of a walk that ends meanwhile follows the closing lines.
        std::lock_guard<std::mutex> lock(console.mutex);
        for (const DeviceConfig& c : configs) ConsoleLine(std::cout, summary->ClosingLine(c.id));
        std::cout.flush();
        std::cerr.flush();
        std::fflush(nullptr);
        ::_exit(status);
      }
    } catch (const std::exception& e) {
      return console.Fail("the run stopped on an exception: " + std::string(e.what()));
    }
  }  // devices, providers and library are gone here
  summary->EndRun();

  {
    std::lock_guard<std::mutex> lock(console.mutex);
    for (const DeviceConfig& c : configs) ConsoleLine(std::cout, summary->ClosingLine(c.id));
  }
  return exit_status(false);
}
