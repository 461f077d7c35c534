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

// A key as the checks compare it: lower case, without '_' and '-'.
std::string Folded(const std::string& key) {
  std::string out;
  for (char c : key) {
    if (c == '_' || c == '-') continue;
    out += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  }
  return out;
}

// The edit distance between two short texts (insertions, deletions, substitutions), or
// `limit` + 1 once it is known to exceed `limit`.
size_t EditDistance(const std::string& a, const std::string& b, size_t limit) {
  if ((a.size() > b.size() ? a.size() - b.size() : b.size() - a.size()) > limit) return limit + 1;
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1])});
      diagonal = above;
    }
  }
  return std::min(row[b.size()], limit + 1);
}

}  // namespace

const char* LikelyKey(const std::string& key, const std::vector<const char*>& known) {
  if (key.size() > 64) return nullptr;
  const std::string folded = Folded(key);
  const char* best = nullptr;
  size_t best_distance = 0;
  for (const char* k : known) {
    const std::string candidate = Folded(k);
    // One slip in a short key, two in a longer one: "ib" is "id", "x" is nothing.
    const size_t limit = candidate.size() <= 3 ? 1 : 2;
    const size_t d = EditDistance(folded, candidate, limit);
    if (d <= limit && (best == nullptr || d < best_distance)) {
      best = k;
      best_distance = d;
    }
  }
  return best;
}

namespace {

// A value as a warning shows it: texts quoted and cut as the plug-in's lines show them.
std::string Shown(const Json::Value& v) {
  return v.isString() ? QuoteText(v.asString()) : Compact(v);
}

// What would make the device walk nothing or the wrong unit; see the header.
void CheckDevice(const Json::Value& v, DeviceConfig* out) {
  static const std::vector<const char*> kKeys = {"id", "ip", "address", "appSetting",
                                                 "thresholdSetting"};
  const std::string device = "device " + std::to_string(out->id) + ": ";
  std::string unknown;
  size_t unknown_count = 0;
  for (const std::string& name : v.getMemberNames()) {
    if (std::find_if(kKeys.begin(), kKeys.end(), [&](const char* k) { return name == k; }) !=
        kKeys.end()) {
      continue;
    }
    if (++unknown_count > 8) continue;
    unknown += (unknown.empty() ? "" : ", ") + QuoteText(name);
    const char* likely = LikelyKey(name, kKeys);
    if (likely != nullptr) unknown += std::string(" (did you mean \"") + likely + "\"?)";
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

// Where the first comment ("//" or "/*") outside a JSON text begins, as "Line L, Column C";
// empty when there is none.
std::string FirstComment(const std::string& text) {
  size_t line = 1, column = 1;
  bool in_text = false, escaped = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (in_text) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        in_text = false;
      }
    } else if (c == '"') {
      in_text = true;
    } else if (c == '/' && i + 1 < text.size() && (text[i + 1] == '/' || text[i + 1] == '*')) {
      return "Line " + std::to_string(line) + ", Column " + std::to_string(column);
    }
    if (c == '\n') {
      ++line;
      column = 1;
    } else {
      ++column;
    }
  }
  return std::string();
}

// Parses `text` as strict JSON into *root; false with *error (one line) otherwise. Nothing
// thrown while reading (jsoncpp throws past its nesting limit) leaves this function.
bool ParseJson(const std::string& text, Json::Value* root, std::string* error) {
  if (text.find_first_not_of(" \t\r\n") == std::string::npos) {
    *error =
        "the file is empty: it needs one device object, or {\"devices\": [...]} with one "
        "object per device";
    return false;
  }
  Json::CharReaderBuilder builder;
  Json::CharReaderBuilder::strictMode(&builder.settings_);
  std::string errors;
  bool parsed = false;
  try {
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    parsed = reader->parse(text.data(), text.data() + text.size(), root, &errors);
  } catch (const std::exception& e) {
    *error = std::string("invalid JSON: ") + e.what();
    return false;
  }
  // Even in strict mode jsoncpp skips a comment that follows a member's value, so a file it
  // took may still hold one: a comment is refused wherever it is.
  const std::string comment = FirstComment(text);
  if (parsed && comment.empty()) return true;
  *error = comment.empty() ? "invalid JSON: " + OneLine(errors)
                           : "invalid JSON: " + comment +
                                 ": a comment, which JSON does not allow; remove it (and any "
                                 "others)";
  return false;
}

// Keys beside "devices" that nothing reads, as one warning; empty when there are none.
std::string KeysBesideDevices(const Json::Value& root) {
  std::string unknown;
  size_t count = 0;
  for (const std::string& name : root.getMemberNames()) {
    if (name == "devices" || ++count > 8) continue;
    unknown += (unknown.empty() ? "" : ", ") + QuoteText(name);
  }
  if (count == 0) return std::string();
  if (count > 8) unknown += " and " + std::to_string(count - 8) + " more";
  return unknown + (count == 1 ? " is not a key" : " are not keys") +
         " of the file, which holds \"devices\" only (a device's keys go in each device "
         "object); ignored";
}

bool ReadConfigs(const std::string& text, std::vector<DeviceConfig>* out,
                 std::vector<std::string>* file_warnings, std::string* error) {
  out->clear();
  file_warnings->clear();
  Json::Value root;
  if (!ParseJson(text, &root, error)) return false;
  if (!root.isObject()) {
    *error = "the configuration must be a JSON object";
    return false;
  }
  if (!root.isMember("devices") && !root.isMember("id")) {
    // A slip in "devices" would otherwise read as one device without an id.
    for (const std::string& name : root.getMemberNames()) {
      if (LikelyKey(name, {"devices"}) != nullptr && root[name].isArray()) {
        *error = QuoteText(name) + " is not a key of the file: did you mean \"devices\"?";
        return false;
      }
    }
  }
  if (root.isMember("devices")) {
    const Json::Value& list = root["devices"];
    if (!list.isArray() || list.empty()) {
      *error = "\"devices\" must be a non-empty array of device objects";
      return false;
    }
    const std::string beside = KeysBesideDevices(root);
    if (!beside.empty()) file_warnings->push_back(beside);
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
      *error = "id " + std::to_string((*out)[i].id) + " is given to two devices (" +
               std::to_string(it->second + 1) + " and " + std::to_string(i + 1) +
               " of \"devices\"): each device needs an id of its own";
      return false;
    }
  }
  return true;
}

}  // namespace

bool ParseDeviceConfigs(const std::string& text, std::vector<DeviceConfig>* out, std::string* error,
                        std::vector<std::string>* file_warnings) {
  std::vector<std::string> ignored;
  if (file_warnings == nullptr) file_warnings = &ignored;
  if (ReadConfigs(text, out, file_warnings, error)) return true;
  out->clear();
  file_warnings->clear();
  return false;
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
  return TakeDeviceConfigs(text, path, out, error);
}

bool TakeDeviceConfigs(const std::string& text, const std::string& source,
                       std::vector<DeviceConfig>* out, std::string* error) {
  std::string why;
  std::vector<std::string> file_warnings;
  if (!ParseDeviceConfigs(text, out, &why, &file_warnings)) {
    *error = source + ": " + why;
    return false;
  }
  for (const std::string& w : file_warnings) {
    ConsoleLine(std::cerr, "qrmhost: warning: " + source + ": " + w);
  }
  for (const DeviceConfig& d : *out) {
    for (const std::string& w : d.warnings) {
      ConsoleLine(std::cerr, "qrmhost: warning: " + source + ": " + w);
    }
  }
  return true;
}
