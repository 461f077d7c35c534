// A host observer for tests: records every host call of the devices it is attached to, in
// order, with its arguments. Thread-safe. `on_event`, when set before the device runs, sees
// each event as the host call happens (on the device's thread) and may throw, as a failing
// host service would.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "host/HostObserver.h"
#include "host/QRMVDevice.h"

struct HostEvent {
  std::string call;  // "SendSP", "Reset", "CheckThresholdBool", "DoBatch", "SaveHistory",
                     // "InitSetting", "SendSocketData" (kind: the handle)
  unsigned int device = 0;
  int kind = 0;
  std::vector<unsigned char> bytes;
  bool flag = false;
  std::string id, id2, category, name;
  unsigned short number = 0;
  size_t batch_size = 0;
};

class RecordingObserver : public HostObserver {
 public:
  // When set, DoBatchCheckThreshold answers this instead of the host's own result.
  void ForceBatchResult(int result) {
    std::lock_guard<std::mutex> l(mu_);
    forced_ = result;
  }
  std::vector<HostEvent> Events() const {
    std::lock_guard<std::mutex> l(mu_);
    return events_;
  }
  std::vector<HostEvent> EventsOf(const std::string& call) const {
    std::vector<HostEvent> out;
    for (const HostEvent& e : Events())
      if (e.call == call) out.push_back(e);
    return out;
  }
  size_t Count(const std::string& call) const { return EventsOf(call).size(); }
  void Clear() {
    std::lock_guard<std::mutex> l(mu_);
    events_.clear();
  }

  void OnSendSP(const QRMVDevice& d, int kind, std::vector<unsigned char> data,
                bool flag) override {
    HostEvent e = Make("SendSP", d);
    e.kind = kind;
    e.bytes = std::move(data);
    e.flag = flag;
    Push(std::move(e));
  }
  void OnReset(const QRMVDevice& d) override { Push(Make("Reset", d)); }
  void OnCheckThresholdBool(const QRMVDevice& d, int kind, const std::string& id,
                            const std::string& id2, const std::string& category,
                            const std::string& name, bool alarm, unsigned short number) override {
    HostEvent e = Make("CheckThresholdBool", d);
    e.kind = kind;
    e.id = id;
    e.id2 = id2;
    e.category = category;
    e.name = name;
    e.flag = alarm;
    e.number = number;
    Push(std::move(e));
  }
  bool OnDoBatchCheckThreshold(const QRMVDevice& d, const std::vector<rule_value>& batch,
                               bool proposed) override {
    HostEvent e = Make("DoBatch", d);
    e.batch_size = batch.size();
    e.flag = proposed;
    Push(std::move(e));
    std::lock_guard<std::mutex> l(mu_);
    return forced_ < 0 ? proposed : forced_ != 0;
  }
  void OnSaveDeviceHistory(const QRMVDevice& d, std::vector<unsigned char> data) override {
    HostEvent e = Make("SaveHistory", d);
    e.bytes = std::move(data);
    Push(std::move(e));
  }
  int OnSendSocketData(const QRMVDevice& d, int handle, std::vector<unsigned char> data) override {
    HostEvent e = Make("SendSocketData", d);
    e.kind = handle;
    e.bytes = std::move(data);
    Push(std::move(e));
    return socket_result;
  }
  void OnInitSetting(const QRMVDevice& d, const Json::Value&, bool result) override {
    HostEvent e = Make("InitSetting", d);
    e.flag = result;
    Push(std::move(e));
  }

 private:
  static HostEvent Make(const char* call, const QRMVDevice& d) {
    HostEvent e;
    e.call = call;
    e.device = d.DataId();
    return e;
  }
  void Push(HostEvent e) {
    {
      std::lock_guard<std::mutex> l(mu_);
      events_.push_back(e);
    }
    if (on_event) on_event(e);
  }

 public:
  std::function<void(const HostEvent&)> on_event;
  int socket_result = 0;  // what SendSocketData answers

 private:
  mutable std::mutex mu_;
  std::vector<HostEvent> events_;
  int forced_ = -1;
};
