// The run's observer, driven by in-process devices making the host calls of a round.
#include "tools/qrmhost/round_summary.h"

#include <atomic>
#include <cmath>
#include <filesystem>
#include <map>
#include <regex>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>
#include <json/reader.h>

#include "alarms/alarm_catalogue.h"
#include "host/QRMSocketDevice.h"
#include "tests/tools/record_images.h"
#include "tests/support/temp_dir.h"
#include "tests/support/whole_line_sink.h"

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
  // Every line reached its stream whole, in one call.
  void TearDown() override {
    EXPECT_EQ(console_sink_.FirstSplitWrite(), "");
    EXPECT_EQ(error_sink_.FirstSplitWrite(), "");
  }
  const ScopedTimeZone utc_{"UTC0"};
  TempDir dir_;
  std::unique_ptr<HistoryWriter> history_;
  WholeLineSink console_sink_, error_sink_;
  std::ostream console_{&console_sink_}, errors_{&error_sink_};
  std::ostringstream event_text_;
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
      console_sink_.text(),
      "[round 1] device 5 at 2026-12-07T20:15:03+00:00: first record, 2 slots non-zero, "
      "1 alarms active; raised: #2 " +
          name +
          "\n"
          "[round 2] device 5 at 2026-12-07T20:15:04+00:00: 2 slots changed, 0 alarms active; "
          "cleared: #2 " +
          name + "\n");
  EXPECT_EQ(error_sink_.text(), "");
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
  const std::string errors = error_sink_.text();
  EXPECT_EQ(Count(errors, "qrmhost: cannot open history file " + dir_ / "6.rec"), 2u) << errors;
  EXPECT_EQ(Count(errors, "\n"), 2u);
  EXPECT_EQ(Count(console_sink_.text(), "device 6 at"), 2u) << "rounds go on";
  EXPECT_EQ(summary_->Completed(6), 2u);
  EXPECT_EQ(ReadFileBytes(dir_ / "7.rec"), Bytes(MakeRecord(7)));
  // The event names the file and the error; the record is counted as lost.
  EXPECT_EQ(Count(event_text_.str(),
                  "\"device\":6,\"error\":\"cannot open history file " + dir_ / "6.rec" +
                      ": Is a directory\",\"event\":\"history\",\"file\":\"" + dir_ / "6.rec\"}"),
            2u)
      << event_text_.str();
  EXPECT_EQ(summary_->Lost(6), 2u);
  EXPECT_EQ(summary_->Lost(7), 0u);
  EXPECT_NE(summary_->ClosingLine(6).find(", alarms active now 0, records lost 2"),
            std::string::npos)
      << summary_->ClosingLine(6);
  EXPECT_EQ(summary_->ClosingLine(7).find("records lost"), std::string::npos);
}

TEST_F(RoundSummaryTest, AtMostEightNamesOfEachKindThenHowManyMore) {
  TestDevice device(8);
  AttachHostObserver(&device, summary_);
  const auto& catalogue = AlarmCatalogue();
  auto names = [&](size_t from, size_t to) {
    std::string text;
    for (size_t i = from; i < to; ++i) {
      text += (i == from ? "#" : ", #") + std::to_string(i + 1) + " " + catalogue[i].name;
    }
    return text;
  };
  device.Round(MakeRecord(8), std::vector<bool>(11, true));  // 11 raised
  std::vector<bool> second(11, true);
  for (size_t i = 0; i < 8; ++i) second[i] = false;  // exactly 8 cleared
  device.Round(MakeRecord(8, 1), second);
  const std::string text = console_sink_.text();
  EXPECT_NE(text.find("; raised: " + names(0, 8) + " and 3 more\n"), std::string::npos) << text;
  EXPECT_NE(text.find("; cleared: " + names(0, 8) + "\n"), std::string::npos) << text;
  EXPECT_EQ(Count(text, " more"), 1u) << text;
}

// Alarms raised and cleared since the last round are named, by number and name, whether the
// plug-in evaluated them (frame mode 2: the host's rule batch) or not (frame modes 1 and 3: the
// record's alarm slots, against the previous record); the same changes either way, in the
// host's words or in English; the closing line lists those still active.
TEST_F(RoundSummaryTest, AlarmChangesNamedInEveryFrameModeAndLanguage) {
  const std::string note =
      "; alarms read from the record (the plug-in reports them to the host only with "
      "appSetting.b_mode 2)";
  const auto& catalogue = AlarmCatalogue();
  for (const bool reports : {true, false}) {
    for (const NameLanguage lang : {NameLanguage::kHost, NameLanguage::kEnglish}) {
      SCOPED_TRACE(std::string(reports ? "mode 2" : "mode 1") +
                   (lang == NameLanguage::kEnglish ? ", English" : ""));
      WholeLineSink sink;
      std::ostream console(&sink);
      RoundOutputs outputs{&console, &console_mutex_, &errors_};
      outputs.lang = lang;
      auto summary = std::make_shared<RoundSummary>(outputs, 0, nullptr);
      TestDevice device(9);
      AttachHostObserver(&device, summary);
      auto label = [&](int n) {
        const std::string& host = catalogue[static_cast<size_t>(n - 1)].name;
        return "#" + std::to_string(n) + " " +
               (lang == NameLanguage::kHost ? host : AlarmEnglishNames()[n - 1]);
      };
      auto round = [&](const SNMP_MARLUXA_AC_POWER_Data_t& r) {
        std::vector<bool> alarm;  // as the plug-in evaluates them in frame mode 2
        for (const AlarmEntry& e : catalogue)
          alarm.push_back(reports && !(Slot(r, e.slot) == e.normal));
        device.Round(r, reports ? alarm : std::vector<bool>());
      };
      auto r = MakeRecord(9);
      SetSlot(r, 1, 0.0f);    // #1: the unit is out of reach
      SetSlot(r, 178, 1.0f);  // #3
      round(r);
      r = MakeRecord(9, 1);
      SetSlot(r, 178, 1.0f);
      SetSlot(r, 604, std::nanf(""));  // #429
      round(r);
      round(r);  // nothing changed
      EXPECT_EQ(sink.text(),
                "[round 1] device 9 at 2026-12-07T20:15:03+00:00: first record, 1 slots "
                "non-zero, 2 alarms active; raised: " +
                    label(1) + ", " + label(3) + (reports ? "" : note) +
                    "\n[round 2] device 9 at 2026-12-07T20:15:04+00:00: 2 slots changed, 2 "
                    "alarms active; raised: " +
                    label(429) + "; cleared: " + label(1) +
                    "\n[round 3] device 9 at 2026-12-07T20:15:04+00:00: 0 slots changed, 2 "
                    "alarms active\n");
      EXPECT_EQ(summary->ClosingLine(9),
                "[end] device 9: rounds published 3, walks timed out 0, walks failed 0, walks "
                "found nothing 0, alarms active now 2; still active: " +
                    label(3) + ", " + label(429));
    }
  }
}

// Devices walk on their own threads and print the plug-in's console lines to the watched
// streams, character by character and at the same time; each walk's outcome and duration go to
// the device whose thread printed them: in its round line, its walk event and its closing line.
// Walks without a round go to the device the thread published for, or to the one device
// configured with the peer the lines named; walks the end cuts short are stopped.
using RoundSummaryWalks = RoundSummaryTest;
TEST_F(RoundSummaryWalks, OutcomesFollowTheWalkingThreadAndTheRoundLimit) {
  std::ostringstream watched_out, watched_err;
  ConsoleWatch watch(watched_out, watched_err);
  auto summary = std::make_shared<RoundSummary>(
      RoundOutputs{&console_, &console_mutex_, &errors_, &events_, nullptr, &watch}, 2, nullptr);
  summary->AddDevice(22, "10.0.0.22", false);
  summary->AddDevice(23, "10.0.0.23", true);  // SNMPv3
  summary->AddDevice(26, "pdu7:161", false);
  for (uint32_t shared : {27u, 28u}) summary->AddDevice(shared, "shared:161", false);
  summary->AddDevice(29, "10.0.0.29", false);
  // One thread's script: "out:" and "err:" lines to the streams, "round N+S" a round of device N
  // (record stamped S seconds later); device 21's second round raises an alarm.
  const std::string no_session =
      "snmpbulkwalk: no session opened: host name \"pdu7\" did not resolve: Name or service";
  const std::string b = "out:SNMP_MARLUXA_AC_POWER::do_sample", long_peer(100, 'p');
  const std::string dropped =
      "dropped 2 answers from 10.0.0.30:161, not from the peer 10.0.0.29:161; 2 came from the "
      "peer's port at another address, which appSetting.answers_from_any_address 1 would take";
  const std::vector<std::vector<std::string>> scripts = {
      {b, "err:Timeout: No Response from " + long_peer, "round 21+0", b, "round 21+1", b,
       "err:Timeout: No Response from 127.0.0.1:9", "round 21+2" /* past the limit */},
      {b, "out:snmp response error 5 (peer 10.0.0.22)", "round 22+0",
       "out:snmp get error -24" /* outside a walk */, b,
       "out:snmp walk dropped 3 answers from 127.0.0.1:99, not from the peer 10.0.0.22 (peer "
       "10.0.0.22)",
       "out:snmp walk still running after 30 s: at leaf 12, 4 exchanges (peer x)", "round 22+1", b,
       "out:snmp walk stopped after 5076 exchanges", "round 22+2"},
      // SNMPv3: net-snmp's reason follows the failure; then a walk without a round.
      {b, "out:snmp get error 1",
       "out:snmpbulkwalk: Authentication failure (incorrect password, community or key)",
       "round 23+0", b, b, "round 23+1"},
      {b, "out:snmp walk found nothing under 1.3.6.1.4.1.61333.1.1.4.2 (peer 127.0.0.1:161)",
       "round 24+0", b,
       "out:snmp walk stopped at OID 1.3.6.1.4.1.61333.1.1.4.2.7: it does not increase (peer x)",
       "round 24+1", b, "out:snmp tooBig: max_repetitions reduced to 50 (peer 127.0.0.1:161)",
       "round 25+0"},
      // Threads that never publish: a failed open naming the peer of one device, then a walk
      // the end cuts short; a failed open naming a peer two devices share.
      {b, "err:" + no_session + " (peer pdu7:161)", b,
       "err:snmp walk still running after 30 s: at leaf 1, 1 exchanges (peer pdu7:161)"},
      {b, "err:" + no_session + " (peer shared:161)"},
      // Answers came, from another address of the unit: the walk says so, not "unit dark".
      {b, "err:Timeout: No Response from 10.0.0.29",
       "out:snmp walk " + dropped + " (peer 10.0.0.29)", "round 29+0"},
      // A failed open whose round follows (the communication alarm): the round names it.
      {b, "err:" + no_session + " (peer pdu9:161)", "round 30+0"},
  };
  std::atomic<size_t> bytes[2] = {0, 0};  // written to watched_out, watched_err
  std::vector<std::thread> threads;
  for (const auto& script : scripts) {
    threads.emplace_back([&, script] {
      std::map<uint32_t, std::unique_ptr<TestDevice>> devices;
      for (const std::string& step : script) {
        if (step.rfind("round ", 0) == 0) {
          const uint32_t id = std::stoul(step.substr(6));
          auto& d = devices[id];
          if (!d) AttachHostObserver((d = std::make_unique<TestDevice>(id)).get(), summary);
          auto record = MakeRecord(id, std::stoi(step.substr(step.find('+') + 1)));
          if (step == "round 21+1") SetSlot(record, AlarmCatalogue()[1].slot, 1.0f);
          d->Round(record, {});
          continue;
        }
        std::ostream& stream = step[0] == 'o' ? watched_out : watched_err;
        for (char c : step.substr(4)) stream << c;
        stream << std::endl;
        bytes[step[0] == 'o' ? 0 : 1] += step.size() - 3;
      }
    });
  }
  for (std::thread& t : threads) t.join();
  summary->EndRun();

  const std::string counts[] = {
      "21: rounds published 2, walks timed out 1, walks failed 0, walks found nothing 0, alarms "
      "active now 1",
      "22: rounds published 2, walks timed out 0, walks failed 1, walks found nothing 0, alarms "
      "active now 0",
      "23: rounds published 2, walks timed out 0, walks failed 2, walks found nothing 0, alarms "
      "active now 0",
      "24: rounds published 2, walks timed out 0, walks failed 1, walks found nothing 1, alarms "
      "active now 0",
      "25: rounds published 1, walks timed out 0, walks failed 0, walks found nothing 0, alarms "
      "active now 0",
      "26: rounds published 0, walks timed out 0, walks failed 1, walks found nothing 0, no "
      "record"};
  const std::regex closing(
      R"(\[end\] device (.*), walk time median \d+\.\d{3} s, longest \d+\.\d{3} s(; still )"
      R"(active: #2 .*)?)");
  for (const std::string& c : counts) {
    const uint32_t id = std::stoul(c);
    std::smatch m;
    const std::string line = summary->ClosingLine(id);
    EXPECT_TRUE(std::regex_match(line, m, closing) && m[1] == c) << line;
    EXPECT_EQ(summary->AllWalksAnswered(id), id == 25) << id;
  }
  EXPECT_EQ(summary->Walks(27) + summary->Walks(28), 0u) << "whose walk?";

  // The walk of each round leads its line; the note belongs to the round of the walk that
  // found nothing, and to no other.
  const std::string rounds = console_sink_.text();
  const std::string stripped = std::regex_replace(rounds, std::regex(R"( in \d+\.\d{3} s)"), "");
  for (const std::string& part : std::vector<std::string>{
           "21 at 2026-12-07T20:15:03+00:00: walk of " + long_peer +
               " got no answer (unit dark, wrong community or wrong port); first record",
           "21 at 2026-12-07T20:15:04+00:00: walk answered; 1 slots changed, 1 alarms active; "
           "raised: #2 " +
               AlarmCatalogue()[1].name + "; alarms read from the record",
           "22 at 2026-12-07T20:15:03+00:00: walk of 10.0.0.22 failed: snmp response error 5; ",
           "30 at 2026-12-07T20:15:03+00:00: walk of pdu9:161 failed: " + no_session +
               "; first record",
           "22 at 2026-12-07T20:15:04+00:00: walk of 10.0.0.22 answered; ",
           "23 at 2026-12-07T20:15:03+00:00: walk of 10.0.0.23 failed: snmp get error 1: "
           "Authentication failure (incorrect password, community or key); ",
           "24 at 2026-12-07T20:15:03+00:00: walk of 127.0.0.1:161 found nothing; first record, 1 "
           "slots non-zero, 0 alarms active; no value under 1.3.6.1.4.1.61333.1.1.4.2: wrong "
           "address?\n",
           "24 at 2026-12-07T20:15:04+00:00: walk of x failed: snmp walk stopped at OID "
           "1.3.6.1.4.1.61333.1.1.4.2.7: it does not increase; ",
           "29 at 2026-12-07T20:15:03+00:00: walk of 10.0.0.29 got no answer (" + dropped +
               "); first record"}) {
    EXPECT_NE(stripped.find("] device " + part), std::string::npos) << part << "\n" << stripped;
  }
  EXPECT_EQ(Count(rounds, "wrong address?"), 1u) << rounds;

  // One walk event per walk, the device's last event before its round's publish event; walks
  // without a round alone.
  std::map<std::string, int> outcomes;
  std::map<std::string, std::string> last_event;  // per device
  std::istringstream lines(event_text_.str());
  for (std::string line; std::getline(lines, line);) {
    Json::Value e;
    std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
    ASSERT_TRUE(reader->parse(line.data(), line.data() + line.size(), &e, nullptr)) << line;
    const std::string device = e["device"].asString(), event = e["event"].asString();
    EXPECT_TRUE(event != "publish" || last_event[device] == "walk") << line;
    last_event[device] = event;
    if (event == "walk") ++outcomes[device + " " + e["outcome"].asString()];
  }
  const std::map<std::string, int> expected = {
      {"21 no answer", 1}, {"21 answered", 1}, {"22 failed", 1},        {"22 answered", 1},
      {"23 failed", 2},    {"23 answered", 1}, {"24 found nothing", 1}, {"24 failed", 1},
      {"25 answered", 1},  {"26 failed", 1},   {"26 stopped", 1},       {"29 no answer", 1},
      {"30 failed", 1}};
  EXPECT_EQ(outcomes, expected) << event_text_.str();
  for (const std::string& field :
       {std::string(R"("reason":"unit dark, wrong community or wrong port")"),
        R"("reason":")" + std::regex_replace(no_session, std::regex("\""), "\\\"") + "\"",
        std::string(R"("reason":"the walk published no round")"), R"("reason":")" + dropped + "\"",
        std::string(R"("root":"1.3.6.1.4.1.61333.1.1.4.2")")}) {
    EXPECT_NE(event_text_.str().find(field), std::string::npos) << field;
  }
  EXPECT_EQ(watched_out.str().size(), bytes[0].load()) << "every character passed on";
  EXPECT_EQ(watched_err.str().size(), bytes[1].load()) << "every character passed on";

  // Written by one thread, the text arrives unchanged.
  watched_out.str("");
  watched_out << "snmp tooBig: max_repetitions reduced to 50" << std::endl << 42 << '\n';
  EXPECT_EQ(watched_out.str(), "snmp tooBig: max_repetitions reduced to 50\n42\n");

  // A quiet watch holds the plug-in's fixed lines back and passes every other one on whole;
  // a line never ended is passed on at the end.
  std::ostringstream quiet_out, quiet_err;
  {
    ConsoleWatch quiet(quiet_out, quiet_err, true);
    quiet_out << "InitSetting 7 b_mode_:2" << std::endl << "rvSize is 3\nhere 1\nkept\n";
    quiet_out << "SNMP_MARLUXA_AC_POWER::do_sample" << std::endl << "rvSize is ";
    quiet_err << std::string(ConsoleWatch::kHeldLine + 1, 'x') << "\nmobile:k\n"
              << "InitSetting";
  }
  EXPECT_EQ(quiet_out.str(), "kept\nrvSize is ");
  EXPECT_EQ(quiet_err.str(), std::string(ConsoleWatch::kHeldLine + 1, 'x') + "\nInitSetting");
}

}  // namespace
