// The device object before any walk: construction, configuration, session settings.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <map>
#include <set>
#include <memory>
#include <new>
#include <string>

#include <gtest/gtest.h>
#include <json/reader.h>

#include "device/app_settings.h"
#include "tests/support/device_probe.h"
#include "tests/support/recording_observer.h"
#include "tests/support/vtable_slot.h"
#include "tests/support/silent_peer.h"
#include "tests/support/test_util.h"
#include "tests/support/thread_start_fault.h"

namespace {

const std::vector<oid> kRoot = {1, 3, 6, 1, 4, 1, 61333, 1, 1, 4};

std::vector<oid> RootWith(oid address) {
  std::vector<oid> r = kRoot;
  r.push_back(address);
  return r;
}

TEST(DeviceObject, NewObjectIsPreparedButIdle) {
  DeviceProbe d;
  EXPECT_EQ(d.DeviceType(), "snmp_marluxa_ac_power");
  EXPECT_EQ(d.root(), kRoot);
  EXPECT_EQ(d.use_thread(), 0);
  EXPECT_EQ(d.thread(), nullptr);
  EXPECT_EQ(d.session().version, SNMP_VERSION_2c);
  EXPECT_EQ(
      std::string(reinterpret_cast<const char*>(d.session().community), d.session().community_len),
      "Tormelix@2027q");
  EXPECT_EQ(d.session().community_len, 14u);
  EXPECT_EQ(d.session().timeout, 10000000);
  EXPECT_EQ(d.session().retries, 1);
  EXPECT_EQ(d.session().peername, nullptr);
  EXPECT_EQ(CheckHostTableOrder<SNMP_MARLUXA_AC_POWER>(), "");
}

TEST(DeviceObject, ProcessDataIgnoresEverything) {
  DeviceProbe d;
  unsigned char buf[4] = {1, 2, 3, 4};
  EXPECT_EQ(d.process_data(0, nullptr, 0), 0);
  EXPECT_EQ(d.process_data(5, buf, 4), 0);
  for (size_t i = 0; i < kRecordSize; ++i) ASSERT_EQ(RecordBytes(d.data())[i], 0);
}

TEST(DeviceObject, InheritedDefaultsAnswerTheHost) {
  DeviceProbe d;
  d.Init(std::weak_ptr<QRMController>(), 42, Json::Value());
  EXPECT_EQ(d.DataId(), 42u);
  EXPECT_FALSE(d.UseControllerDb());
  EXPECT_EQ(d.GetChildVDevice(0), nullptr);
  EXPECT_TRUE(d.GetAllChildVDevices().empty());
  try {
    d.Get_Value(1, "x");
    ADD_FAILURE() << "Get_Value returned";
  } catch (const std::out_of_range& e) {
    EXPECT_STREQ(e.what(), "数据未就绪");
  }
}

TEST(DeviceConfiguration, SetsPeerAndAppendsAddressToTheRoot) {
  for (unsigned address : {0u, 3u, 255u}) {
    DeviceProbe d;
    d.Init(std::weak_ptr<QRMController>(), 9, Json::Value());
    testing::internal::CaptureStdout();
    EXPECT_TRUE(d.InitSetting(
        Parse(R"({"ip":"127.0.0.1:1161","address":)" + std::to_string(address) + "}")));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(d.root(), RootWith(address));
    EXPECT_STREQ(d.session().peername, "127.0.0.1:1161");
    EXPECT_EQ(RecordId(d.data()), 9u);
  }
}

TEST(DeviceConfiguration, RepeatedConfigurationRebuildsTheRoot) {
  DeviceProbe d;
  d.InitSetting(Parse(R"({"ip":"127.0.0.1","address":3})"));
  d.InitSetting(Parse(R"({"ip":"127.0.0.2","address":7})"));
  d.InitSetting(Parse(R"({"address":7})"));
  EXPECT_EQ(d.root(), RootWith(7));
  EXPECT_STREQ(d.session().peername, "127.0.0.2");
  // The host base refuses an address past 255; the device still answers 1.
  testing::internal::CaptureStderr();
  EXPECT_TRUE(d.InitSetting(Parse(R"({"address":300})")));
  EXPECT_NE(testing::internal::GetCapturedStderr().find("\"address\""), std::string::npos);
  EXPECT_EQ(d.root(), RootWith(7));
}

TEST(DeviceConfiguration, UseThreadValues) {
  struct Case {
    const char* app;
    int expected;
  } cases[] = {
      {R"("use_thread":"0")", 0},
      {R"("use_thread":true)", 0},
      {R"("use_thread":"abc")", 0},
      {R"("use_thread":null)", 0},
      {R"("use_thread":[1])", 0},
      {R"("use_thread":{"on":1})", 0},
      {R"("use_thread":" 2x")", 2},
      {R"("use_thread":1)", 1},
      {R"("use_thread":"-99999999999")", INT_MIN},
  };
  for (const Case& c : cases) {
    DeviceProbe d;
    // An empty peer keeps a started thread from walking anywhere.
    bool result = false;
    EXPECT_NO_THROW(result = d.InitSetting(Parse(std::string(R"({"appSetting":{)") + c.app + "}}")))
        << c.app;
    EXPECT_TRUE(result);
    EXPECT_EQ(d.use_thread(), c.expected) << c.app;
    EXPECT_EQ(d.thread() != nullptr, c.expected != 0) << c.app;
  }
  DeviceProbe d;
  EXPECT_TRUE(d.InitSetting(Parse(R"({"appSetting":"use_thread=1"})")));
  EXPECT_EQ(d.thread(), nullptr);
  EXPECT_TRUE(d.InitSetting(Parse("{}")));

  // No thread to be had (the sampling thread's start fails): one line naming the unit, the
  // result is still 1, and the host's RefreshStatus drives the device instead.
  DeviceProbe starved;
  FailSamplingThreadStarts(true);
  testing::internal::CaptureStdout();
  const bool result = starved.InitSetting(
      Parse(R"({"ip":"127.0.0.1:9","appSetting":{"use_thread":1,"timeout_ms":50,"retries":0}})"));
  FailSamplingThreadStarts(false);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_TRUE(result);
  EXPECT_EQ(starved.thread(), nullptr);
  EXPECT_EQ(starved.use_thread(), 0);
  EXPECT_EQ(out.rfind("SNMP_MARLUXA_AC_POWER: sampling thread not started, walking on "
                      "RefreshStatus instead (peer 127.0.0.1:9): ",
                      0),
            0u)
      << out;
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  EXPECT_EQ(starved.RefreshStatus(), 0);
  const std::string walked = testing::internal::GetCapturedStdout();
  testing::internal::GetCapturedStderr();  // the time-out of the silent port
  EXPECT_EQ(walked.rfind("SNMP_MARLUXA_AC_POWER::do_sample\n", 0), 0u) << walked;
  EXPECT_NE(walked.find("rvSize is 0\n"), std::string::npos) << "the host's call walks: " << walked;
}

TEST(DeviceConfiguration, RepeatedConfigurationNeverStartsASecondThread) {
  DeviceProbe d;
  d.InitSetting(Parse(R"({"appSetting":{"use_thread":1}})"));
  const SamplingThread* first = d.thread();
  ASSERT_NE(first, nullptr);
  d.InitSetting(Parse(R"({"appSetting":{"use_thread":1},"address":4})"));
  EXPECT_EQ(d.thread(), first);
  EXPECT_EQ(d.root(), RootWith(4));
}

TEST(DeviceConfiguration, SessionSettingsAreOptIn) {
  DeviceProbe d;
  testing::internal::CaptureStdout();
  d.InitSetting(Parse(R"({"appSetting":{"community":"public","timeout_ms":"250","retries":3}})"));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(
      std::string(reinterpret_cast<const char*>(d.session().community), d.session().community_len),
      "public");
  EXPECT_EQ(d.session().timeout, 250000);
  EXPECT_EQ(d.session().retries, 3);
  d.InitSetting(Parse(R"({"appSetting":{}})"));
  EXPECT_EQ(d.session().timeout, 10000000) << "absent keys give the defaults again";
  EXPECT_EQ(d.session().retries, 1);
  EXPECT_EQ(d.session().community_len, 14u);
}

// One request waits at most 60 s over all its attempts: longer settings are capped in one line,
// retries first; a request that fits is left as it is.
TEST(DeviceConfiguration, RequestsLongerThanAMinuteAreCappedInOneLine) {
  struct Case {
    const char* app;
    long timeout_us;
    int retries;
    bool capped;
  } cases[] = {
      {R"("timeout_ms":3600000,"retries":100)", 60000000, 0, true},
      {R"("timeout_ms":20000,"retries":5)", 20000000, 2, true},
      {R"("timeout_ms":7000,"retries":100)", 7000000, 7, true},
      {R"("timeout_ms":61000,"retries":0)", 60000000, 0, true},
      {R"("timeout_ms":30000,"retries":1)", 30000000, 1, false},
      {R"("timeout_ms":600,"retries":99)", 600000, 99, false},
  };
  for (const Case& c : cases) {
    DeviceProbe d;
    testing::internal::CaptureStdout();
    d.InitSetting(Parse(std::string(R"({"ip":"10.0.5.21","appSetting":{)") + c.app + "}}"));
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(d.session().timeout, c.timeout_us) << c.app;
    EXPECT_EQ(d.session().retries, c.retries) << c.app;
    if (c.capped) {
      EXPECT_NE(out.find("exceeds 60000 ms per request"), std::string::npos) << c.app << out;
      EXPECT_TRUE(EndsWith(out, " (peer 10.0.5.21)\n")) << out;
      EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;
    } else {
      EXPECT_EQ(out, "") << c.app;
    }
  }
}

TEST(DeviceConfiguration, BadSessionSettingsAreNamedAndDefaultsKept) {
  const char* bad[] = {R"("timeout_ms":0)", R"("timeout_ms":-5)", R"("timeout_ms":"fast")",
                       R"("timeout_ms":1.5)", R"("timeout_ms":[1])", R"("retries":-1)",
                       R"("retries":"x")", R"("retries":true)", R"("community":7)",
                       R"("community":["a"])",
                       // Integral, but past the signed 64-bit range (jsoncpp would throw).
                       R"("timeout_ms":18446744073709551615)", R"("retries":1e19)",
                       // Never sent cut short at the NUL, nor sent at a length no agent takes.
                       R"("community":"pub\u0000lic")",
                       // 0 or 1 only: any other value keeps answers from the peer alone.
                       R"("answers_from_any_address":2)", R"("answers_from_any_address":"yes")",
                       R"("answers_from_any_address":-1)"};
  std::vector<std::string> settings(std::begin(bad), std::end(bad));
  settings.push_back(R"("community":")" + std::string(256, 'c') + "\"");
  settings.push_back(R"("timeout_ms":")" + std::string(200000, '9') + "\"");
  for (const std::string& setting : settings) {
    DeviceProbe d;
    testing::internal::CaptureStdout();
    d.InitSetting(Parse(std::string(R"({"ip":"127.0.0.1:1161","appSetting":{)") + setting + "}}"));
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string key = setting.substr(1, setting.find('"', 1) - 1);
    EXPECT_EQ(out.rfind("appSetting." + key + ": ignoring ", 0), 0u) << setting << " -> " << out;
    EXPECT_LT(out.size(), 200u) << "a value is shown cut: " << out.substr(0, 200);
    EXPECT_EQ(out.find('\0'), std::string::npos) << out;
    EXPECT_TRUE(EndsWith(out, " (peer 127.0.0.1:1161)\n")) << out;
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;
    EXPECT_EQ(d.session().timeout, 10000000);
    EXPECT_EQ(d.session().retries, 1);
    EXPECT_EQ(d.session().community_len, 14u);
  }
}

std::string SessionKey(const u_char* key, size_t length) {
  return std::string(reinterpret_cast<const char*>(key), length);
}

bool AllZero(const u_char* bytes, size_t from, size_t to) {
  return std::all_of(bytes + from, bytes + to, [](u_char b) { return b == 0; });
}

std::string V3App(const std::string& keys) {
  return R"({"ip":"127.0.0.1:1161","address":3,"appSetting":{)" + keys + "}}";
}

TEST(DeviceConfiguration, Snmpv3SettingsFormTheTemplate) {
  {
    DeviceProbe d;
    testing::internal::CaptureStdout();
    d.InitSetting(
        Parse(V3App(R"("snmp_version":3,"username":"alice","context_name":"pdu",)"
                    R"("password":"alice auth pass","priv_password":"alice priv pass")")));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    const netsnmp_session& s = d.session();
    EXPECT_EQ(s.version, SNMP_VERSION_3);
    EXPECT_EQ(s.securityModel, USM_SEC_MODEL_NUMBER);
    EXPECT_EQ(std::string(s.securityName, s.securityNameLen), "alice");
    EXPECT_EQ(std::string(s.contextName, s.contextNameLen), "pdu");
    EXPECT_EQ(s.securityLevel, SNMP_SEC_LEVEL_AUTHPRIV) << "inferred from priv_password";
    EXPECT_EQ(
        snmp_oid_compare(s.securityAuthProto, s.securityAuthProtoLen, usmHMACSHA1AuthProtocol, 10),
        0)
        << "SHA by default";
    EXPECT_EQ(snmp_oid_compare(s.securityPrivProto, s.securityPrivProtoLen, usmAESPrivProtocol, 10),
              0)
        << "AES by default";
    EXPECT_EQ(s.securityAuthKeyLen, 20u);
    EXPECT_EQ(s.securityPrivKeyLen, 20u);
    EXPECT_NE(SessionKey(s.securityAuthKey, 20), SessionKey(s.securityPrivKey, 20));
    EXPECT_EQ(s.community, nullptr) << "SNMPv3 sends no community";
    EXPECT_EQ(s.community_len, 0u);
    EXPECT_EQ(s.timeout, 10000000) << "the session settings still apply";
  }
  struct Level {
    const char* keys;
    int level;
    size_t auth_key, priv_key;
  } levels[] = {
      {R"("snmp_version":"3","username":"u","password":"12345678")", SNMP_SEC_LEVEL_AUTHNOPRIV, 20,
       0},
      {R"("snmp_version":3.0,"username":"u")", SNMP_SEC_LEVEL_NOAUTH, 0, 0},
      {R"("snmp_version":3,"username":"u","security_level":"AUTHNOPRIV","password":"12345678",)"
       R"("priv_password":"87654321")",
       SNMP_SEC_LEVEL_AUTHNOPRIV, 20, 0},
      {R"("snmp_version":3,"username":"u","security_level":"noAuthNoPriv","password":"12345678")",
       SNMP_SEC_LEVEL_NOAUTH, 0, 0},
  };
  for (const Level& c : levels) {
    DeviceProbe d;
    testing::internal::CaptureStdout();
    d.InitSetting(Parse(V3App(c.keys)));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << c.keys;
    EXPECT_EQ(d.session().version, SNMP_VERSION_3) << c.keys;
    EXPECT_EQ(d.session().securityLevel, c.level) << c.keys;
    EXPECT_EQ(d.session().securityAuthKeyLen, c.auth_key) << c.keys;
    EXPECT_EQ(d.session().securityPrivKeyLen, c.priv_key) << c.keys;
  }
  // Every protocol name: the template carries net-snmp's own OID and a key of the hash's
  // length, exactly where this net-snmp build has the protocol; elsewhere the name is refused.
  struct Protocol {
    const char* key;
    const char* name;
    const oid* id;
    size_t id_length;
    size_t key_length;  // of the authentication key: the hash's digest length
  } protocols[] = {
      {"auth_protocol", "md5", usmHMACMD5AuthProtocol, 10, 16},
      {"auth_protocol", "SHA", usmHMACSHA1AuthProtocol, 10, 20},
      {"auth_protocol", "SHA-224", usmHMAC128SHA224AuthProtocol, 10, 28},
      {"auth_protocol", "SHA-256", usmHMAC192SHA256AuthProtocol, 10, 32},
      {"auth_protocol", "SHA-384", usmHMAC256SHA384AuthProtocol, 10, 48},
      {"auth_protocol", "sha-512", usmHMAC384SHA512AuthProtocol, 10, 64},
      {"priv_protocol", "DES", usmDESPrivProtocol, 10, 20},
      {"priv_protocol", "aes", usmAESPrivProtocol, 10, 20},
      {"priv_protocol", "AES-192", usmAES192PrivProtocol, 9, 20},
      {"priv_protocol", "AES-256", usmAES256PrivProtocol, 9, 20},
  };
  for (const Protocol& p : protocols) {
    const bool auth = std::string(p.key) == "auth_protocol";
    const bool built = auth ? usm_lookup_auth_type(p.name) >= 0 : usm_lookup_priv_type(p.name) >= 0;
    DeviceProbe d;
    testing::internal::CaptureStdout();
    d.InitSetting(
        Parse(V3App(std::string(R"("snmp_version":3,"username":"u",)") + "\"" + p.key + "\":\"" +
                    p.name + R"(","password":"12345678","priv_password":"87654321")")));
    const std::string out = testing::internal::GetCapturedStdout();
    const netsnmp_session& s = d.session();
    if (!built) {
      EXPECT_NE(out.find(std::string("appSetting.") + p.key), std::string::npos) << out;
      EXPECT_EQ(s.securityNameLen, 0u) << p.name;
      continue;
    }
    EXPECT_EQ(out, "") << p.name;
    const oid* id = auth ? s.securityAuthProto : s.securityPrivProto;
    const size_t length = auth ? s.securityAuthProtoLen : s.securityPrivProtoLen;
    EXPECT_EQ(snmp_oid_compare(id, length, p.id, p.id_length), 0) << p.name;
    EXPECT_EQ(s.securityAuthKeyLen, p.key_length) << p.name;
    EXPECT_EQ(s.securityPrivKeyLen, p.key_length) << p.name << ": derived with the auth hash";
  }
}

TEST(DeviceConfiguration, SnmpSettingsThatFormNoSessionAreNamedAndNothingIsSent) {
  // A UDP socket stands where the agent would be: nothing may reach it.
  SilentUdpPeer agent;
  ASSERT_TRUE(agent.ok());
  const std::string ip = agent.peer();

  struct Case {
    const char* keys;
    const char* named;
  } cases[] = {
      {R"("snmp_version":4)", "snmp_version"},
      {R"("snmp_version":"2c")", "snmp_version"},
      {R"("snmp_version":true)", "snmp_version"},
      {R"("username":"u","password":"Pass-0001")", "snmp_version"},
      {R"("snmp_version":3)", "username"},
      {R"("snmp_version":3,"username":["u"])", "username"},
      {R"("snmp_version":3,"username":"u","context_name":7)", "context_name"},
      {R"("snmp_version":3,"username":"u","auth_protocol":"SHA-1","password":"Pass-0001")",
       "auth_protocol"},
      {R"("snmp_version":3,"username":"u","priv_protocol":"3DES","password":"Pass-0001",)"
       R"("priv_password":"Pass-0002")",
       "priv_protocol"},
      {R"("snmp_version":3,"username":"u","password":"Pass-01")", "password"},
      {R"("snmp_version":3,"username":"u","password":"Pass-0001","priv_password":"Pass-02")",
       "priv_password"},
      {R"("snmp_version":3,"username":"u","password":123456789)", "password"},
      {R"("snmp_version":3,"username":"u","security_level":"authNoPriv")", "password"},
      {R"("snmp_version":3,"username":"u","security_level":"authPriv","password":"Pass-0001")",
       "priv_password"},
      {R"("snmp_version":3,"username":"u","priv_password":"Pass-0002")", "password"},
      {R"("snmp_version":3,"username":"u","security_level":"high","password":"Pass-0001")",
       "security_level"},
      // A NUL would cut the text short where net-snmp reads it: refused, never sent.
      {R"("snmp_version":3,"username":"u\u0000v")", "username"},
      {R"("snmp_version":3,"username":"u","context_name":"pdu\u0000")", "context_name"},
      {R"("snmp_version":3,"username":"u","password":"Pass-0\u0000001")", "password"},
      {R"("snmp_version":3,"username":"u","password":"Pass-0001","priv_password":"Pass-0\u0000002")",
       "priv_password"},
  };
  for (const Case& c : cases) {
    auto obs = std::make_shared<RecordingObserver>();
    DeviceProbe d;
    AttachHostObserver(&d, obs);
    testing::internal::CaptureStdout();
    d.InitSetting(Parse(R"({"ip":")" + ip + R"(","address":3,"appSetting":{)" + c.keys + "}}"));
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << c.keys << " -> " << out;
    EXPECT_EQ(out.rfind(std::string("appSetting.") + c.named + ": ", 0), 0u)
        << c.keys << " -> " << out;
    EXPECT_TRUE(EndsWith(out, " (peer " + ip + ")\n")) << out;
    for (const char* secret : {"Pass-0", "Pass-01", "Pass-02", "123456789"}) {
      EXPECT_EQ(out.find(secret), std::string::npos) << c.keys << " -> " << out;
    }
    EXPECT_EQ(d.session().version, SNMP_VERSION_3) << c.keys << ": never SNMPv2c";
    EXPECT_EQ(d.session().community, nullptr) << c.keys;
    EXPECT_EQ(d.session().securityAuthKeyLen + d.session().securityPrivKeyLen, 0u) << c.keys;

    SetSlot(d.data(), 1, 1.0f);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    d.RefreshStatus();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "SNMP_MARLUXA_AC_POWER::do_sample\nrvSize is 0\n");
    EXPECT_EQ(err,
              "snmpbulkwalk: no session opened: appSetting cannot form one (see InitSetting) "
              "(peer " +
                  ip + ")\n");
    EXPECT_EQ(obs->Count("SendSP"), 1u) << "the unit is out of reach: a round says so";
    EXPECT_EQ(Slot(d.data(), 1), 0.0f);
  }
  EXPECT_EQ(agent.Drain(), 0) << "a datagram was sent";

  // snmp_version 2 sends SNMPv2c whatever SNMPv3 keys are present, and says they are unused.
  DeviceProbe d;
  testing::internal::CaptureStdout();
  d.InitSetting(Parse(V3App(R"("snmp_version":"2","username":"u","password":"Pass-0001")")));
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "appSetting: username, password not used with snmp_version 2 (peer 127.0.0.1:1161)\n");
  EXPECT_EQ(d.session().version, SNMP_VERSION_2c);
  EXPECT_EQ(d.session().community_len, 14u);
}

TEST(DeviceConfiguration, ReconfigurationOverwritesKeysAndRestoresTheSnmpv2cTemplate) {
  DeviceProbe fresh;
  fresh.InitSetting(Parse(V3App("")));
  DeviceProbe d;
  d.InitSetting(Parse(V3App(R"("snmp_version":3,"username":"alice","auth_protocol":"SHA-512",)"
                            R"("password":"alice auth pass","priv_password":"alice priv pass")")));
  ASSERT_EQ(d.session().securityAuthKeyLen, 64u);
  ASSERT_EQ(d.session().securityPrivKeyLen, 64u);
  const std::string old_auth = SessionKey(d.session().securityAuthKey, 64);

  // A shorter key leaves nothing of the longer one behind it; an unused key is cleared.
  d.InitSetting(Parse(V3App(R"("snmp_version":3,"username":"alice","auth_protocol":"MD5",)"
                            R"("password":"alice auth pass")")));
  ASSERT_EQ(d.session().securityAuthKeyLen, 16u);
  EXPECT_NE(SessionKey(d.session().securityAuthKey, 16), old_auth.substr(0, 16));
  EXPECT_TRUE(AllZero(d.session().securityAuthKey, 16, USM_AUTH_KU_LEN));
  EXPECT_TRUE(AllZero(d.session().securityPrivKey, 0, USM_PRIV_KU_LEN));

  // Without SNMPv3 keys the template is the SNMPv2c one a device never configured for SNMPv3 has.
  d.InitSetting(Parse(V3App("")));
  const netsnmp_session& s = d.session();
  const netsnmp_session& f = fresh.session();
  EXPECT_EQ(s.version, SNMP_VERSION_2c);
  EXPECT_EQ(s.version, f.version);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(s.community), s.community_len),
            std::string(reinterpret_cast<const char*>(f.community), f.community_len));
  EXPECT_EQ(s.securityModel, f.securityModel);
  EXPECT_EQ(s.securityLevel, f.securityLevel);
  EXPECT_EQ(s.securityName, nullptr);
  EXPECT_EQ(s.securityNameLen, f.securityNameLen);
  EXPECT_EQ(s.contextName, nullptr);
  EXPECT_EQ(s.contextNameLen, f.contextNameLen);
  EXPECT_EQ(s.securityAuthProto, nullptr);
  EXPECT_EQ(s.securityAuthProtoLen, f.securityAuthProtoLen);
  EXPECT_EQ(s.securityPrivProto, nullptr);
  EXPECT_EQ(s.securityPrivProtoLen, f.securityPrivProtoLen);
  EXPECT_EQ(s.securityAuthKeyLen + s.securityPrivKeyLen, 0u);
  EXPECT_TRUE(AllZero(s.securityAuthKey, 0, USM_AUTH_KU_LEN));
  EXPECT_TRUE(AllZero(s.securityPrivKey, 0, USM_PRIV_KU_LEN));
  EXPECT_EQ(s.flags, f.flags);
  EXPECT_EQ(s.timeout, f.timeout);
  EXPECT_EQ(s.retries, f.retries);
}

TEST(DeviceObject, DestroyedDeviceLeavesNoKeyOrPassPhraseInItsMemory) {
  alignas(DeviceProbe) unsigned char storage[sizeof(DeviceProbe)];
  auto* d = new (storage) DeviceProbe;
  d->InitSetting(Parse(V3App(R"("snmp_version":3,"username":"alice","password":"Auth-Phrase-77",)"
                             R"("priv_password":"Priv-Phrase-88")")));
  const std::string auth =
      SessionKey(d->session().securityAuthKey, d->session().securityAuthKeyLen);
  const std::string priv =
      SessionKey(d->session().securityPrivKey, d->session().securityPrivKeyLen);
  ASSERT_EQ(auth.size(), 20u);
  const std::string alive(reinterpret_cast<const char*>(storage), sizeof storage);
  ASSERT_NE(alive.find(auth), std::string::npos) << "the key is where the test looks for it";
  for (const char* phrase : {"Auth-Phrase-77", "Priv-Phrase-88"}) {
    EXPECT_EQ(alive.find(phrase), std::string::npos) << "the device keeps no pass phrase";
  }
  d->~DeviceProbe();
  const std::string after(reinterpret_cast<const char*>(storage), sizeof storage);
  EXPECT_EQ(after.find(auth), std::string::npos);
  EXPECT_EQ(after.find(priv), std::string::npos);
}

// Keys the device does not read are named in one notice, a misspelt one among them; a host's
// own keys are left alone. A configuration with only known keys prints nothing about them.
TEST(DeviceConfiguration, AppSettingKeysTheDeviceDoesNotReadAreNamedInOneNotice) {
  const struct {
    std::string app, notice;
  } cases[] = {
      {R"("max_repetition":5,"use_thread":0,"retries":1,"site":"hall 2")",
       R"(appSetting: "max_repetition", "site" are not keys this device reads; left as they are )"
       R"((a host may keep keys of its own there) (peer 10.0.5.21)
)"},
      {R"("max_repetition":5)",
       R"(appSetting: "max_repetition" is not a key this device reads; left as it is )"
       R"((a host may keep keys of its own there) (peer 10.0.5.21)
)"},
      {R"("a":1,"b":1,"c":1,"d":1,"e":1,"f":1,"g":1,"h":1,"i":1,"j":1,"community":null)",
       R"(appSetting: "a", "b", "c", "d", "e", "f", "g", "h" and 2 more are not keys this )"
       R"(device reads; left as they are (a host may keep keys of its own there) (peer 10.0.5.21)
)"},
      {R"("timeout_ms":500,"community":"public","snmp_version":2,"b_mode":1,"use_thread":0)",
       "InitSetting 0 b_mode_:1\n"},
  };
  for (const auto& c : cases) {
    DeviceProbe d;
    testing::internal::CaptureStdout();
    d.InitSetting(Parse(R"({"ip":"10.0.5.21","appSetting":{)" + c.app + "}}"));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.notice);
  }
}

// The README's table of the device file lists exactly the keys the device reads, each with its
// default.
TEST(AppSettingTable, IsTheReadmesTableOfTheDeviceFile) {
  std::ifstream readme(README_PATH);
  ASSERT_TRUE(readme) << README_PATH;
  std::map<std::string, std::string> rows;
  const std::string start = "| `appSetting.";
  for (std::string line; std::getline(readme, line);) {
    if (line.rfind(start, 0) == 0)
      rows[line.substr(start.size(), line.find('`', start.size()) - start.size())] = line;
  }
  std::set<std::string> names;
  for (const AppSettingEntry& e : AppSettingTable()) {
    names.insert(e.name);
    ASSERT_TRUE(rows.count(e.name)) << "README lacks appSetting." << e.name;
    EXPECT_NE(rows[e.name].find(e.fallback), std::string::npos) << rows[e.name];
  }
  for (const auto& row : rows) EXPECT_TRUE(names.count(row.first)) << "not read: " << row.first;
}

// One rule for every key: a value that is empty or has white space around it is named in one
// line and the key's default holds (the keys read by the leading-integer rule keep what that
// rule reads); the session forms, and the device walks. Pass phrases are taken byte for byte. A
// b_mode the frame does not know is named too.
TEST(DeviceConfiguration, EmptyAndPaddedValuesOfEveryKeyAreNamedAndTheDefaultHolds) {
  const std::map<std::string, std::string> padded = {{"use_thread", " 0 "},
                                                     {"b_mode", " 2"},
                                                     {"community", "public "},
                                                     {"timeout_ms", " 500"},
                                                     {"retries", "2 "},
                                                     {"max_repetitions", "\t10"},
                                                     {"snmp_version", " 3"},
                                                     {"username", " u"},
                                                     {"security_level", "authPriv "},
                                                     {"auth_protocol", " SHA"},
                                                     {"priv_protocol", "AES\n"},
                                                     {"context_name", " c"},
                                                     {"answers_from_any_address", " 1"}};
  struct Case {
    std::string app, named;
  };
  std::vector<Case> cases = {
      {R"("b_mode":7)", "appSetting.b_mode: 7 is not a frame mode (1, 2 or 3); it acts as 1"},
      {R"("b_mode":"x")", "appSetting.b_mode: \"x\" is not a frame mode (1, 2 or 3); it acts as 1"},
      {R"("b_mode":"")", "appSetting.b_mode: \"\" is not a frame mode (1, 2 or 3); it acts as 1"},
      {R"("b_mode":" 2")", "appSetting.b_mode: \" 2\" (white space around the value): read as 2"},
      {R"("use_thread":"")", "appSetting.use_thread: \"\" (empty): read as 0"},
      {R"("community":"")", "appSetting.community: ignoring \"\" (empty), using the default"},
      {R"("snmp_version":" 3","username":"u")",
       "appSetting.snmp_version: ignoring \" 3\" (white space around the value), using the "
       "default"},
      {R"("timeout_ms":"")", "appSetting.timeout_ms: ignoring \"\" (empty), using the default"},
  };
  for (const AppSettingEntry& e : AppSettingTable()) {
    if (std::strcmp(e.kind, "pass phrase") == 0) continue;
    ASSERT_TRUE(padded.count(e.name)) << e.name;
    for (const std::string& value : {std::string(), padded.at(e.name)}) {
      Json::Value text(value);  // written as JSON writes it
      std::string quoted = text.toStyledString();
      quoted.pop_back();
      cases.push_back({"\"" + std::string(e.name) + "\":" + quoted, e.name});
    }
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.app);
    DeviceProbe d;
    testing::internal::CaptureStdout();
    d.InitSetting(Parse(R"({"ip":"127.0.0.1:1161","appSetting":{)" + c.app + "}}"));
    const std::string out = testing::internal::GetCapturedStdout();
    std::vector<std::string> lines;  // the settings' own (the frame names b_mode as it always has)
    for (size_t at = 0, end; (end = out.find('\n', at)) != std::string::npos; at = end + 1) {
      if (out.compare(at, 11, "appSetting.") == 0 || out.compare(at, 12, "appSetting: ") == 0) {
        lines.push_back(out.substr(at, end - at));
      }
    }
    ASSERT_EQ(lines.size(), c.app.find(R"("username":"u")") != std::string::npos ? 2u : 1u) << out;
    if (c.named.find(' ') == std::string::npos) {
      EXPECT_EQ(lines[0].rfind("appSetting." + c.named + ": ", 0), 0u) << lines[0];
    } else {
      EXPECT_EQ(lines[0], c.named + " (peer 127.0.0.1:1161)");
    }
    EXPECT_TRUE(EndsWith(lines[0], " (peer 127.0.0.1:1161)")) << lines[0];
    EXPECT_EQ(d.session().version, SNMP_VERSION_2c) << "the device walks, as by default";
    EXPECT_EQ(d.session().timeout, 10000000);
    EXPECT_EQ(d.session().retries, 1);
    EXPECT_EQ(d.session().community_len, 14u);
  }
}

// Each unit of the tree (a header with its source) builds on units below it: no two include
// each other, directly or through others.
TEST(Layout, NoUnitIncludesItselfThroughOthers) {
  namespace fs = std::filesystem;
  const fs::path root = fs::path(README_PATH).parent_path();
  std::map<std::string, std::set<std::string>> uses;
  for (const char* dir :
       {"alarms", "device", "frame", "host", "plugin", "sim", "snmp", "tools", "util"}) {
    for (const auto& file : fs::recursive_directory_iterator(root / dir)) {
      const std::string ext = file.path().extension().string();
      if (ext != ".h" && ext != ".cc") continue;
      const fs::path relative = fs::relative(file.path(), root);
      const std::string unit = (relative.parent_path() / relative.stem()).string();
      std::ifstream in(file.path());
      for (std::string line; std::getline(in, line);) {
        if (line.rfind("#include \"", 0) != 0 || line.find(".h\"") == std::string::npos) continue;
        const std::string used = line.substr(10, line.find(".h\"") - 10);
        if (used != unit) uses[unit].insert(used);
      }
    }
  }
  ASSERT_GT(uses.size(), 20u) << root;
  std::map<std::string, int> state;  // 1: on the path being followed, 2: done
  std::vector<std::string> path;
  std::function<void(const std::string&)> follow = [&](const std::string& unit) {
    state[unit] = 1;
    path.push_back(unit);
    for (const std::string& used : uses[unit]) {
      if (state[used] == 1) {
        std::string circle;
        for (auto it = std::find(path.begin(), path.end(), used); it != path.end(); ++it) {
          circle += *it + " -> ";
        }
        ADD_FAILURE() << "include circle: " << circle << used;
      } else if (state[used] == 0) {
        follow(used);
      }
    }
    path.pop_back();
    state[unit] = 2;
  };
  for (const auto& entry : uses) {
    if (state[entry.first] == 0) follow(entry.first);
  }
}

TEST(DeviceConfiguration, FrameSettingsStillApply) {
  DeviceProbe d;
  d.Init(std::weak_ptr<QRMController>(), 5, Json::Value());
  testing::internal::CaptureStdout();
  d.InitSetting(Parse(R"({"appSetting":{"b_mode":"2"}})"));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "InitSetting 5 b_mode_:2\n");
  EXPECT_EQ(d.mode(), 2);
}

}  // namespace
