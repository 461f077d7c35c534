// A stand-in plug-in for the qrmhost tests, built like the real one: a loadable module with
// hidden visibility whose host symbols resolve from the loading process.
//
// Its device runs the data-device frame's round on a tiny record: slot 1 (communication
// state) stays 1, slot 2 counts rounds, slot 177 is 1 on odd rounds and 0 on even ones, so the
// second catalogue alarm is raised on odd rounds and cleared on even ones. Two signals are
// reported per round. appSetting keys: "use_thread" (own sampling thread), "period_ms" (its
// period, default 50), "publish" (false: never completes a round), "refresh_ms" (how long a
// host-driven refresh takes, as a walk of a slow unit does, said in a line as it begins;
// default 0) and "console" (lines the
// device prints to standard output in every round before publishing, as the real plug-in
// tells of a walk's outcome).
#include <chrono>
#include <condition_variable>
#include <iostream>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "alarms/alarm_catalogue.h"
#include "frame/UniDataDevice.h"
#include "frame/record.h"
#include "plugin/provider.h"

namespace {

class FakeDevice : public UniDataDevice<SNMP_MARLUXA_AC_POWER_Data_t, QRMSocketDevice, 1> {
 public:
  ~FakeDevice() override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    cv_.notify_all();
    if (thread_.joinable()) thread_.join();
  }

  int process_data(int, unsigned char*, int) override { return 0; }

  bool InitSetting(const Json::Value& config) override {
    const bool ok = UniDataDevice::InitSetting(config);
    const Json::Value& app = config["appSetting"];
    own_thread_ = app["use_thread"].asInt() != 0;
    publish_ = app.get("publish", true).asBool();
    const int period_ms = app.get("period_ms", 50).asInt();
    refresh_ = std::chrono::milliseconds(app.get("refresh_ms", 0).asInt());
    for (const Json::Value& line : app["console"]) console_.push_back(line.asString());
    SetSlot(m_data, 1, 1.0f);
    std::cout << "fake: device " << m_id << " configured" << std::endl;
    if (own_thread_ && publish_) {
      thread_ = std::thread([this, period_ms] {
        std::unique_lock<std::mutex> lock(mutex_);
        while (
            !cv_.wait_for(lock, std::chrono::milliseconds(period_ms), [&] { return stopping_; })) {
          lock.unlock();
          Round();
          lock.lock();
        }
      });
    }
    return ok;
  }

  int RefreshStatus() override {
    if (own_thread_) return 0;
    if (refresh_.count() > 0) std::cout << "fake: device " << m_id << " refreshing" << std::endl;
    std::this_thread::sleep_for(refresh_);
    if (publish_) Round();
    return 0;
  }

  void RunCheckThreshold() override {
    for (int i = 0; i < 2; ++i) {
      const AlarmEntry& e = AlarmCatalogue()[i];
      const bool alarm = !(Slot(m_data, e.slot) == e.normal);
      const std::string id = "fake-" + std::to_string(i);
      CheckThresholdBool(2, id, id, AlarmCategory(), e.name, alarm, m_signalNo++);
    }
  }

 private:
  void Round() {
    auto lock = RoundLock();
    ++rounds_;
    SetSlot(m_data, 2, static_cast<float>(rounds_));
    SetSlot(m_data, 177, rounds_ % 2 == 1 ? 1.0f : 0.0f);
    for (const std::string& line : console_) std::cout << line << std::endl;
    RoundDone();
  }

  bool own_thread_ = false;
  bool publish_ = true;
  std::chrono::milliseconds refresh_{0};
  std::vector<std::string> console_;
  int rounds_ = 0;
  std::mutex mutex_;
  std::condition_variable cv_;
  bool stopping_ = false;
  std::thread thread_;
};

class FakeProvider : public QRMSocketDeviceProvider {
 public:
  QRMSocketDevice* create() const override { return new FakeDevice; }
};

}  // namespace

// A plain provider comes first: the host must pick the first socket device provider.
extern "C" __attribute__((visibility("default"))) ProviderList get_providers() {
  return {std::make_shared<Provider>(), std::make_shared<FakeProvider>()};
}
