// Device configuration from arbitrary JSON text.
//
// The input holds up to four JSON documents separated by NUL bytes; each one that jsoncpp
// accepts is applied, in order, to the same device with InitSetting, as a host does when it
// reconfigures a device. A text "ip" is replaced by an empty one before the device sees it, so
// neither a host-driven refresh nor a sampling thread (appSetting.use_thread) ever sends a
// request; the device is destroyed at the end of the iteration, which stops and joins its
// thread.
//
// After every call: the walk root is the 10-element base plus the address byte (length 11, no
// matter how many calls), the record's id is DataId() and no value slot or stamp byte has been
// touched, the session carries exactly the settings ReadWalkSettings derives from the same
// appSetting (SNMPv2c with its community, SNMPv3 with its user and keys, or an SNMPv3 template
// without identity or community when the settings form no session), the frame mode and
// use_thread follow the last textual b_mode and use_thread, and a sampling thread exists exactly
// while that use_thread is non-zero (a later 0 stops it). A final round end must stamp the record
// and leave the values alone.
#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <json/reader.h>
#include <json/value.h>

#include "device/walk_settings.h"
#include "util/config_value.h"
#include "fuzz/fuzz_support.h"
#include "host/get_ttime.h"

namespace {

constexpr size_t kMaxDocuments = 4;
const oid kBaseRoot[SNMP_MARLUXA_AC_POWER::kRootLength] = {1, 3, 6, 1, 4, 1, 61333, 1, 1, 4};

uint32_t Fnv1a(const uint8_t* data, size_t size) {
  uint32_t h = 2166136261u;
  for (size_t i = 0; i < size; ++i) h = (h ^ data[i]) * 16777619u;
  return h;
}

bool ParseJson(const char* begin, const char* end, Json::Value* out) {
  static const std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
  return reader->parse(begin, end, out, nullptr);
}

// The configuration the device may see: a text target address becomes empty.
void DisarmTarget(Json::Value* config) {
  if (!config->isObject()) return;
  static const char kIp[] = "ip";
  const Json::Value* ip = config->find(kIp, kIp + sizeof kIp - 1);
  if (ip != nullptr && ip->isString()) (*config)["ip"] = "";
}

// What a textual appSetting member sets an int field to, or `previous` when it has no text.
int TextualInt(const Json::Value* app, const char* key, int previous) {
  if (app == nullptr) return previous;
  const Json::Value* v = ConfigMember(*app, key);
  std::string text;
  if (v == nullptr || !ConfigText(*v, &text)) return previous;
  // The atoi rule, saturating beyond the int range (strtoll saturates at the long long range).
  const long long n = std::strtoll(text.c_str(), nullptr, 10);
  return static_cast<int>(std::clamp<long long>(n, INT_MIN, INT_MAX));
}

bool ValuesAndStampZero(fuzz::FuzzDevice& d) {
  const unsigned char* bytes = RecordBytes(d.data());
  for (size_t i = 4; i < kRecordSize; ++i)
    if (bytes[i] != 0) return false;
  return true;
}

bool ValuesZero(fuzz::FuzzDevice& d) {
  const unsigned char* bytes = RecordBytes(d.data());
  for (size_t i = 4; i < 5080; ++i)
    if (bytes[i] != 0) return false;
  return true;
}

void CheckConfigured(fuzz::FuzzDevice& d, const WalkSettings& settings, int mode, int use_thread,
                     bool thread_expected) {
  FUZZ_CHECK(d.root_length() == SNMP_MARLUXA_AC_POWER::kRootLength + 1);
  FUZZ_CHECK(std::memcmp(d.root(), kBaseRoot, sizeof kBaseRoot) == 0);
  FUZZ_CHECK(d.root()[SNMP_MARLUXA_AC_POWER::kRootLength] == d.address());
  FUZZ_CHECK(RecordId(d.data()) == d.DataId());
  FUZZ_CHECK(ValuesAndStampZero(d));
  FUZZ_CHECK(d.ip().empty());

  const netsnmp_session& s = d.session();
  FUZZ_CHECK(s.peername != nullptr && std::string(s.peername) == d.ip());
  if (settings.snmp_version == 2) {
    FUZZ_CHECK(s.version == SNMP_VERSION_2c);
    FUZZ_CHECK(s.community != nullptr);
    FUZZ_CHECK(std::string(reinterpret_cast<const char*>(s.community), s.community_len) ==
               settings.community);
    FUZZ_CHECK(s.securityNameLen == 0 && s.securityAuthKeyLen == 0 && s.securityPrivKeyLen == 0);
  } else {
    // SNMPv3, or no session at all (snmp_version 0): never SNMPv2c, never a community.
    FUZZ_CHECK(s.version == SNMP_VERSION_3);
    FUZZ_CHECK(s.community == nullptr && s.community_len == 0);
    const bool v3 = settings.snmp_version == 3;
    FUZZ_CHECK(std::string(s.securityName ? s.securityName : "", s.securityNameLen) ==
               (v3 ? settings.v3.username : std::string()));
    FUZZ_CHECK(s.securityLevel == (v3 ? settings.v3.security_level : 0));
    FUZZ_CHECK((s.securityAuthKeyLen > 0) == (v3 && s.securityLevel >= SNMP_SEC_LEVEL_AUTHNOPRIV));
    FUZZ_CHECK((s.securityPrivKeyLen > 0) == (v3 && s.securityLevel == SNMP_SEC_LEVEL_AUTHPRIV));
  }
  FUZZ_CHECK(s.timeout == settings.timeout_us);
  FUZZ_CHECK(s.retries == settings.retries);

  FUZZ_CHECK(d.mode() == mode);
  FUZZ_CHECK(d.use_thread() == use_thread);
  FUZZ_CHECK(d.has_thread() == thread_expected);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::Quiet();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<Json::Value> configs;
  const char* text = reinterpret_cast<const char*>(data);
  size_t start = 0;
  while (start <= size && configs.size() < kMaxDocuments) {
    const void* nul = std::memchr(text + start, 0, size - start);
    const size_t end = nul ? static_cast<size_t>(static_cast<const char*>(nul) - text) : size;
    Json::Value config;
    if (ParseJson(text + start, text + end, &config)) configs.push_back(std::move(config));
    start = end + 1;
  }
  if (configs.empty()) return 0;

  auto device = std::make_unique<fuzz::FuzzDevice>();
  const unsigned id = Fnv1a(data, size);
  device->Init(std::weak_ptr<QRMController>(), id, Json::Value());
  FUZZ_CHECK(device->DataId() == id);

  int mode = 1;
  int use_thread = 0;
  bool thread_expected = false;
  for (Json::Value& config : configs) {
    DisarmTarget(&config);
    const Json::Value* app = ConfigMember(config, "appSetting");
    use_thread = TextualInt(app, "use_thread", use_thread);
    mode = TextualInt(app, "b_mode", mode);
    const WalkSettings settings = ReadWalkSettings(app, "");
    thread_expected = use_thread != 0;  // 0 in a later configuration stops the thread

    device->InitSetting(config);
    CheckConfigured(*device, settings, mode, use_thread, thread_expected);
  }

  // Host-driven schedule: a refresh with no target address ends at once without a round.
  if (!thread_expected) {
    FUZZ_CHECK(device->RefreshStatus() == 0);
    FUZZ_CHECK(ValuesAndStampZero(*device));
  }

  device->RoundDone();
  FUZZ_CHECK(RecordId(device->data()) == id);
  FUZZ_CHECK(ValuesZero(*device));
  const TTime stamp = get_ttime(device->last_sample_time());
  FUZZ_CHECK(std::memcmp(RecordBytes(device->data()) + 5080, stamp.data(), kStampSize) == 0);
  FUZZ_CHECK(device->rule_count() == 0);
  // Mode 2 reports the 429 catalogue signals, numbered from 1; other modes report none.
  FUZZ_CHECK(device->signal_no() == (mode == 2 ? 430 : 1));
  return 0;
}
