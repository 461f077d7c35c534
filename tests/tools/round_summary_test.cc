// The run's observer, driven by in-process devices making the host calls of a round.
#include "tools/qrmhost/round_summary.h"

#include <atomic>
#include <filesystem>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "alarms/alarm_catalogue.h"
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
  const ScopedTimeZone utc_{"UTC0"};
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

  EXPECT_EQ(
      console_.str(),
      "[round 1] device 5 at 2026-12-07T20:15:03+00:00: first record, 2 slots non-zero, "
      "1 alarms active; raised: " +
          name +
          "\n"
          "[round 2] device 5 at 2026-12-07T20:15:04+00:00: 2 slots changed, 0 alarms active; "
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
  EXPECT_EQ(Count(events, "\"time\":\"2026-12-07T20:15:04+00:00\""), 1u);
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

TEST_F(RoundSummaryTest, AtMostEightNamesOfEachKindThenHowManyMore) {
  TestDevice device(8);
  AttachHostObserver(&device, summary_);
  const auto& catalogue = AlarmCatalogue();
  auto names = [&](size_t from, size_t to) {
    std::string text;
    for (size_t i = from; i < to; ++i) text += (i == from ? "" : ", ") + catalogue[i].name;
    return text;
  };
  device.Round(MakeRecord(8), std::vector<bool>(11, true));  // 11 raised
  std::vector<bool> second(11, true);
  for (size_t i = 0; i < 8; ++i) second[i] = false;  // exactly 8 cleared
  device.Round(MakeRecord(8, 1), second);
  const std::string text = console_.str();
  EXPECT_NE(text.find("; raised: " + names(0, 8) + " and 3 more\n"), std::string::npos) << text;
  EXPECT_NE(text.find("; cleared: " + names(0, 8) + "\n"), std::string::npos) << text;
  EXPECT_EQ(Count(text, " more"), 1u) << text;
}

// Two devices walk on their own threads and print the plug-in's console lines to the watched
// streams, character by character and at the same time; each round's outcome goes to the
// device whose thread printed it.
TEST(RoundSummaryWalks, OutcomesFollowTheWalkingThreadAndTheRoundLimit) {
  std::ostringstream watched_out, watched_err, console, errors;
  std::mutex console_mutex;
  ConsoleWatch watch(watched_out, watched_err);
  auto summary = std::make_shared<RoundSummary>(
      RoundOutputs{&console, &console_mutex, &errors, nullptr, nullptr, &watch}, 2, nullptr);
  auto print = [](std::ostream& stream, const std::string& line) {
    for (char c : line) stream << c;
    stream << std::endl;
  };
  const std::string long_peer(100, 'p');  // a line far longer than what decides
  const auto& catalogue = AlarmCatalogue();
  auto alarm_record = MakeRecord(21, 1);
  SetSlot(alarm_record, catalogue[1].slot, 1.0f);
  std::thread a([&] {
    TestDevice device(21);
    AttachHostObserver(&device, summary);
    print(watched_out, "SNMP_MARLUXA_AC_POWER::do_sample");
    print(watched_err, "Timeout: No Response from " + long_peer);
    device.Round(MakeRecord(21), {});
    print(watched_out, "SNMP_MARLUXA_AC_POWER::do_sample");
    device.Round(alarm_record, {});
    print(watched_out, "SNMP_MARLUXA_AC_POWER::do_sample");
    print(watched_err, "Timeout: No Response from 127.0.0.1:9");
    device.Round(MakeRecord(21, 2), {});  // past the limit: not counted
  });
  std::thread b([&] {
    TestDevice device(22);
    AttachHostObserver(&device, summary);
    print(watched_out, "SNMP_MARLUXA_AC_POWER::do_sample");
    print(watched_out, "snmp response error 5");
    device.Round(MakeRecord(22), {});
    print(watched_out, "snmp get error -24");  // a walk that ended before its round...
    print(watched_out, "SNMP_MARLUXA_AC_POWER::do_sample");  // ... is over when the next begins
    device.Round(MakeRecord(22, 1), {});
    print(watched_out, "SNMP_MARLUXA_AC_POWER::do_sample");
    print(watched_out, "snmp walk stopped after 5076 exchanges");
    device.Round(MakeRecord(22, 2), {});  // past the limit: not counted
  });
  // Lines that end with more than their start: a walk that stored nothing, then one that
  // stopped at a name that does not increase; then a device whose walks all answered.
  const std::vector<std::string> c_lines = {
      "snmp walk found nothing under 1.3.6.1.4.1.61333.1.1.4.2 (peer 127.0.0.1:161)",
      "snmp walk stopped at OID 1.3.6.1.4.1.61333.1.1.4.2.7: it does not increase (peer x)"};
  std::thread c([&] {
    TestDevice device(24), healthy(25);
    AttachHostObserver(&device, summary);
    AttachHostObserver(&healthy, summary);
    print(watched_out, "SNMP_MARLUXA_AC_POWER::do_sample");
    print(watched_out, c_lines[0]);
    device.Round(MakeRecord(24), {});
    print(watched_out, "SNMP_MARLUXA_AC_POWER::do_sample");
    print(watched_out, c_lines[1]);
    device.Round(MakeRecord(24, 1), {});
    print(watched_out, "SNMP_MARLUXA_AC_POWER::do_sample");
    healthy.Round(MakeRecord(25), {});
  });
  a.join();
  b.join();
  c.join();
  EXPECT_EQ(summary->ClosingLine(21),
            "[end] device 21: rounds published 2, walks timed out 1, walks failed 0, walks found "
            "nothing 0, alarms active now 1");
  EXPECT_EQ(summary->ClosingLine(22),
            "[end] device 22: rounds published 2, walks timed out 0, walks failed 1, walks found "
            "nothing 0, alarms active now 0");
  EXPECT_EQ(summary->ClosingLine(24),
            "[end] device 24: rounds published 2, walks timed out 0, walks failed 1, walks found "
            "nothing 1, alarms active now 0");
  summary->WalkWithoutRound(23);
  EXPECT_EQ(summary->ClosingLine(23),
            "[end] device 23: rounds published 0, walks timed out 0, walks failed 1, walks found "
            "nothing 0, no record");
  for (uint32_t id : {21, 22, 23, 24}) EXPECT_FALSE(summary->AllWalksAnswered(id)) << id;
  EXPECT_TRUE(summary->AllWalksAnswered(25));
  const std::string rounds = console.str();
  // The note belongs to the round of the walk that found nothing, and to no other.
  const size_t first = rounds.find("[round 1] device 24 at ");
  ASSERT_NE(first, std::string::npos) << rounds;
  const std::string line = rounds.substr(first, rounds.find('\n', first) - first);
  const std::string note = "; no value under 1.3.6.1.4.1.61333.1.1.4.2: wrong address?";
  EXPECT_EQ(line.substr(line.size() - std::min(line.size(), note.size())), note) << line;
  EXPECT_EQ(Count(rounds, "wrong address?"), 1u) << rounds;
  EXPECT_EQ(watched_out.str().size(),
            9 * 33 + 22 + 19 + 39u + c_lines[0].size() + c_lines[1].size() + 2)
      << "every character passed on";
  EXPECT_EQ(watched_err.str().size(), 38u + 127u);
  EXPECT_EQ(Count(watched_out.str(), "\n"), 14u);

  // Written by one thread, the text arrives unchanged.
  watched_out.str("");
  watched_out << "snmp tooBig: max_repetitions reduced to 50" << std::endl << 42 << '\n';
  EXPECT_EQ(watched_out.str(), "snmp tooBig: max_repetitions reduced to 50\n42\n");
}

}  // namespace
