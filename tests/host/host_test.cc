// The reference host: time stamps, base configuration, the threshold service and observers.
#include <memory>
#include <string>

#include <gtest/gtest.h>
#include <json/reader.h>

#include "host/QRMSocketDevice.h"
#include "host/get_ttime.h"
#include "tests/support/recording_observer.h"
#include "tests/support/test_util.h"

namespace {

class PlainDevice : public QRMSocketDevice {
 public:
  int process_data(int, unsigned char*, int) override { return 0; }
  int RefreshStatus() override { return 0; }
  const std::string& ip() const { return m_ip; }
  unsigned address() const { return m_address; }
  bool alarm_result() const { return m_alarmResult; }
  std::vector<rule_value>& rules() { return m_rules; }
};

TEST(GetTTime, PacksYearLittleEndianThenMonthDayHourMinuteSecond) {
  using namespace boost::posix_time;
  const ptime t(boost::gregorian::date(2026, 12, 7), hours(19) + minutes(58) + seconds(9));
  const TTime b = get_ttime(t);
  const TTime expected = {0xEA, 0x07, 12, 7, 19, 58, 9};
  EXPECT_EQ(b, expected);
  EXPECT_EQ(get_ttime(ptime()), TTime{});
}

TEST(HostInit, InitSetsTheDeviceId) {
  PlainDevice d;
  d.Init(std::weak_ptr<QRMController>(), 4294967295u, Json::Value());
  EXPECT_EQ(d.DataId(), 4294967295u);
}

TEST(HostInitSetting, ReadsIpAndAddressAsNumberOrText) {
  PlainDevice d;
  EXPECT_TRUE(d.InitSetting(Parse(R"({"ip":"127.0.0.1:1161","address":3})")));
  EXPECT_EQ(d.ip(), "127.0.0.1:1161");
  EXPECT_EQ(d.address(), 3u);
  EXPECT_TRUE(d.InitSetting(Parse(R"({"address":"255"})")));
  EXPECT_EQ(d.address(), 255u);
  EXPECT_EQ(d.ip(), "127.0.0.1:1161") << "a missing key keeps the earlier value";
  EXPECT_TRUE(d.InitSetting(Parse(R"({"address":0,"ip":null})")));
  EXPECT_EQ(d.address(), 0u);
}

TEST(HostInitSetting, MissingKeysLeaveDefaults) {
  PlainDevice d;
  EXPECT_TRUE(d.InitSetting(Parse("{}")));
  EXPECT_TRUE(d.InitSetting(Parse("[1,2]")));
  EXPECT_EQ(d.ip(), "");
  EXPECT_EQ(d.address(), 0u);
}

TEST(HostInitSetting, InvalidValuesAreNamedKeptAndFail) {
  const char* bad[] = {R"({"address":256})", R"({"address":-1})", R"({"address":"abc"})",
                       R"({"address":"3x"})", R"({"address":true})", R"({"address":3.5})",
                       R"({"address":[3]})", R"({"address":""})", R"({"ip":12})",
                       R"({"ip":{"h":1}})",
                       // Integral, but past the signed 64-bit range (jsoncpp would throw).
                       R"({"address":18446744073709551615})", R"({"address":1e19})"};
  for (const char* text : bad) {
    PlainDevice d;
    ASSERT_TRUE(d.InitSetting(Parse(R"({"ip":"10.0.0.9","address":7})")));
    testing::internal::CaptureStderr();
    EXPECT_FALSE(d.InitSetting(Parse(text))) << text;
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(d.address(), 7u) << text;
    EXPECT_EQ(d.ip(), "10.0.0.9") << text;
    const bool names_key =
        err.find("\"address\"") != std::string::npos || err.find("\"ip\"") != std::string::npos;
    EXPECT_TRUE(names_key) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
  }
}

TEST(ThresholdService, RecordsFirstAlarmAndEveryChange) {
  PlainDevice d;
  const std::string cat = "c";
  // First report not in alarm: nothing to record.
  d.CheckThresholdBool(2, "A", "A", cat, "a", false, 1);
  EXPECT_TRUE(d.rules().empty());
  EXPECT_FALSE(d.alarm_result());
  // First report in alarm: raised.
  d.CheckThresholdBool(2, "B", "B", cat, "b", true, 2);
  ASSERT_EQ(d.rules().size(), 1u);
  EXPECT_EQ(d.rules()[0].id, "B");
  EXPECT_EQ(d.rules()[0].name, "b");
  EXPECT_EQ(d.rules()[0].state, 1);
  EXPECT_TRUE(d.alarm_result());
  // Same state again: nothing; change: cleared, then raised.
  d.CheckThresholdBool(2, "B", "B", cat, "b", true, 2);
  EXPECT_EQ(d.rules().size(), 1u);
  d.CheckThresholdBool(2, "B", "B", cat, "b", false, 2);
  d.CheckThresholdBool(2, "A", "A", cat, "a", true, 1);
  ASSERT_EQ(d.rules().size(), 3u);
  EXPECT_EQ(d.rules()[1].state, 0);
  EXPECT_EQ(d.rules()[2].state, 1);
}

TEST(ThresholdService, StateIsKeptPerDevice) {
  PlainDevice a, b;
  a.CheckThresholdBool(2, "X", "X", "c", "x", true, 1);
  b.CheckThresholdBool(2, "X", "X", "c", "x", true, 1);
  EXPECT_EQ(a.rules().size(), 1u);
  EXPECT_EQ(b.rules().size(), 1u) << "another device's history must not hide b's first alarm";
}

TEST(ThresholdService, BatchResultIsTrueOnlyWithARaiseUnlessObserverDecides) {
  PlainDevice d;
  std::vector<rule_value> batch(2);
  EXPECT_FALSE(d.DoBatchCheckThreshold(batch));
  batch[1].state = 1;
  EXPECT_TRUE(d.DoBatchCheckThreshold(batch));
  auto obs = std::make_shared<RecordingObserver>();
  AttachHostObserver(&d, obs);
  obs->ForceBatchResult(0);
  EXPECT_FALSE(d.DoBatchCheckThreshold(batch));
  ASSERT_EQ(obs->Count("DoBatch"), 1u);
  EXPECT_EQ(obs->EventsOf("DoBatch")[0].batch_size, 2u);
  EXPECT_TRUE(obs->EventsOf("DoBatch")[0].flag);
}

TEST(HostObserverTest, SeesCallsInOrderWithCopiesAndCanDetach) {
  PlainDevice d;
  auto obs = std::make_shared<RecordingObserver>();
  AttachHostObserver(&d, obs);
  unsigned char data[3] = {1, 2, 3};
  d.SendSP(0, data, 3, false);
  data[0] = 9;
  d.Reset();
  d.CheckThresholdBool(2, "I", "J", "cat", "n", true, 7);
  d.SaveDeviceHistory(data, 3);
  d.InitSetting(Json::Value(Json::objectValue));
  const auto ev = obs->Events();
  ASSERT_EQ(ev.size(), 5u);
  EXPECT_EQ(ev[0].call, "SendSP");
  EXPECT_EQ(ev[0].bytes, (std::vector<unsigned char>{1, 2, 3})) << "observer keeps its own copy";
  EXPECT_EQ(ev[1].call, "Reset");
  EXPECT_EQ(ev[2].call, "CheckThresholdBool");
  EXPECT_EQ(ev[2].id2, "J");
  EXPECT_EQ(ev[2].number, 7);
  EXPECT_EQ(ev[3].call, "SaveHistory");
  EXPECT_EQ(ev[3].bytes[0], 9);
  EXPECT_EQ(ev[4].call, "InitSetting");
  EXPECT_TRUE(ev[4].flag);
  AttachHostObserver(&d, nullptr);
  d.Reset();
  EXPECT_EQ(obs->Events().size(), 5u);
}

}  // namespace
