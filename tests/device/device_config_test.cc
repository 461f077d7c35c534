// The device object before any walk: construction, configuration, session settings.
#include <pthread.h>

#include <algorithm>
#include <climits>
#include <limits>
#include <memory>
#include <string>

#include <gtest/gtest.h>
#include <json/reader.h>

#include "tests/support/device_probe.h"
#include "tests/support/recording_observer.h"
#include "tests/support/vtable_slot.h"
#include "tests/support/test_util.h"

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

  // No thread to be had (every new thread asks for an impossible stack): one line, the result
  // is still 1, and the host's RefreshStatus drives the device instead.
  pthread_attr_t saved, huge;
  ASSERT_EQ(pthread_getattr_default_np(&saved), 0);
  ASSERT_EQ(pthread_attr_init(&huge), 0);
  ASSERT_EQ(pthread_attr_setstacksize(&huge, std::numeric_limits<size_t>::max() - 65535), 0);
  ASSERT_EQ(pthread_setattr_default_np(&huge), 0);
  DeviceProbe starved;
  testing::internal::CaptureStdout();
  const bool result = starved.InitSetting(Parse(R"({"appSetting":{"use_thread":1}})"));
  pthread_setattr_default_np(&saved);
  pthread_attr_destroy(&huge);
  pthread_attr_destroy(&saved);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_TRUE(result);
  EXPECT_EQ(starved.thread(), nullptr);
  EXPECT_EQ(starved.use_thread(), 0);
  EXPECT_EQ(out.rfind("SNMP_MARLUXA_AC_POWER: sampling thread not started", 0), 0u) << out;
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;
  testing::internal::CaptureStdout();
  EXPECT_EQ(starved.RefreshStatus(), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "SNMP_MARLUXA_AC_POWER::do_sample\n")
      << "the host's call walks (an empty target ends the walk at once)";
}

TEST(DeviceConfiguration, RepeatedConfigurationNeverStartsASecondThread) {
  DeviceProbe d;
  d.InitSetting(Parse(R"({"appSetting":{"use_thread":1}})"));
  const std::thread* first = d.thread();
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
    d.InitSetting(Parse(std::string(R"({"appSetting":{)") + c.app + "}}"));
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(d.session().timeout, c.timeout_us) << c.app;
    EXPECT_EQ(d.session().retries, c.retries) << c.app;
    if (c.capped) {
      EXPECT_NE(out.find("exceeds 60000 ms per request"), std::string::npos) << c.app << out;
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
                       R"("timeout_ms":18446744073709551615)", R"("retries":1e19)"};
  for (const char* setting : bad) {
    DeviceProbe d;
    testing::internal::CaptureStdout();
    d.InitSetting(Parse(std::string(R"({"appSetting":{)") + setting + "}}"));
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string key = std::string(setting).substr(1, std::string(setting).find('"', 1) - 1);
    EXPECT_NE(out.find(key), std::string::npos) << setting << " -> " << out;
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;
    EXPECT_EQ(d.session().timeout, 10000000);
    EXPECT_EQ(d.session().retries, 1);
    EXPECT_EQ(d.session().community_len, 14u);
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
