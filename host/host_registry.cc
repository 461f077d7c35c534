#include "host/host_registry.h"

#include <mutex>
#include <utility>

namespace qrmhost_internal {
namespace {

struct DeviceState {
  std::shared_ptr<HostObserver> observer;
  std::unordered_map<std::string, bool> last_state;
};

struct Registry {
  std::mutex mutex;
  std::unordered_map<const QRMVDevice*, DeviceState> devices;
};

Registry& TheRegistry() {
  static Registry* registry = new Registry;  // never destroyed: devices may outlive statics
  return *registry;
}

}  // namespace

std::shared_ptr<HostObserver> ObserverOf(const QRMVDevice* device) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.mutex);
  auto it = r.devices.find(device);
  return it == r.devices.end() ? nullptr : it->second.observer;
}

bool RecordSignalState(const QRMVDevice* device, const std::string& id, bool alarm) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.mutex);
  auto& states = r.devices[device].last_state;
  auto it = states.find(id);
  if (it == states.end()) {
    states.emplace(id, alarm);
    return alarm;
  }
  if (it->second == alarm) return false;
  it->second = alarm;
  return true;
}

void ForgetDevice(const QRMVDevice* device) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.mutex);
  r.devices.erase(device);
}

void Attach(const QRMVDevice* device, std::shared_ptr<HostObserver> observer) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.mutex);
  if (observer) {
    r.devices[device].observer = std::move(observer);
  } else {
    auto it = r.devices.find(device);
    if (it != r.devices.end()) it->second.observer.reset();
  }
}

}  // namespace qrmhost_internal

void AttachHostObserver(const QRMVDevice* device, std::shared_ptr<HostObserver> observer) {
  qrmhost_internal::Attach(device, std::move(observer));
}
