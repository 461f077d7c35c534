// The device configuration file of a qrmhost run.
//
// The file holds one JSON object describing a device, or {"devices": [ ... ]} with one object
// per device. Every device object has an "id" (an integer from 0 to 4294967295, unique within
// the file) and whatever keys the plug-in reads ("ip", "address", "appSetting", ...); the
// whole object is handed to the device's InitSetting unchanged.
//
// Before any device is created, each device object is also checked for what would make it walk
// nothing or the wrong unit, and each finding is a warning naming the device (the run goes on,
// with the exit status the run earns): keys other than id, ip, address, appSetting and
// thresholdSetting (a misspelt key is otherwise silently ignored), a missing, empty or
// non-text "ip", a missing "address" (the walk then reads address 0) and one that is not an
// integer from 0 to 255. A key that looks like a known one (another case, a slip of a letter or
// two) is named as such: "adress" (did you mean "address"?), and {"device": [...]} is refused as
// a file that meant "devices". Comments and empty files are called what they are. Nothing in
// the file, however deep or odd, makes these functions throw.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <json/value.h>

struct DeviceConfig {
  uint32_t id = 0;
  Json::Value settings;     // the device's whole object
  bool own_thread = false;  // appSetting.use_thread is non-zero: the device samples by itself
  std::vector<std::string> warnings;  // one line each, "device ID: ...", without "qrmhost: "
};

// Validates the text of a configuration file. On failure returns false, leaves *out empty and
// sets *error to one line (without the file name). *file_warnings, when given, gets the
// findings about the file itself, one line each: keys beside "devices", which nothing reads.
bool ParseDeviceConfigs(const std::string& text, std::vector<DeviceConfig>* out, std::string* error,
                        std::vector<std::string>* file_warnings = nullptr);

// Reads and validates the file at `path`. On failure returns false and sets *error to one
// line that names the file. On success, the file's warnings and then every device's are written
// to standard error, one line each naming the file ("qrmhost: warning: units.json: device 7: no
// \"ip\": ..."), before the caller creates any device.
bool LoadDeviceConfigs(const std::string& path, std::vector<DeviceConfig>* out, std::string* error);

// As LoadDeviceConfigs, for `text` read from `source` (a path, or what stands for one).
bool TakeDeviceConfigs(const std::string& text, const std::string& source,
                       std::vector<DeviceConfig>* out, std::string* error);

// The one of `known` that `key` most likely meant (the same but for case, '_' and '-', or a
// letter or two apart), or null.
const char* LikelyKey(const std::string& key, const std::vector<const char*>& known);

// Reads a whole file. On failure returns false and sets *error to the system's reason.
bool ReadWholeFile(const std::string& path, std::string* out, std::string* error);
