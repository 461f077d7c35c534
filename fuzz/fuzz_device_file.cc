// Device files with arbitrary text: the checks qrmhost makes before it creates any device.
//
// Whatever the text, reading it never throws and ends one of two ways. Refused: one non-empty
// line, and no device. Taken: at least one device, no two with the same id, each device's
// settings an object whose "id" is its id, and each warning one line that begins with the
// device's id and names no other ("device ID: ...").
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "tools/qrmhost/device_config.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::Quiet();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::vector<DeviceConfig> devices;
  std::string error;
  bool taken = false;
  try {
    taken = ParseDeviceConfigs(text, &devices, &error);
  } catch (...) {
    FUZZ_CHECK(!"ParseDeviceConfigs threw");
  }
  if (!taken) {
    FUZZ_CHECK(!error.empty());
    FUZZ_CHECK(error.find('\n') == std::string::npos);
    FUZZ_CHECK(devices.empty());
    return 0;
  }
  FUZZ_CHECK(!devices.empty());
  std::set<uint32_t> ids;
  for (const DeviceConfig& d : devices) {
    FUZZ_CHECK(ids.insert(d.id).second);
    FUZZ_CHECK(d.settings.isObject());
    FUZZ_CHECK(d.settings["id"].isUInt() && d.settings["id"].asUInt() == d.id);
    const std::string prefix = "device " + std::to_string(d.id) + ": ";
    for (const std::string& w : d.warnings) {
      FUZZ_CHECK(w.compare(0, prefix.size(), prefix) == 0);
      FUZZ_CHECK(w.find('\n') == std::string::npos);
    }
  }
  return 0;
}
