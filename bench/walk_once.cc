// walk_once: the least a host does for one host-driven walk. Loads the plug-in, creates one
// device, configures it against 127.0.0.1:PORT, calls RefreshStatus once (one walk and its round
// end), destroys everything and exits. The device's own output goes where standard output goes,
// followed by "RESULT walk_us X": the mean time of one RefreshStatus, configuration excluded.
//
//   walk_once --port PORT [--address A] [--max-repetitions N] [--settings MEMBERS]
//             [--walks N] [--plugin PATH] [--check 1]
//
// --walks N calls RefreshStatus N times (default 1), as a host does between configurations.
//
// --settings adds MEMBERS (JSON object members, e.g. "snmp_version":3,"username":"u") to the
// device's appSetting.
// --check 1 attaches a host observer and fails unless the round published a record whose slot 2
// holds the unit's address (the simulator's and the bench's snmpd data put it there); timed runs
// go without it. Exit status 0, or 1 when the plug-in could not be loaded or the check failed,
// 2 on bad arguments.
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "bench/plugin_host.h"
#include "frame/record.h"
#include "host/HostObserver.h"

namespace {

// Keeps the last record the device published.
class LastRecord : public HostObserver {
 public:
  void OnSendSP(const QRMVDevice&, int, std::vector<unsigned char> data, bool) override {
    last_ = std::move(data);
  }
  const std::vector<unsigned char>& last() const { return last_; }

 private:
  std::vector<unsigned char> last_;
};

}  // namespace

int main(int argc, char** argv) {
  std::string plugin = QRM_DEFAULT_PLUGIN;
  unsigned port = 0, address = 1, repetitions = 0, walks = 1;
  std::string settings;
  bool check = false;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string flag = argv[i];
    const char* value = argv[i + 1];
    if (flag == "--port") {
      port = static_cast<unsigned>(std::atoi(value));
    } else if (flag == "--address") {
      address = static_cast<unsigned>(std::atoi(value));
    } else if (flag == "--max-repetitions") {
      repetitions = static_cast<unsigned>(std::atoi(value));
    } else if (flag == "--walks") {
      walks = static_cast<unsigned>(std::atoi(value));
    } else if (flag == "--settings") {
      settings = value;
    } else if (flag == "--plugin") {
      plugin = value;
    } else if (flag == "--check") {
      check = std::atoi(value) != 0;
    } else {
      std::cerr << "walk_once: unknown option " << flag << std::endl;
      return 2;
    }
  }
  if (port == 0 || port > 65535 || walks == 0 || argc % 2 == 0) {
    std::cerr << "usage: walk_once --port PORT [--address A] [--max-repetitions N] "
                 "[--settings MEMBERS] [--walks N] [--plugin PATH] [--check 1]"
              << std::endl;
    return 2;
  }

  PluginHost host;
  std::string error;
  if (!host.Load(plugin, &error)) {
    std::cerr << "walk_once: " << error << std::endl;
    return 1;
  }
  std::string app = R"("b_mode":2,"use_thread":0)";
  if (repetitions > 0) app += ",\"max_repetitions\":" + std::to_string(repetitions);
  if (!settings.empty()) app += "," + settings;
  const Json::Value config = ParseJson(DeviceJson(1, port, address, app), &error);
  auto device = host.Create();
  auto observer = std::make_shared<LastRecord>();
  if (check) AttachHostObserver(device.get(), observer);
  device->Init(std::weak_ptr<QRMController>(), 1, config);
  device->InitSetting(config);
  const auto start = std::chrono::steady_clock::now();
  for (unsigned i = 0; i < walks; ++i) device->RefreshStatus();
  const std::chrono::duration<double, std::micro> took = std::chrono::steady_clock::now() - start;
  device.reset();
  std::cout << "RESULT walk_us " << took.count() / walks << std::endl;
  if (!check) return 0;
  SNMP_MARLUXA_AC_POWER_Data_t record{};
  if (observer->last().size() != sizeof record) {
    std::cerr << "walk_once: no record published" << std::endl;
    return 1;
  }
  std::memcpy(&record, observer->last().data(), sizeof record);
  if (Slot(record, 2) != static_cast<float>(address)) {
    std::cerr << "walk_once: slot 2 holds " << Slot(record, 2) << ", not " << address << std::endl;
    return 1;
  }
  return 0;
}
