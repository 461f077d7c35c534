// The run's observer, driven by in-process devices making the host calls of a round.
#include "tools/qrmhost/round_summary.h"

#include <atomic>
#include <filesystem>
#include <sstream>

#include <gtest/gtest.h>

#include "device/alarm_catalogue.h"
#include "host/QRMSocketDevice.h"
#include "tests/tools/record_images.h"
#include "tests/support/temp_dir.h"

namespace {

class TestDevice : public QRMSocketDevice {
 public:
  explicit TestDevice(uint32_t id) { Init(std::weak_ptr<QRMController>(), id, Json::Value()); }
  int process_data(int, unsigned char*, int) override { return 0; }
  int RefreshStatus() override { return 0; }

  // One round in the frame's order; catalogue entry i is reported with alarm[i].
  void Round(const SNMP_MARLUXA_AC_POWER_Data_t& r, const std::vector<bool>& alarm) {
    SendSP(0, RecordBytes(r), kRecordSize, false);
    Reset();
    for (size_t i = 0; i < alarm.size(); ++i) {
      const std::string id = "s" + std::to_string(i);
      CheckThresholdBool(2, id, id, AlarmCategory(), AlarmCatalogue()[i].name, alarm[i],
                         static_cast<unsigned short>(i + 1));
    }
    batch_result = DoBatchCheckThreshold(m_rules);
    SaveDeviceHistory(RecordBytes(r), kRecordSize);
    m_rules.clear();
  }
  bool batch_result = false;
};

size_t Count(const std::string& text, const std::string& needle) {
  size_t n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
    ++n;
  }
  return n;
}

class RoundSummaryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    history_ = HistoryWriter::Open(dir_.path(), &error);
    ASSERT_NE(history_, nullptr) << error;
    summary_ = std::make_shared<RoundSummary>(
        RoundOutputs{&console_, &console_mutex_, &errors_, &events_, history_.get()}, 2,
        [this] { ++rounds_seen_; });
  }
  TempDir dir_;
  std::unique_ptr<HistoryWriter> history_;
  std::ostringstream console_, errors_, event_text_;
  std::mutex console_mutex_, event_mutex_;
  EventLog events_{event_text_, event_mutex_};
  std::atomic<int> rounds_seen_{0};
  std::shared_ptr<RoundSummary> summary_;
};

TEST_F(RoundSummaryTest, SummariesEventsAndHistoryPerRoundUpToTheLimit) {
  TestDevice device(5);
  AttachHostObserver(&device, summary_);
  const std::string& name = AlarmCatalogue()[1].name;

  auto r1 = MakeRecord(5, 0);
  SetSlot(r1, AlarmCatalogue()[1].slot, 1.0f);
  device.Round(r1, {false, true});
  EXPECT_TRUE(device.batch_result) << "the host's own answer is passed through";
  auto r2 = MakeRecord(5, 1);
  SetSlot(r2, 2, 3.5f);
  device.Round(r2, {false, false});
  device.Round(MakeRecord(5, 2), {true, false});  // past the limit of 2: not reported

  EXPECT_EQ(console_.str(),
            "[round 1] device 5 at 2026-12-07 20:15:03: first record, 2 slots non-zero, "
            "1 alarms active; raised: " +
                name +
                "\n"
                "[round 2] device 5 at 2026-12-07 20:15:04: 2 slots changed, 0 alarms active; "
                "cleared: " +
                name + "\n");
  EXPECT_EQ(errors_.str(), "");
  EXPECT_EQ(summary_->Published(5), 2u);
  EXPECT_EQ(summary_->Completed(5), 2u);
  EXPECT_EQ(rounds_seen_.load(), 2);
  EXPECT_EQ(ReadFileBytes(dir_ / "5.rec"), Bytes(r1) + Bytes(r2));

  const std::string events = event_text_.str();
  EXPECT_EQ(Count(events, "\"event\":\"publish\""), 2u);
  EXPECT_EQ(Count(events, "\"event\":\"signal\""), 4u);
  EXPECT_EQ(Count(events, "\"event\":\"batch\""), 2u);
  EXPECT_EQ(Count(events, "\"state\":\"raised\""), 1u);
  EXPECT_EQ(Count(events, "\"state\":\"cleared\""), 1u);
  EXPECT_EQ(Count(events, "\"file\":\"" + dir_ / "5.rec\""), 2u);
  EXPECT_EQ(Count(events, "\"time\":\"2026-12-07 20:15:04\""), 1u);
}

TEST_F(RoundSummaryTest, HistoryWriteErrorIsOneLineAndTheRunGoesOn) {
  std::filesystem::create_directory(dir_ / "6.rec");
  TestDevice failing(6), fine(7);
  AttachHostObserver(&failing, summary_);
  AttachHostObserver(&fine, summary_);
  failing.Round(MakeRecord(6), {false});
  fine.Round(MakeRecord(7), {false});
  failing.Round(MakeRecord(6, 1), {false});
  EXPECT_EQ(Count(errors_.str(), "qrmhost: cannot open history file " + dir_ / "6.rec"), 2u)
      << errors_.str();
  EXPECT_EQ(Count(errors_.str(), "\n"), 2u);
  EXPECT_EQ(Count(console_.str(), "device 6 at"), 2u) << "rounds go on";
  EXPECT_EQ(summary_->Completed(6), 2u);
  EXPECT_EQ(ReadFileBytes(dir_ / "7.rec"), Bytes(MakeRecord(7)));
  EXPECT_EQ(Count(event_text_.str(), "\"device\":6,\"event\":\"history\",\"file\":null"), 2u)
      << event_text_.str();
}

}  // namespace
