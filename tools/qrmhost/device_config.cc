#include "tools/qrmhost/device_config.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <iostream>
#include <iterator>
#include <cstring>
#include <map>
#include <memory>

#include <json/reader.h>
#include <json/writer.h>

#include "device/schedule_setting.h"
#include "snmp/udp_peer.h"
#include "util/config_value.h"
#include "util/console_line.h"

namespace {

std::string Compact(const Json::Value& v) {
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "";
  builder["emitUTF8"] = true;
  return Json::writeString(builder, v);
}

// jsoncpp reports each error as "* Line L, Column C\n  message\n"; they are folded into one
// line: "Line L, Column C: message".
std::string OneLine(const std::string& text) {
  std::string out;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    start = end + 1;
    line.erase(0, line.find_first_not_of(' '));
    if (line.empty()) continue;
    if (!out.empty()) out += out.back() == ':' ? " " : "; ";
    out += line.compare(0, 2, "* ") == 0 ? line.substr(2) + ":" : line;
  }
  return out;
}

// A device address byte as the host reads it: an integral number or a decimal text, 0 to 255.
bool ValidAddress(const Json::Value& v) {
  if (v.isString()) {
    const std::string text = v.asString();
    if (text.empty() || text.size() > 3) return false;
    for (char c : text) {
      if (c < '0' || c > '9') return false;
    }
    return std::stoi(text) <= 255;
  }
  return v.isNumeric() && !v.isBool() && v.isIntegral() && v.isInt64() && v.asInt64() >= 0 &&
         v.asInt64() <= 255;
}

// A value as a warning shows it: texts quoted and cut as the plug-in's lines show them.
std::string Shown(const Json::Value& v) {
  return v.isString() ? QuoteText(v.asString()) : Compact(v);
}

// What would make the device walk nothing or the wrong unit; see the header.
void CheckDevice(const Json::Value& v, DeviceConfig* out) {
  static const char* const kKeys[] = {"id", "ip", "address", "appSetting", "thresholdSetting"};
  const std::string device = "device " + std::to_string(out->id) + ": ";
  std::string unknown;
  size_t unknown_count = 0;
  for (const std::string& name : v.getMemberNames()) {
    if (std::find(std::begin(kKeys), std::end(kKeys), name) != std::end(kKeys)) continue;
    if (++unknown_count <= 8) unknown += (unknown.empty() ? "" : ", ") + QuoteText(name);
  }
  if (unknown_count > 8) unknown += " and " + std::to_string(unknown_count - 8) + " more";
  if (unknown_count > 0) {
    out->warnings.push_back(
        device + unknown + (unknown_count == 1 ? " is not a key" : " are not keys") +
        " of a device (id, ip, address, appSetting, thresholdSetting); ignored");
  }
  const Json::Value* ip = v.find("ip", &"ip"[2]);
  if (ip == nullptr || ip->isNull()) {
    out->warnings.push_back(device + "no \"ip\": the device has no unit to walk");
  } else if (!ip->isString()) {
    out->warnings.push_back(device + "\"ip\" must be a text naming the unit (\"host\" or " +
                            "\"host:port\"), not " + Shown(*ip) +
                            ": the device has no unit to walk");
  } else if (ip->asString().empty()) {
    out->warnings.push_back(device + "\"ip\" is empty: the device has no unit to walk");
  } else {
    UdpPeer peer;
    const PeerRefusal refusal = ParseUdpPeer(ip->asString(), &peer);
    if (refusal.kind != PeerRefusal::Kind::kNone) {
      out->warnings.push_back(device + "ip " + QuoteText(ip->asString()) + refusal.why +
                              "; the device does not walk");
    }
  }
  const Json::Value* address = v.find("address", &"address"[7]);
  if (address == nullptr || address->isNull()) {
    out->warnings.push_back(device + "no \"address\": the walk reads the unit at address 0");
  } else if (!ValidAddress(*address)) {
    out->warnings.push_back(device + "\"address\" must be an integer from 0 to 255, not " +
                            Shown(*address) + ": the walk reads the unit at address 0");
  }
}

bool ParseDevice(const Json::Value& v, const std::string& where, DeviceConfig* out,
                 std::string* error) {
  if (!v.isObject()) {
    *error = where + " is not a JSON object";
    return false;
  }
  const Json::Value* id = v.find("id", "id" + 2);
  if (id == nullptr) {
    *error = where + " has no \"id\"";
    return false;
  }
  if (id->isBool() || !id->isUInt()) {
    *error = where + ": \"id\" must be an integer from 0 to 4294967295, not " + Compact(*id);
    return false;
  }
  out->id = id->asUInt();
  out->settings = v;
  int use_thread = 0;
  out->own_thread = ReadUseThread(v, &use_thread) && use_thread != 0;
  CheckDevice(v, out);
  return true;
}

}  // namespace

bool ParseDeviceConfigs(const std::string& text, std::vector<DeviceConfig>* out,
                        std::string* error) {
  out->clear();
  Json::CharReaderBuilder builder;
  Json::CharReaderBuilder::strictMode(&builder.settings_);
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  Json::Value root;
  std::string errors;
  if (!reader->parse(text.data(), text.data() + text.size(), &root, &errors)) {
    *error = "invalid JSON: " + OneLine(errors);
    return false;
  }
  if (!root.isObject()) {
    *error = "the configuration must be a JSON object";
    return false;
  }
  if (root.isMember("devices")) {
    const Json::Value& list = root["devices"];
    if (!list.isArray() || list.empty()) {
      *error = "\"devices\" must be a non-empty array of device objects";
      return false;
    }
    for (Json::ArrayIndex i = 0; i < list.size(); ++i) {
      DeviceConfig d;
      if (!ParseDevice(list[i], "device " + std::to_string(i + 1) + " of \"devices\"", &d, error)) {
        return false;
      }
      out->push_back(std::move(d));
    }
  } else {
    DeviceConfig d;
    if (!ParseDevice(root, "the device", &d, error)) return false;
    out->push_back(std::move(d));
  }
  std::map<uint32_t, size_t> seen;
  for (size_t i = 0; i < out->size(); ++i) {
    auto [it, fresh] = seen.emplace((*out)[i].id, i);
    if (!fresh) {
      *error = "devices " + std::to_string(it->second + 1) + " and " + std::to_string(i + 1) +
               " both have id " + std::to_string((*out)[i].id);
      return false;
    }
  }
  return true;
}

bool ReadWholeFile(const std::string& path, std::string* out, std::string* error) {
  out->clear();
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *error = std::strerror(errno);
    return false;
  }
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *error = std::strerror(errno);
      ::close(fd);
      return false;
    }
    if (n == 0) break;
    out->append(buffer, static_cast<size_t>(n));
  }
  ::close(fd);
  return true;
}

bool LoadDeviceConfigs(const std::string& path, std::vector<DeviceConfig>* out,
                       std::string* error) {
  std::string text, why;
  if (!ReadWholeFile(path, &text, &why)) {
    *error = "cannot read configuration " + path + ": " + why;
    return false;
  }
  if (!ParseDeviceConfigs(text, out, &why)) {
    *error = path + ": " + why;
    return false;
  }
  for (const DeviceConfig& d : *out) {
    for (const std::string& w : d.warnings) ConsoleLine(std::cerr, "qrmhost: warning: " + w);
  }
  return true;
}
