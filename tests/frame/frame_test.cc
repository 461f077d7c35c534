// The data-device frame: record layout, the round cycle, cache restore, configuration.
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <stdexcept>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include <gtest/gtest.h>
#include <json/reader.h>

#include "frame/UniDataDevice.h"
#include "frame/record.h"
#include "host/QRMSocketDevice.h"
#include "tests/support/recording_observer.h"
#include "tests/support/vtable_slot.h"
#include "tests/support/test_util.h"

namespace {

using Record = SNMP_MARLUXA_AC_POWER_Data_t;
using Frame = UniDataDevice<Record, QRMSocketDevice, 0>;

class TestDevice : public Frame {
 public:
  int process_data(int, unsigned char*, int) override { return 0; }
  int RefreshStatus() override { return 0; }

  void RunCheckThreshold() override {
    counter_at_check = m_signalNo;
    ++checks;
    for (int i = 0; i < raise_signals; ++i) {
      const std::string id = "S" + std::to_string(i);
      CheckThresholdBool(2, id, id, "cat", id, true, m_signalNo++);
    }
    if (hook) hook();
  }

  Record& data() { return m_data; }
  int mode() const { return m_mode; }
  bool valid() const { return m_dataValid; }
  bool alarm_result() const { return m_alarmResult; }
  void set_alarm_result(bool v) { m_alarmResult = v; }
  void set_counter(unsigned short c) { m_signalNo = c; }
  size_t rules_size() const { return m_rules.size(); }
  void add_host_rule() { m_rules.emplace_back(); }
  std::map<std::string, std::string>& alarm_map() { return m_alarmMap; }
  std::map<std::string, std::string>& names() { return m_signalNames; }
  std::map<std::string, int>& levels() { return m_levels; }
  std::map<std::string, float>& values() { return m_values; }

  int raise_signals = 0;
  int checks = 0;
  unsigned short counter_at_check = 0;
  std::function<void()> hook;
};

struct Fixture : testing::Test {
  void SetUp() override {
    dev.Init(std::weak_ptr<QRMController>(), 7, Json::Value());
    AttachHostObserver(&dev, obs);
  }
  std::string Configure(const std::string& json, bool* result = nullptr) {
    testing::internal::CaptureStdout();
    const bool r = dev.InitSetting(Parse(json));
    if (result) *result = r;
    return testing::internal::GetCapturedStdout();
  }
  std::string Round() {
    testing::internal::CaptureStdout();
    dev.RoundDone();
    return testing::internal::GetCapturedStdout();
  }
  TestDevice dev;
  std::shared_ptr<RecordingObserver> obs = std::make_shared<RecordingObserver>();
};

std::vector<unsigned char> Bytes(const Record& r) {
  return std::vector<unsigned char>(RecordBytes(r), RecordBytes(r) + sizeof(Record));
}

// ---- record layout -------------------------------------------------------------------------

TEST(RecordLayout, IdAndSlotsAreLittleEndianAtTheirOffsets) {
  Record r{};
  SetRecordId(r, 1);
  SetSlot(r, 1, 1.0f);
  SetSlot(r, 7, -5.0f);
  SetSlot(r, 1269, 2.0f);
  const unsigned char* b = RecordBytes(r);
  EXPECT_EQ(std::vector<unsigned char>(b, b + 8),
            (std::vector<unsigned char>{0x01, 0, 0, 0, 0x00, 0x00, 0x80, 0x3F}));
  EXPECT_EQ(std::vector<unsigned char>(b + 28, b + 32),
            (std::vector<unsigned char>{0x00, 0x00, 0xA0, 0xC0}));
  EXPECT_EQ(std::vector<unsigned char>(b + 5076, b + 5080),
            (std::vector<unsigned char>{0x00, 0x00, 0x00, 0x40}));
  for (size_t i = 5080; i < kRecordSize; ++i) EXPECT_EQ(b[i], 0) << "stamp untouched at " << i;
  EXPECT_EQ(Slot(r, 1269), 2.0f);
  EXPECT_EQ(RecordId(r), 1u);
}

TEST(RecordLayout, NewFrameHoldsAllZeroRecordAndModeOne) {
  TestDevice d;
  for (unsigned char c : Bytes(d.data())) ASSERT_EQ(c, 0);
  EXPECT_EQ(d.mode(), 1);
}

TEST(VirtualTable, OperationsSitInTheHostTableOrder) {
  EXPECT_EQ(CheckHostTableOrder<TestDevice>(), "");
}

// ---- round cycle ---------------------------------------------------------------------------

TEST_F(Fixture, RoundCallsTheHostInOrderAndPublishesWhatItSaves) {
  SetSlot(dev.data(), 1, 1.0f);
  dev.raise_signals = 2;
  dev.set_counter(500);
  const auto before = get_ttime(boost::posix_time::second_clock::local_time());
  const std::string out = Round();
  const auto after = get_ttime(boost::posix_time::second_clock::local_time());

  EXPECT_EQ(out, "rvSize is 2\n");
  EXPECT_EQ(dev.counter_at_check, 1);
  const auto ev = obs->Events();
  std::vector<std::string> calls;
  for (const auto& e : ev) calls.push_back(e.call);
  EXPECT_EQ(calls, (std::vector<std::string>{"SendSP", "Reset", "CheckThresholdBool",
                                             "CheckThresholdBool", "DoBatch", "SaveHistory"}));
  EXPECT_EQ(ev[0].kind, 0);
  EXPECT_FALSE(ev[0].flag);
  ASSERT_EQ(ev[0].bytes.size(), kRecordSize);
  EXPECT_EQ(ev[0].bytes, ev[5].bytes) << "published and saved images are identical";
  EXPECT_EQ(ev[0].bytes, Bytes(dev.data()));
  EXPECT_EQ(ev[4].batch_size, 2u);
  const TTime stamp = {ev[0].bytes[5080], ev[0].bytes[5081], ev[0].bytes[5082], ev[0].bytes[5083],
                       ev[0].bytes[5084], ev[0].bytes[5085], ev[0].bytes[5086]};
  EXPECT_TRUE(stamp == before || stamp == after);
  EXPECT_TRUE(dev.valid());
  EXPECT_EQ(dev.rules_size(), 0u) << "batch cleared at the end of the round";
}

TEST_F(Fixture, FirstRoundPublishesZeroRecordWithConfiguredId) {
  Configure("{}");
  Round();
  const auto sent = obs->EventsOf("SendSP");
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(std::vector<unsigned char>(sent[0].bytes.begin(), sent[0].bytes.begin() + 4),
            (std::vector<unsigned char>{7, 0, 0, 0}));
  for (size_t i = 4; i < 5080; ++i) ASSERT_EQ(sent[0].bytes[i], 0) << i;
}

TEST_F(Fixture, RoundCountsRulesTheHostAlreadyHeld) {
  dev.add_host_rule();
  EXPECT_EQ(Round(), "rvSize is 1\n");
  EXPECT_EQ(Round(), "rvSize is 0\n");
}

TEST_F(Fixture, AlarmResultFollowsEvaluationOrBatchAndDoesNotCarryOver) {
  dev.raise_signals = 1;
  Round();
  EXPECT_TRUE(dev.alarm_result()) << "a raise in the evaluation";

  dev.raise_signals = 0;  // S0 stays raised: no change, empty batch
  Round();
  EXPECT_FALSE(dev.alarm_result()) << "the previous round's flag must not carry over";

  obs->ForceBatchResult(1);
  Round();
  EXPECT_TRUE(dev.alarm_result()) << "the batch check answered true";

  obs->ForceBatchResult(0);
  dev.set_alarm_result(true);
  Round();
  EXPECT_FALSE(dev.alarm_result());

  dev.raise_signals = 2;  // S1 is raised now, while the batch check still answers false
  Round();
  EXPECT_TRUE(dev.alarm_result()) << "the evaluation's raise must survive a false batch answer";
}

// The frame's hooks go through the virtual table: a device's own Reset runs inside a round,
// and its own RoundDone runs after a cache restore in either form.
TEST(Hooks, ResetAndRoundDoneOverridesRunAlsoFromACacheRestore) {
  struct Hooked : TestDevice {
    void Reset() override {
      ++resets;
      TestDevice::Reset();
    }
    void RoundDone() override {
      ++rounds;
      TestDevice::RoundDone();
    }
    int resets = 0;
    int rounds = 0;
  } dev;
  Record image{};
  const std::string text(reinterpret_cast<const char*>(&image), sizeof image);
  testing::internal::CaptureStdout();
  static_cast<VDeviceInterface&>(dev).RoundDone();
  EXPECT_EQ(dev.resets, 1);
  EXPECT_EQ(dev.LoadFromCache(RecordBytes(image), static_cast<int>(kRecordSize)), 1);
  EXPECT_EQ(static_cast<VDeviceInterface&>(dev).LoadFromCache(text), 1);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(dev.rounds, 3);
  EXPECT_EQ(dev.resets, 3);
}

// A host service that throws inside the evaluation: the round's rules are dropped with it, a
// cache restore reports the failure in one line instead of passing it to the host, and the
// next round hands the host only its own rules.
TEST_F(Fixture, AThrowingHostServiceLeavesNoRulesForTheNextRound) {
  dev.raise_signals = 2;
  dev.hook = [] { throw std::runtime_error("service down"); };
  testing::internal::CaptureStdout();
  EXPECT_THROW(dev.RoundDone(), std::runtime_error);
  EXPECT_EQ(dev.rules_size(), 0u) << "rules of the failed round were kept";
  Record image{};
  EXPECT_EQ(dev.LoadFromCache(RecordBytes(image), static_cast<int>(kRecordSize)), 1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "LoadFromCache: round failed: service down\n");
  EXPECT_EQ(dev.rules_size(), 0u);
  // Once the device has an address, the line names it.
  dev.InitSetting(Parse(R"({"ip":"10.0.5.21"})"));
  testing::internal::CaptureStdout();
  EXPECT_EQ(dev.LoadFromCache(RecordBytes(image), static_cast<int>(kRecordSize)), 1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "LoadFromCache: round failed (peer 10.0.5.21): service down\n");

  dev.hook = nullptr;
  dev.raise_signals = 3;  // S0 and S1 are known to the host already; only S2 is a change
  EXPECT_EQ(Round(), "rvSize is 1\n");
  const auto batches = obs->EventsOf("DoBatch");
  ASSERT_EQ(batches.size(), 1u);
  EXPECT_EQ(batches[0].batch_size, 1u);
}

TEST_F(Fixture, TwoRoundsWithoutNewSamplesPublishSameValues) {
  SetSlot(dev.data(), 12, 3.5f);
  Round();
  Round();
  const auto sent = obs->EventsOf("SendSP");
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_TRUE(
      std::equal(sent[0].bytes.begin(), sent[0].bytes.begin() + 5080, sent[1].bytes.begin()));
  EXPECT_EQ(dev.checks, 2);
}

// ---- cache restore -------------------------------------------------------------------------

TEST_F(Fixture, CacheImagesOfAnyOtherLengthOrNullAreRefused) {
  std::vector<unsigned char> image(kRecordSize + 1, 0xAB);
  SetSlot(dev.data(), 3, 4.0f);
  const auto snapshot = Bytes(dev.data());
  EXPECT_EQ(dev.LoadFromCache(image.data(), 5086), 0);
  EXPECT_EQ(dev.LoadFromCache(image.data(), 5088), 0);
  EXPECT_EQ(dev.LoadFromCache(image.data(), 0), 0);
  EXPECT_EQ(dev.LoadFromCache(image.data(), -5087), 0);
  EXPECT_EQ(dev.LoadFromCache(nullptr, 5087), 0);
  EXPECT_EQ(dev.LoadFromCache(std::string()), 0);
  EXPECT_EQ(dev.LoadFromCache(std::string(5086, 'x')), 0);
  EXPECT_EQ(Bytes(dev.data()), snapshot);
  EXPECT_FALSE(dev.valid());
  EXPECT_TRUE(obs->Events().empty()) << "no round runs for a refused image";
}

TEST_F(Fixture, CacheImageIsTakenWholeAndRestamped) {
  // Far from UTC, so that a stamp taken in UTC differs from the local one in hour and day.
  const char* saved_tz = std::getenv("TZ");
  const std::string saved = saved_tz ? saved_tz : "";
  setenv("TZ", "<+14>-14", 1);
  tzset();
  Configure("{}");
  Record image{};
  SetRecordId(image, 99);
  SetSlot(image, 1, 1.0f);
  SetSlot(image, 1269, -2.5f);
  std::memset(image.stamp, 0xEE, sizeof image.stamp);
  const auto before = get_ttime(boost::posix_time::second_clock::local_time());
  testing::internal::CaptureStdout();
  EXPECT_EQ(dev.LoadFromCache(RecordBytes(image), static_cast<int>(kRecordSize)), 1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "rvSize is 0\n");
  EXPECT_TRUE(dev.valid());
  const auto sent = obs->EventsOf("SendSP");
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_TRUE(std::equal(sent[0].bytes.begin(), sent[0].bytes.begin() + 5080, RecordBytes(image)))
      << "id from the image kept, values copied";
  const auto now = get_ttime(boost::posix_time::second_clock::local_time());
  const TTime stamp = {sent[0].bytes[5080], sent[0].bytes[5081], sent[0].bytes[5082],
                       sent[0].bytes[5083], sent[0].bytes[5084], sent[0].bytes[5085],
                       sent[0].bytes[5086]};
  EXPECT_TRUE(stamp == before || stamp == now) << "stamp replaced by the current local time";
  EXPECT_EQ(obs->Count("SaveHistory"), 1u);
  if (saved_tz) {
    setenv("TZ", saved.c_str(), 1);
  } else {
    unsetenv("TZ");
  }
  tzset();
}

TEST_F(Fixture, CacheImageThroughTheTextForm) {
  Record image{};
  SetSlot(image, 2, 42.0f);
  const std::string text(reinterpret_cast<const char*>(&image), sizeof image);
  testing::internal::CaptureStdout();
  VDeviceInterface& base = dev;
  EXPECT_EQ(base.LoadFromCache(text), 1);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(Slot(dev.data(), 2), 42.0f);
}

// A cache restore from another thread waits for a running round: the host never sees a
// published image that mixes two rounds.
TEST_F(Fixture, CacheRestoreNeverInterleavesWithARunningRound) {
  std::mutex m;
  std::condition_variable cv;
  bool inside = false, release = false;
  dev.hook = [&] {
    std::unique_lock<std::mutex> l(m);
    inside = true;
    cv.notify_all();
    cv.wait_for(l, std::chrono::seconds(60), [&] { return release; });
  };
  testing::internal::CaptureStdout();
  std::thread round([&] { dev.RoundDone(); });
  {
    std::unique_lock<std::mutex> l(m);
    ASSERT_TRUE(cv.wait_for(l, std::chrono::seconds(60), [&] { return inside; }));
  }
  Record image{};
  SetSlot(image, 5, 5.0f);
  std::atomic<bool> restored{false};
  std::thread restore([&] {
    dev.LoadFromCache(RecordBytes(image), static_cast<int>(kRecordSize));
    restored = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(restored.load()) << "restore ran inside another round";
  {
    std::lock_guard<std::mutex> l(m);
    dev.hook = nullptr;
    release = true;
  }
  cv.notify_all();
  round.join();
  restore.join();
  testing::internal::GetCapturedStdout();
  std::vector<std::string> calls;
  for (const auto& e : obs->Events()) calls.push_back(e.call);
  EXPECT_EQ(calls, (std::vector<std::string>{"SendSP", "Reset", "DoBatch", "SaveHistory", "SendSP",
                                             "Reset", "DoBatch", "SaveHistory"}));
}

// ---- configuration -------------------------------------------------------------------------

TEST_F(Fixture, WithoutAppSettingNothingIsLoggedAndHostResultIsReturned) {
  bool result = false;
  EXPECT_EQ(Configure(R"({"ip":"127.0.0.1"})", &result), "");
  EXPECT_TRUE(result);
  EXPECT_EQ(dev.mode(), 1);
  EXPECT_EQ(RecordId(dev.data()), 7u);
  ASSERT_EQ(obs->Count("InitSetting"), 1u) << "the host base's InitSetting ran";
  EXPECT_EQ(Configure(R"({"address":300})", &result), "");
  EXPECT_FALSE(result) << "the host's result is passed on";
}

TEST_F(Fixture, AppSettingThatIsNotAnObjectIsIgnored) {
  EXPECT_EQ(Configure(R"({"appSetting":"b_mode=2"})"), "");
  EXPECT_EQ(Configure(R"({"appSetting":[2]})"), "");
  EXPECT_EQ(Configure(R"({"appSetting":{"b_mode":null}})"), "");
  EXPECT_EQ(dev.mode(), 1);
}

TEST_F(Fixture, BModeAsNumberOrText) {
  EXPECT_EQ(Configure(R"({"appSetting":{"b_mode":2}})"), "InitSetting 7 b_mode_:2\n");
  EXPECT_EQ(dev.mode(), 2);
  EXPECT_EQ(Configure(R"({"appSetting":{"b_mode":"1"}})"), "InitSetting 7 b_mode_:1\n");
  EXPECT_EQ(Configure(R"({"appSetting":{"b_mode":"2"}})"), "InitSetting 7 b_mode_:2\n");
  EXPECT_EQ(dev.mode(), 2);
  EXPECT_EQ(Configure(R"({"appSetting":{"b_mode":" -4x"}})"), "InitSetting 7 b_mode_:-4\n");
  EXPECT_EQ(Configure(R"({"appSetting":{"b_mode":"abc"}})"), "InitSetting 7 b_mode_:0\n");
  EXPECT_EQ(Configure(R"({"appSetting":{"b_mode":true}})"), "InitSetting 7 b_mode_:0\n");
  // Beyond the int range the number saturates instead of being undefined.
  EXPECT_EQ(Configure(R"({"appSetting":{"b_mode":"99999999999999999999"}})"),
            "InitSetting 7 b_mode_:2147483647\n");
  EXPECT_EQ(Configure(R"({"appSetting":{"b_mode":-3000000000}})"),
            "InitSetting 7 b_mode_:-2147483648\n");
  EXPECT_EQ(Configure(R"({"appSetting":{"b_mode":2.9}})"), "InitSetting 7 b_mode_:2\n");
}

TEST_F(Fixture, NonScalarBModeIsTreatedAsAbsent) {
  Configure(R"({"appSetting":{"b_mode":3}})");
  EXPECT_EQ(Configure(R"({"appSetting":{"b_mode":[2]}})"), "here 1\n");
  EXPECT_EQ(Configure(R"({"appSetting":{"b_mode":{"v":2}}})"), "here 1\n");
  EXPECT_EQ(dev.mode(), 3) << "mode 3 persists and the table step runs again";
}

TEST_F(Fixture, ModeThreeWithoutOrWithEmptyTable) {
  EXPECT_EQ(Configure(R"({"appSetting":{"b_mode":3}})"), "InitSetting 7 b_mode_:3\nhere 1\n");
  EXPECT_EQ(Configure(R"({"appSetting":{"b_mode":3},"thresholdSetting":{}})"),
            "InitSetting 7 b_mode_:3\nhere 1\nhere 2\n");
  EXPECT_EQ(Configure(R"({"appSetting":{"b_mode":3},"thresholdSetting":[{"ID":1}]})"),
            "InitSetting 7 b_mode_:3\nhere 1\n")
      << "an array table is treated as absent";
  EXPECT_EQ(Configure(R"({"appSetting":{"b_mode":3},"thresholdSetting":"x"})"),
            "InitSetting 7 b_mode_:3\nhere 1\nhere 2\n")
      << "a text has no members";
}

TEST_F(Fixture, ModeThreeReadsFullMembers) {
  dev.levels()["k1"] = 4;
  dev.values()["k1"] = 2.5f;
  const std::string out =
      Configure(R"({"appSetting":{"b_mode":3},"thresholdSetting":{"k1":{"SignalName":"温度",)"
                R"("NMAlarmID":"A7","ID":5,"SignalNumber":"9"}}})");
  EXPECT_EQ(out,
            "InitSetting 7 b_mode_:3\nhere 1\nhere 2\nhere k1\nmobile:k1:A7;5;9; level:4 "
            "value:2.5\n");
  EXPECT_EQ(dev.names()["k1"], "温度");
  EXPECT_EQ(dev.alarm_map()["k1"], "A7;5;9;");
}

TEST_F(Fixture, ModeThreeMemberMissingEveryKey) {
  const std::string out =
      Configure(R"({"appSetting":{"b_mode":3},"thresholdSetting":{"k":{},"n":5,"z":{"ID":1}}})");
  EXPECT_EQ(out,
            "InitSetting 7 b_mode_:3\nhere 1\nhere 2\n"
            "here k\n7 NMAlarmID is missing\n7 ID is missing\n7 SignalNumber is missing\n"
            "mobile:k:;;; level:0 value:0\n"
            "here n\n"
            "here z\n7 NMAlarmID is missing\n7 SignalNumber is missing\n"
            "mobile:z:;1;; level:0 value:0\n");
  EXPECT_EQ(dev.names().count("k"), 0u);
  EXPECT_EQ(dev.alarm_map()["k"], ";;;");
  EXPECT_EQ(dev.levels().count("k"), 1u) << "the level table gains a 0 entry";
  EXPECT_EQ(dev.values().count("k"), 1u) << "the value table gains a 0 entry";
  EXPECT_EQ(dev.levels().count("n"), 0u);
}

TEST_F(Fixture, ModeThreeNonScalarFieldsCountAsMissing) {
  const std::string out =
      Configure(R"({"appSetting":{"b_mode":3},"thresholdSetting":{"k":{"SignalName":{"a":1},)"
                R"("NMAlarmID":[1],"ID":null,"SignalNumber":7}}})");
  EXPECT_EQ(out,
            "InitSetting 7 b_mode_:3\nhere 1\nhere 2\nhere k\n7 NMAlarmID is missing\n"
            "7 ID is missing\nmobile:k:;;7; level:0 value:0\n");
  EXPECT_EQ(dev.names().count("k"), 0u);
}

TEST_F(Fixture, LaterModeThreeCallOverwritesOnlyTheKeysItMeets) {
  Configure(R"({"appSetting":{"b_mode":3},"thresholdSetting":{"a":{"ID":1},"b":{"ID":2}}})");
  Configure(R"({"thresholdSetting":{"a":{"ID":3}}})");
  EXPECT_EQ(dev.alarm_map()["a"], ";3;;");
  EXPECT_EQ(dev.alarm_map()["b"], ";2;;");
}

TEST_F(Fixture, RecordIdEqualsDeviceIdInEveryMode) {
  for (const char* m : {"1", "2", "3", "9"}) {
    SetRecordId(dev.data(), 0);
    Configure(std::string(R"({"appSetting":{"b_mode":)") + m + "}}");
    EXPECT_EQ(RecordId(dev.data()), 7u) << m;
  }
}

TEST_F(Fixture, ConfigurationThatIsNotAnObjectDoesNotThrow) {
  EXPECT_NO_THROW(Configure("[1,2,3]"));
  EXPECT_NO_THROW(Configure("\"text\""));
  EXPECT_NO_THROW(Configure("null"));
  EXPECT_EQ(dev.mode(), 1);
}

}  // namespace
