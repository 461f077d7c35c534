// The per-round alarm evaluation of the device in frame mode 2.
#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <json/reader.h>

#include "alarms/alarm_catalogue.h"
#include "tests/support/device_probe.h"
#include "tests/support/recording_observer.h"
#include "tests/support/test_util.h"

namespace {

struct Evaluation : testing::Test {
  void SetUp() override {
    AttachHostObserver(&dev, obs);
    Configure(2);
  }
  void Configure(int mode) {
    testing::internal::CaptureStdout();
    dev.InitSetting(Parse(R"({"appSetting":{"b_mode":)" + std::to_string(mode) + "}}"));
    testing::internal::GetCapturedStdout();
    obs->Clear();
  }
  std::vector<HostEvent> Evaluate(unsigned short counter) {
    obs->Clear();
    dev.set_counter(counter);
    dev.RunCheckThreshold();
    return obs->EventsOf("CheckThresholdBool");
  }
  DeviceProbe dev;
  std::shared_ptr<RecordingObserver> obs = std::make_shared<RecordingObserver>();
};

TEST_F(Evaluation, ReportsEveryEntryInOrderWithIdsNamesAndCategory) {
  const auto ev = Evaluate(1);
  ASSERT_EQ(ev.size(), 429u);
  const auto& catalogue = AlarmCatalogue();
  for (size_t i = 0; i < ev.size(); ++i) {
    char id[32];
    std::snprintf(id, sizeof id, "12083017%03zu0", i + 1);
    EXPECT_EQ(ev[i].kind, 2);
    EXPECT_EQ(ev[i].id, id);
    EXPECT_EQ(ev[i].id2, id);
    EXPECT_EQ(ev[i].category, "专用空调其他告警");
    EXPECT_EQ(ev[i].name, catalogue[i].name);
    EXPECT_EQ(ev[i].number, i + 1);
  }
  EXPECT_EQ(ev.front().id, "120830170010");
  EXPECT_EQ(ev.front().name, "设备通讯状态");
  EXPECT_EQ(ev.back().id, "120830174290");
  EXPECT_EQ(ev.back().name, "2QF08-C电流越下限");
  EXPECT_EQ(dev.counter(), 430);
}

TEST_F(Evaluation, ZeroRecordRaisesOnlyCommunicationState) {
  auto ev = Evaluate(1);
  ASSERT_EQ(ev.size(), 429u);
  EXPECT_TRUE(ev[0].flag);
  for (size_t i = 1; i < ev.size(); ++i) EXPECT_FALSE(ev[i].flag) << ev[i].name;
  SetSlot(dev.data(), 1, 1.0f);
  ev = Evaluate(1);
  for (const auto& e : ev) EXPECT_FALSE(e.flag) << e.name;
}

TEST_F(Evaluation, ExactComparisonNegativeZeroAndNaN) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  struct Case {
    float slot1;
    bool alarm1;
    float other;
    bool alarm_other;
  } cases[] = {{1.0f, false, 0.0f, false},        {0.0f, true, -0.0f, false},
               {2.0f, true, 1.0f, true},          {0.5f, true, 0.5f, true},
               {nan, true, -1.0f, true},          {1.0f, false, nan, true},
               {1.0f + 1e-7f, true, 1e-38f, true}};
  for (const Case& c : cases) {
    SetSlot(dev.data(), 1, c.slot1);
    SetSlot(dev.data(), 604, c.other);  // the last entry
    SetSlot(dev.data(), 177, c.other);  // the second entry
    const auto ev = Evaluate(1);
    ASSERT_EQ(ev.size(), 429u);
    EXPECT_EQ(ev[0].flag, c.alarm1) << c.slot1;
    EXPECT_EQ(ev[1].flag, c.alarm_other) << c.other;
    EXPECT_EQ(ev[428].flag, c.alarm_other) << c.other;
  }
}

TEST_F(Evaluation, EachEntryReadsItsOwnSlot) {
  SetSlot(dev.data(), 1, 1.0f);
  const auto& catalogue = AlarmCatalogue();
  for (size_t pick : {1u, 67u, 200u, 428u}) {
    SetSlot(dev.data(), catalogue[pick].slot, 1.0f);
    const auto ev = Evaluate(1);
    for (size_t i = 0; i < ev.size(); ++i) EXPECT_EQ(ev[i].flag, i == pick) << i;
    SetSlot(dev.data(), catalogue[pick].slot, 0.0f);
  }
}

TEST_F(Evaluation, CounterWidthGrowsAndWrapsAround) {
  // During each report the counter already holds the next number, wrapping with it.
  std::vector<unsigned short> during;
  obs->on_event = [&](const HostEvent& e) {
    if (e.call == "CheckThresholdBool") during.push_back(dev.counter());
  };
  auto ev = Evaluate(998);
  ASSERT_EQ(during.size(), ev.size());
  for (size_t i = 0; i < ev.size(); ++i)
    ASSERT_EQ(during[i], static_cast<unsigned short>(ev[i].number + 1)) << "report " << i;
  during.clear();
  EXPECT_EQ(ev[0].id, "120830179980");
  EXPECT_EQ(ev[1].id, "120830179990");
  EXPECT_EQ(ev[2].id, "1208301710000");
  EXPECT_EQ(ev[2].id2, "1208301710000");
  EXPECT_EQ(ev[2].number, 1000);

  ev = Evaluate(65535 - 10);
  EXPECT_EQ(ev[10].id, "12083017655350");
  EXPECT_EQ(ev[10].number, 65535);
  EXPECT_EQ(ev[11].id, "120830170000");
  EXPECT_EQ(ev[11].number, 0);
  EXPECT_EQ(during[10], 0) << "65535 is followed by 0";
  EXPECT_EQ(dev.counter(), static_cast<unsigned short>(65525 + 429));
  obs->on_event = nullptr;
}

TEST_F(Evaluation, OtherModesReportNothingAndKeepTheCounter) {
  for (int mode : {1, 3, 0, 7}) {
    Configure(mode);
    const auto ev = Evaluate(77);
    EXPECT_TRUE(ev.empty()) << mode;
    EXPECT_EQ(dev.counter(), 77) << mode;
  }
}

TEST_F(Evaluation, RoundResetsCounterAndFeedsTheBatch) {
  testing::internal::CaptureStdout();
  dev.set_counter(900);
  dev.RoundDone();
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out, "rvSize is 1\n") << "the zero record raises the communication state once";
  const auto ev = obs->EventsOf("CheckThresholdBool");
  ASSERT_EQ(ev.size(), 429u);
  EXPECT_EQ(ev[0].number, 1);
  ASSERT_EQ(obs->Count("DoBatch"), 1u);
  EXPECT_EQ(obs->EventsOf("DoBatch")[0].batch_size, 1u);
}
}  // namespace
