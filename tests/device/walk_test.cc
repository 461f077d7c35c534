// The subtree walk against a real SNMP agent (the simulator) on loopback.
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstring>
#include <filesystem>
#include <future>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <json/reader.h>

#include "device/sample_clock.h"
#include "snmp/exchange_failure.h"
#include "snmp/host_resolver.h"
#include "snmp/usm_lock.h"
#include "sim/agent.h"
#include "sim/dataset.h"
#include "sim/scripted_agent.h"
#include "tests/support/device_probe.h"
#include "tests/support/recording_observer.h"
#include "tests/support/resolver_fault.h"
#include "tests/support/silent_peer.h"
#include "tests/support/test_util.h"
#include "tests/tools/record_images.h"

namespace {

using pdusim::Dataset;
using pdusim::Faults;
using pdusim::Value;

pdusim::Oid Leaf(unsigned address, std::initializer_list<uint32_t> tail) {
  pdusim::Oid o = Dataset::UnitSubtree(address);
  o.insert(o.end(), tail);
  return o;
}

// What a walk must leave in a slot that held 0 before, for a served value.
bool ExpectedSlot(const Value& v, uint32_t* bits) {
  if (v.type == Value::Type::kInteger) {
    *bits = Bits(static_cast<float>(static_cast<int32_t>(v.number)));
    return true;
  }
  if (v.IsFloat()) {
    *bits = v.FloatBitsValue();
    return true;
  }
  return false;
}

class Walk : public testing::Test {
 protected:
  void StartAgent(Dataset data) {
    agent = std::make_unique<pdusim::Agent>(std::move(data));
    std::string error;
    ASSERT_TRUE(agent->Start(0, &error)) << error;
  }
  // A host-driven device for unit `address`, configured against the agent.
  std::unique_ptr<DeviceProbe> MakeDevice(unsigned address, unsigned id = 1,
                                          const std::string& app_extra = "") {
    auto d = std::make_unique<DeviceProbe>();
    d->Init(std::weak_ptr<QRMController>(), id, Json::Value());
    AttachHostObserver(d.get(), obs);
    d->InitSetting(Parse(DeviceConfig(agent->port(), address, app_extra)));
    return d;
  }
  // A host-driven device for unit 1 at `ip` (a host name, say).
  std::unique_ptr<DeviceProbe> MakeDeviceAt(const std::string& ip, const std::string& app) {
    auto d = std::make_unique<DeviceProbe>();
    AttachHostObserver(d.get(), obs);
    d->InitSetting(Parse(R"({"ip":")" + ip + R"(","address":1,"appSetting":{)" + app + "}}"));
    return d;
  }
  // One RefreshStatus; returns standard output and keeps standard error in `err`.
  std::string Refresh(DeviceProbe& d) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    d.RefreshStatus();
    err = testing::internal::GetCapturedStderr();
    return testing::internal::GetCapturedStdout();
  }
  uint32_t SlotBits(const DeviceProbe& d, int k) { return Bits(Slot(d.data(), k)); }
  // How the device's own lines name the agent's unit.
  std::string Peer() const { return " (peer 127.0.0.1:" + std::to_string(agent->port()) + ")"; }

  std::unique_ptr<pdusim::Agent> agent;
  std::shared_ptr<RecordingObserver> obs = std::make_shared<RecordingObserver>();
  std::string err;
};

// Floats arrive as opaque floats or, from units that encode them the older way, with the bare
// tag 0x48: either way the whole record is read in one walk.
TEST_F(Walk, DefaultUnitFillsEverySlotAsServed) {
  Dataset data = Dataset::DefaultUnit({1, 2});
  StartAgent(data);
  for (bool bare : {false, true}) {
    SCOPED_TRACE(bare ? "bare 0x48 floats" : "opaque floats");
    Faults f;
    f.bare_floats = bare;
    agent->SetFaults(f);
    agent->ResetCounters();
    obs->Clear();
    auto d = MakeDevice(1);
    const std::string out = Refresh(*d);
    EXPECT_EQ(out.rfind("SNMP_MARLUXA_AC_POWER::do_sample\n", 0), 0u) << out;
    EXPECT_EQ(err, "");
    int checked = 0;
    for (unsigned k = 1; k <= 1269; ++k) {
      const Value* v = data.Find(Dataset::UnitOid(1, k));
      ASSERT_NE(v, nullptr) << k;
      uint32_t bits = 0;
      if (ExpectedSlot(*v, &bits)) {
        EXPECT_EQ(SlotBits(*d, static_cast<int>(k)), bits) << "slot " << k;
        ++checked;
      } else {
        EXPECT_EQ(SlotBits(*d, static_cast<int>(k)), 0u) << "non-numeric leaf " << k << " stored";
      }
    }
    EXPECT_GT(checked, 1260);
    EXPECT_EQ(Slot(d->data(), 2), 1.0f) << "unit 2's values must not leak into unit 1";
    // One exchange per object plus the one that leaves the subtree, each the default request.
    EXPECT_EQ(agent->requests(), 1270u);
    const pdusim::RequestShape last = agent->last_request();
    EXPECT_TRUE(last.bulk);
    EXPECT_EQ(last.nonrepeaters, 1);
    EXPECT_EQ(last.repetitions, 100);
    EXPECT_EQ(last.bindings, 1u);
    EXPECT_EQ(obs->Count("SendSP"), 1u);
    EXPECT_EQ(obs->Count("SaveHistory"), 1u);
  }
}

TEST_F(Walk, ValueConversionAndIgnoredBindings) {
  Dataset data;
  data.Set(Leaf(3, {0, 0}), Value::Integer(55));  // leaf 0: nothing
  data.Set(Leaf(3, {1, 0}), Value::Integer(1));
  data.Set(Leaf(3, {2, 0}), Value::Integer(16777217));  // 2^24 + 1 -> 2^24
  data.Set(Leaf(3, {3, 0}), Value::Integer(INT32_MIN));
  data.Set(Leaf(3, {4, 0}), Value::FloatBits(0x7FC12345));  // NaN with a payload
  data.Set(Leaf(3, {5, 1}), Value::Integer(10));
  data.Set(Leaf(3, {5, 2}), Value::Integer(20));            // same leaf: the later wins
  data.Set(Leaf(3, {6, 0}), Value::FloatBits(0x80000000));  // -0.0
  data.Set(Leaf(3, {7, 0}), Value::Integer(-5));
  data.Set(Leaf(3, {8, 0}), Value::Gauge32(99));
  data.Set(Leaf(3, {9, 0}), Value::OctetString("abc"));
  data.Set(Leaf(3, {10}), Value::Float(1.5f));  // no instance suffix
  data.Set(Leaf(3, {1269, 0}), Value::Float(2.5f));
  data.Set(Leaf(3, {1270, 0}), Value::Integer(77));  // beyond the record: nothing
  data.Set(Leaf(4, {1, 0}), Value::Integer(999));    // the next unit: the walk stops here
  StartAgent(data);
  // Floats as opaque floats, then the bare 0x48 form: the same bits either way.
  for (bool bare : {false, true}) {
    SCOPED_TRACE(bare ? "bare 0x48 floats" : "opaque floats");
    Faults f;
    f.bare_floats = bare;
    agent->SetFaults(f);
    auto d = MakeDevice(3, 6);
    // Slots a walk must not touch keep their earlier content.
    SNMP_MARLUXA_AC_POWER_Data_t image{};
    SetSlot(image, 8, 77.0f);
    SetSlot(image, 9, 66.0f);
    SetSlot(image, 11, 44.0f);
    testing::internal::CaptureStdout();
    ASSERT_EQ(d->LoadFromCache(RecordBytes(image), static_cast<int>(kRecordSize)), 1);
    testing::internal::GetCapturedStdout();
    agent->ResetCounters();
    obs->Clear();

    Refresh(*d);
    EXPECT_EQ(RecordId(d->data()), 0u) << "the cache image's id stays; leaf 0 wrote nothing";
    EXPECT_EQ(Slot(d->data(), 1), 1.0f);
    EXPECT_EQ(Slot(d->data(), 2), 16777216.0f);
    EXPECT_EQ(Slot(d->data(), 3), -2147483648.0f);
    EXPECT_EQ(SlotBits(*d, 4), 0x7FC12345u);
    EXPECT_EQ(Slot(d->data(), 5), 20.0f);
    EXPECT_EQ(SlotBits(*d, 6), 0x80000000u);
    EXPECT_EQ(std::vector<unsigned char>(RecordBytes(d->data()) + 28, RecordBytes(d->data()) + 32),
              (std::vector<unsigned char>{0x00, 0x00, 0xA0, 0xC0}));
    EXPECT_EQ(Slot(d->data(), 8), 77.0f) << "Gauge32 ignored";
    EXPECT_EQ(Slot(d->data(), 9), 66.0f) << "OCTET STRING ignored";
    EXPECT_EQ(Slot(d->data(), 10), 1.5f);
    EXPECT_EQ(Slot(d->data(), 11), 44.0f);
    EXPECT_EQ(Slot(d->data(), 1269), 2.5f);
    // 14 objects inside unit 3, then the exchange that reaches unit 4.
    EXPECT_EQ(agent->requests(), 15u);
    EXPECT_EQ(obs->Count("SendSP"), 1u);
  }
}

TEST_F(Walk, EachRequestContinuesFromTheLastBindingOfTheResponse) {
  StartAgent(Dataset::DefaultUnit({1}));
  Faults f;
  f.bulk_successors = 3;  // three bindings per response although non-repeaters is 1
  agent->SetFaults(f);
  auto d = MakeDevice(1);
  Refresh(*d);
  EXPECT_EQ(Slot(d->data(), 1269), 0.0f);
  EXPECT_EQ(Slot(d->data(), 2), 1.0f);
  EXPECT_EQ(Slot(d->data(), 607), 16.0f);
  // 1269 objects three at a time, then the exchange that reaches the end of the view.
  EXPECT_EQ(agent->requests(), 424u);
}

TEST_F(Walk, EndOfMibViewFirstEndsTheWalkWithOneRound) {
  StartAgent(Dataset::DefaultUnit({1}));
  Faults f;
  f.exception_leaf = 1;
  f.exception_tag = 0x82;
  agent->SetFaults(f);
  auto d = MakeDevice(1);
  Refresh(*d);
  EXPECT_EQ(agent->requests(), 1u);
  EXPECT_EQ(Slot(d->data(), 1), 0.0f);
  EXPECT_EQ(obs->Count("SendSP"), 1u);
}

TEST_F(Walk, ExceptionValuesInTheMiddleEndTheWalkAfterThatResponse) {
  // One binding per response, then three: an exception value in the middle of a response still
  // lets the bindings after it be taken, and then the walk ends.
  const struct {
    uint8_t tag;
    unsigned successors;
  } cases[] = {{0x80, 0}, {0x81, 0}, {0x80, 3}};
  for (const auto& c : cases) {
    SCOPED_TRACE("tag " + std::to_string(c.tag) + ", successors " + std::to_string(c.successors));
    StartAgent(Dataset::DefaultUnit({1}));
    Faults f;
    f.exception_leaf = 5;
    f.exception_tag = c.tag;
    f.bulk_successors = c.successors;
    agent->SetFaults(f);
    auto d = MakeDevice(1);
    Refresh(*d);
    EXPECT_EQ(Slot(d->data(), 4), 229.5f) << "values before the exception are stored";
    EXPECT_EQ(Slot(d->data(), 5), 0.0f);
    if (c.successors == 0) {
      EXPECT_EQ(agent->requests(), 5u);
      EXPECT_EQ(Slot(d->data(), 2), 1.0f);
      EXPECT_EQ(Slot(d->data(), 6), 0.0f);
    } else {
      EXPECT_NE(Slot(d->data(), 6), 0.0f) << "the binding after the exception was dropped";
      EXPECT_EQ(Slot(d->data(), 7), 0.0f) << "the walk went on past the exception's response";
    }
  }
}

TEST_F(Walk, NextAddressFirstStoresNothingAndSaysSo) {
  StartAgent(Dataset::DefaultUnit({4}));
  auto d = MakeDevice(3);
  const std::string out = Refresh(*d);
  EXPECT_NE(out.find("snmp walk found nothing under 1.3.6.1.4.1.61333.1.1.4.3 (peer 127.0.0.1:" +
                     std::to_string(agent->port()) + ")\n"),
            std::string::npos)
      << out;
  EXPECT_EQ(agent->requests(), 1u);
  for (int k = 1; k <= kSlotCount; ++k) ASSERT_EQ(SlotBits(*d, k), 0u) << k;
  EXPECT_EQ(obs->Count("SendSP"), 1u);
}

TEST_F(Walk, InsideOutsideInsideInOneResponseStoresBothInsideValues) {
  StartAgent(Dataset::DefaultUnit({1}));
  Faults f;
  f.foreign_binding = true;
  f.bulk_successors = 2;
  agent->SetFaults(f);
  auto d = MakeDevice(1);
  Refresh(*d);
  EXPECT_EQ(agent->requests(), 1u);
  EXPECT_EQ(Slot(d->data(), 1), 1.0f);
  EXPECT_EQ(Slot(d->data(), 2), 1.0f);
  EXPECT_EQ(obs->Count("SendSP"), 1u);
}

TEST_F(Walk, SilentAgentAfterSomeAnswersTimesOutKeepsValuesAndEndsTheRound) {
  StartAgent(Dataset::DefaultUnit({1}));
  Faults f;
  f.silent_after = 3;
  agent->SetFaults(f);
  auto d = MakeDevice(1, 1, kQuickTimeout);
  SetSlot(d->data(), 500, 9.0f);
  Refresh(*d);
  EXPECT_EQ(err, "Timeout: No Response from 127.0.0.1:" + std::to_string(agent->port()) + "\n");
  EXPECT_EQ(Slot(d->data(), 1), 1.0f);
  EXPECT_EQ(Slot(d->data(), 2), 1.0f);
  EXPECT_EQ(Slot(d->data(), 500), 9.0f) << "slots the walk did not reach keep their values";
  EXPECT_EQ(obs->Count("SendSP"), 1u);
  // The agent comes back: the next walk fills the record.
  agent->SetFaults(Faults());
  Refresh(*d);
  EXPECT_EQ(err, "");
  EXPECT_EQ(Slot(d->data(), 500), 0.0f);
  EXPECT_EQ(obs->Count("SendSP"), 2u);
}

// A unit that answered goes dark and comes back. The dark walk reports the communication state
// as lost (slot 1 = 0: the alarm rises) and keeps every other slot as the unit last gave it; the
// next walk that gets an answer stores leaf 1 again, and the alarm clears.
TEST_F(Walk, DarkUnitRaisesTheCommunicationAlarmUntilItAnswersAgain) {
  StartAgent(Dataset::DefaultUnit({1}));
  auto d = std::make_unique<DeviceProbe>();
  AttachHostObserver(d.get(), obs);
  d->InitSetting(
      Parse(R"({"ip":"127.0.0.1:)" + std::to_string(agent->port()) +
            R"(","address":1,"appSetting":{"b_mode":2,"timeout_ms":1000,"retries":1}})"));
  Refresh(*d);
  Faults dark;
  dark.silent = true;
  agent->SetFaults(dark);
  agent->ResetCounters();
  Refresh(*d);
  EXPECT_EQ(err, "Timeout: No Response from 127.0.0.1:" + std::to_string(agent->port()) + "\n");
  EXPECT_EQ(agent->requests(), 2u) << "one request and one retry";
  agent->SetFaults(Faults());
  Refresh(*d);
  EXPECT_EQ(err, "");

  const auto sent = obs->EventsOf("SendSP");
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(ImageSlot(sent[0].bytes, 1), 1.0f);
  EXPECT_EQ(ImageSlot(sent[1].bytes, 1), 0.0f);
  EXPECT_EQ(ImageSlot(sent[2].bytes, 1), 1.0f);
  for (int k = 2; k <= kSlotCount; ++k) {
    ASSERT_EQ(Bits(ImageSlot(sent[1].bytes, k)), Bits(ImageSlot(sent[0].bytes, k))) << "slot " << k;
  }
  std::vector<bool> communication_alarm;
  for (const HostEvent& e : obs->EventsOf("CheckThresholdBool")) {
    if (e.name == "设备通讯状态") communication_alarm.push_back(e.flag);
  }
  EXPECT_EQ(communication_alarm, (std::vector<bool>{false, true, false}));
}

// The progress bound ends a walk that only waits, also in the middle of the exchange in flight
// (the round publishes what the walk read, and the unit counts as answering); it never ends a
// slow walk that keeps moving on, however long the whole walk takes. A slow walk says how far
// it got, and a slow one on the default request, once, what the fast request would take.
TEST_F(Walk, ProgressBoundCutsAWaitingWalkButNeverASlowOne) {
  Dataset data;  // a small unit, so a slow walk is quick to read: leaves 1 to 20 and 1269
  for (uint32_t k = 1; k <= 20; ++k) data.Set(Leaf(1, {k, 0}), Value::Integer(k));
  data.Set(Leaf(1, {1269, 0}), Value::Integer(1269));
  StartAgent(data);
  const std::string peer = "127.0.0.1:" + std::to_string(agent->port());
  const struct {
    const char* name;
    unsigned silent_after;  // 0: answers every request
    unsigned delay_ms;
    const char* settings;
    float last_slot;  // slot 1269 after the walk
    uint64_t requests;
    long still_running;  // at least so many lines
    bool suggests;       // the fast request
  } cases[] = {
      // 22 answers 150 ms apart: 3.3 s in all, more than twice the bound, each well within it.
      {"slow unit", 0, 150, "", 1269.0f, 22, 2, true},
      {"slow unit, fast request", 0, 150, R"("max_repetitions":10,)", 1269.0f, 3, 0, false},
      {"silent after two answers", 2, 0, "", 0.0f, 3, 0, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Faults f;
    f.silent_after = c.silent_after;
    f.delay_ms = c.delay_ms;
    agent->SetFaults(f);
    agent->ResetCounters();
    obs = std::make_shared<RecordingObserver>();
    auto d = MakeDeviceAt(peer, std::string(c.settings) + R"("timeout_ms":60000,"retries":0)");
    d->set_progress_bound(std::chrono::milliseconds(1500));
    d->set_still_running_every(std::chrono::seconds(1));
    d->set_suggest_fast_request_after(std::chrono::seconds(1));
    const auto start = std::chrono::steady_clock::now();
    const std::string out = Refresh(*d);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const bool cut = c.silent_after != 0;
    // Now and then a long walk says how far it got, and is read to its end all the same.
    const std::regex line(
        "snmp walk still running after [0-9]+ s: at leaf ([0-9]+) of 1269 \\(([0-9]+) %\\), "
        "[0-9]+ exchanges \\(peer " +
        peer + "\\)\n");
    long lines = 0, last_leaf = 0;
    for (std::sregex_iterator it(out.begin(), out.end(), line), end; it != end; ++it, ++lines) {
      EXPECT_GT(std::stol((*it)[1]), last_leaf) << out;
      last_leaf = std::stol((*it)[1]);
      EXPECT_EQ(std::stol((*it)[2]), last_leaf * 100 / 1269) << out;
    }
    EXPECT_GE(lines, c.still_running) << out;
    // Per exchange at least the agent's delay; 1270 exchanges on the default request, 13 with
    // 100 leaves each, at that pace.
    const std::regex fast(
        "snmp walk on the default request: [0-9]+ exchanges in [0-9.]+ s, ([0-9]+) ms each, so "
        "about ([0-9.]+) s for the record's 1269 leaves; appSetting.max_repetitions 100 would "
        "likely take about ([0-9.]+) s where the unit supports it \\(peer " +
        peer + "\\)\n");
    std::smatch m;
    EXPECT_EQ(std::regex_search(out, m, fast), c.suggests) << out;
    if (c.suggests) {
      EXPECT_GE(std::stol(m[1]), 140) << out;
      EXPECT_NEAR(std::stod(m[2]) / std::stod(m[3]), 1270.0 / 13, 8) << out;
      EXPECT_EQ(out.find("snmp walk on the default request", m.position(0) + 1), std::string::npos)
          << "once: " << out;
    }
    EXPECT_LE(lines, seconds + 1) << "at most one line a second: " << out;
    EXPECT_EQ(out.find("snmp walk stopped after 1500 ms without progress (peer " + peer + ")\n") !=
                  std::string::npos,
              cut)
        << out;
    EXPECT_EQ(err, "") << "a walk cut for want of progress did not time out";
    EXPECT_LT(seconds, 30.0) << "the exchange in flight waited for its 60 s time-out";
    EXPECT_EQ(agent->requests(), c.requests);
    EXPECT_EQ(Slot(d->data(), 2), 2.0f);
    EXPECT_EQ(Slot(d->data(), 1269), c.last_slot);
    EXPECT_EQ(obs->Count("SendSP"), 1u);
  }
}

// A host name is looked up at every walk (the test binary answers it, see
// tests/support/resolver_fault.h) and the walk goes to the address it gave, in the transport
// net-snmp would have chosen: IPv4 first, IPv6 for a name without an IPv4 address, one family
// alone after udp: or udp6:. A name that does not resolve ends each walk as a failed open: one
// line naming the name, the resolver's reason and the peer, nothing sent, and the round of a
// unit out of reach (slot 1 = 0). One that never answers is given the time one request may
// wait; the next walk waits for the same lookup. A name that comes back is walked at once.
TEST_F(Walk, HostNamesAreLookedUpAtEveryWalk) {
  StartAgent(Dataset::DefaultUnit({1}));
  pdusim::Agent v6(Dataset::DefaultUnit({1}));
  std::string error;
  ASSERT_TRUE(v6.Start(0, &error, pdusim::Agent::Loopback::kIPv6)) << error;
  FakeHost("unit-four.test", "127.0.0.1", "");
  FakeHost("unit-six.test", "", "::1");
  FakeHost("unit-both.test", "127.0.0.1", "::1");
  FakeHost("gone.test", "", "");
  HangingHost("never.test");
  const std::string p4 = std::to_string(agent->port()), p6 = std::to_string(v6.port());
  const struct {
    std::string ip, name;
    pdusim::Agent* agent;  // null: the name does not resolve, for `reason`
    std::string reason;
  } cases[] = {{"unit-four.test:" + p4, "unit-four.test", agent.get(), ""},
               {"unit-six.test:" + p6, "unit-six.test", &v6, ""},
               {"udp6:unit-both.test:" + p6, "unit-both.test", &v6, ""},
               {"UDP:unit-both.test:" + p4, "unit-both.test", agent.get(), ""},
               {"gone.test:" + p4, "gone.test", nullptr, "Name or service not known"},
               {"udp:unit-six.test:" + p4, "unit-six.test", nullptr, "Name or service not known"},
               {"never.test:" + p4, "never.test", nullptr, "no answer within 300 ms"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.ip);
    obs = std::make_shared<RecordingObserver>();
    auto d = MakeDeviceAt(
        c.ip, c.agent != nullptr ? R"("max_repetitions":100)" : R"("timeout_ms":150,"retries":1)");
    const int before = LookupsOf(c.name);
    agent->ResetCounters();
    v6.ResetCounters();
    int per_walk = 0;
    SetSlot(d->data(), 2, 7.0f);
    for (int walk = 0; walk < 2; ++walk) {
      SetSlot(d->data(), 1, 1.0f);
      const std::string out = Refresh(*d);
      if (walk == 0) per_walk = LookupsOf(c.name) - before;
      if (c.agent != nullptr) {
        EXPECT_EQ(err, "");
        EXPECT_EQ(Slot(d->data(), 2), 1.0f) << "the unit's own values";
      } else {
        EXPECT_EQ(out, "SNMP_MARLUXA_AC_POWER::do_sample\nrvSize is 0\n") << "with its round";
        EXPECT_EQ(err, "snmpbulkwalk: no session opened: host name \"" + c.name +
                           "\" did not resolve: " + c.reason + " (peer " + c.ip + ")\n");
        EXPECT_EQ(Slot(d->data(), 1), 0.0f) << "out of reach: the communication alarm";
        EXPECT_EQ(Slot(d->data(), 2), 7.0f) << "every other slot as it was";
      }
    }
    EXPECT_GE(per_walk, 1);
    EXPECT_EQ(LookupsOf(c.name) - before, c.name == "never.test" ? 1 : 2 * per_walk);
    EXPECT_EQ(obs->Count("SendSP"), 2u) << "a round every walk, reached or not";
    const uint64_t walked = c.agent != nullptr ? c.agent->requests() : 0;
    EXPECT_EQ(agent->requests() + v6.requests(), walked) << "walked at another address";
    EXPECT_EQ(walked, c.agent != nullptr ? 2 * 13u : 0u);
    EXPECT_STREQ(d->session().peername, c.ip.c_str()) << "the template keeps the name";
    if (c.name == "gone.test") {  // the name comes back: the first walk reaches the unit
      FakeHost("gone.test", "127.0.0.1", "");
      Refresh(*d);
      EXPECT_EQ(err, "");
      EXPECT_EQ(Slot(d->data(), 1), 1.0f);
      EXPECT_EQ(obs->Count("SendSP"), 3u);
    }
  }
  ReleaseHangingLookups();
}

// A resolver slower than the walk's bound (answers in 2 s, the bound is 2 x 500 ms): the first
// walk finds no address and publishes the unit as out of reach; the lookup it gave up on is
// kept and taken by the next walk without asking again, and a later walk that is late again
// takes the name's last address, saying so. Every walk after the first reaches the unit.
TEST_F(Walk, ASlowResolverCostsOneRoundNotEveryRound) {
  StartAgent(Dataset::DefaultUnit({1}));
  SlowHost("slow.test", "127.0.0.1", 2000);
  const std::string ip = "slow.test:" + std::to_string(agent->port());
  auto d = MakeDeviceAt(ip, R"("timeout_ms":500,"retries":1,"max_repetitions":100)");
  const std::string late =
      "snmpbulkwalk: no session opened: host name \"slow.test\" did not "
      "resolve: no answer within 1000 ms (peer " +
      ip + ")\n";
  Refresh(*d);
  EXPECT_EQ(err, late);
  EXPECT_EQ(Slot(d->data(), 1), 0.0f);
  ASSERT_TRUE(WaitFor([] { return HangingNow() == 0; })) << "the lookup never ended";
  Refresh(*d);
  EXPECT_EQ(err, "") << "the late answer was thrown away";
  EXPECT_EQ(LookupsOf("slow.test"), 1) << "asked again instead of taking the late answer";
  EXPECT_EQ(Slot(d->data(), 1), 1.0f);
  Refresh(*d);  // asks afresh, is late again: the last address serves
  const std::regex last_good(
      "snmpbulkwalk: host name \"slow\\.test\" did not resolve: no "
      "answer within 1000 ms; using its last address 127\\.0\\.0\\.1, "
      "found [0-9]+ s ago \\(peer slow\\.test:[0-9]+\\)\n");
  EXPECT_TRUE(std::regex_match(err, last_good)) << err;
  EXPECT_EQ(Slot(d->data(), 1), 1.0f);
  EXPECT_EQ(LookupsOf("slow.test"), 2);
  const auto sent = obs->EventsOf("SendSP");
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(ImageSlot(sent[1].bytes, 1), 1.0f);
  EXPECT_EQ(ImageSlot(sent[2].bytes, 1), 1.0f);
  ReleaseHangingLookups();
}

// Devices that come and go while the resolver is dark leave no thread or descriptor behind
// beyond the resolver's few helpers, and one lookup per name serves every walk that asks.
TEST_F(Walk, DevicesComingAndGoingWithADarkResolverLeaveOnlyTheHelpers) {
  auto count = [](const char* dir) {
    return std::distance(std::filesystem::directory_iterator(dir),
                         std::filesystem::directory_iterator());
  };
  // A sanitizer's runtime starts a thread of its own with the process's first thread: let it
  // start before the count, so that only what the devices leave is counted.
  std::thread([] {}).join();
  const auto threads = count("/proc/self/task"), fds = count("/proc/self/fd");
  const char* names[] = {"dark1.test", "dark2.test", "dark3.test",
                         "dark4.test", "dark5.test", "dark6.test"};
  for (const char* name : names) HangingHost(name);
  for (int cycle = 0; cycle < 200; ++cycle) {
    auto d =
        MakeDeviceAt(std::string(names[cycle % 6]) + ":161", R"("timeout_ms":60000,"retries":0)");
    std::thread walk([&d] { d->RefreshStatus(); });
    EXPECT_TRUE(WaitFor([] { return HostResolver::Waiting() == 1; })) << cycle;
    d.reset();  // the stop ends the wait
    walk.join();
  }
  EXPECT_LE(HostResolver::HelperThreads(), HostResolver::kHelperThreads);
  // A joined thread may linger in the task list a moment longer (under emulation): wait.
  EXPECT_TRUE(WaitFor([&] {
    return count("/proc/self/task") <= threads + HostResolver::kHelperThreads;
  })) << count("/proc/self/task")
      << " threads, " << threads << " before";
  EXPECT_LE(count("/proc/self/fd"), fds);
  EXPECT_LE(HangingNow(), HostResolver::kHelperThreads);
  for (const char* name : names) EXPECT_LE(LookupsOf(name), 1) << name;
  ReleaseHangingLookups();
  EXPECT_TRUE(WaitFor([] { return HangingNow() == 0; }));
}

// Waiting for a resolver holds nothing another device needs: an SNMPv3 device whose name never
// answers leaves the USM turn free, and destroying it returns at once, leaving the lookup alone.
TEST_F(Walk, AStopEndsTheWaitForAResolverAndTheUsmTurnStaysFree) {
  HangingHost("never-v3.test");
  auto d = MakeDeviceAt("never-v3.test:161",
                        R"("use_thread":1,"timeout_ms":10000,"snmp_version":3,"username":"u")");
  ASSERT_TRUE(WaitFor([] { return HangingNow() == 1; }));
  StopSignal never;
  auto turn = std::async(std::launch::async, [&never] { return UsmGuard(false).Acquire(never); });
  ASSERT_EQ(turn.wait_for(std::chrono::seconds(10)), std::future_status::ready)
      << "the USM turn is held while a name is looked up";
  EXPECT_TRUE(turn.get());
  auto destroyed = std::async(std::launch::async, [&d] { d.reset(); });
  EXPECT_EQ(destroyed.wait_for(std::chrono::seconds(10)), std::future_status::ready)
      << "the destructor waited for the resolver";
  EXPECT_EQ(HangingNow(), 1) << "the lookup itself is left to finish alone";
  ReleaseHangingLookups();
  destroyed.wait();
  EXPECT_TRUE(WaitFor([] { return HangingNow() == 0; }));
}

// A datagram from another port or address than the peer's is never taken, whatever it holds;
// the walk names where such answers came from, and, for answers from the peer's port at another
// address, the key that takes them. With that key the unit is walked; another port stays
// refused.
TEST_F(Walk, AnswersFromAnotherPortOrAddressAreDroppedAndNamed) {
  StartAgent(Dataset::DefaultUnit({1}));
  const std::string peer = "127.0.0.1:" + std::to_string(agent->port());
  const std::string port = std::to_string(agent->port());
  const std::string key =
      "; 1 came from the peer's port at another address, which "
      "appSetting.answers_from_any_address 1 would take";
  const struct {
    Faults::AnswerFrom from;
    const char* app;
    std::string source;  // regex; empty: the walk completes
    std::string named;   // what the drop line adds
  } cases[] = {
      {Faults::AnswerFrom::kOtherPort, "", "127.0.0.1:[0-9]+", ""},
      {Faults::AnswerFrom::kOtherAddress, "", "127.0.0.2:" + port, key},
      {Faults::AnswerFrom::kOtherPort, R"("answers_from_any_address":1)", "127.0.0.1:[0-9]+", ""},
      {Faults::AnswerFrom::kOtherAddress, R"("answers_from_any_address":"1")", "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.source + c.app);
    Faults f;
    f.answer_from = c.from;
    agent->SetFaults(f);
    agent->ResetCounters();
    obs = std::make_shared<RecordingObserver>();
    auto d = MakeDevice(
        1, 1,
        std::string(kQuickTimeout) + R"(,"max_repetitions":100)" + (*c.app ? "," : "") + c.app);
    const std::string out = Refresh(*d);
    EXPECT_EQ(obs->Count("SendSP"), 1u);
    if (c.source.empty()) {
      EXPECT_EQ(err, "");
      EXPECT_EQ(out.find("dropped"), std::string::npos) << out;
      EXPECT_EQ(agent->requests(), 13u) << "the fast walk of the whole unit";
      EXPECT_EQ(Slot(d->data(), 2), 1.0f);
      continue;
    }
    EXPECT_EQ(err, "Timeout: No Response from " + peer + "\n");
    EXPECT_TRUE(std::regex_search(
        out, std::regex("snmp walk dropped 1 answer from " + c.source + ", not from the peer " +
                        peer + c.named + " \\(peer " + peer + "\\)\n")))
        << out;
    EXPECT_EQ(agent->responses(), 1u) << "the agent did answer";
    EXPECT_EQ(Slot(d->data(), 2), 0.0f) << "nothing was taken from the answer";
  }
}

// An SNMPv3 agent that answers every request with a "not in time window" report carrying the
// request's ids, from the unit's address and port: net-snmp resends the request while it has
// attempts left and then gives it up. The walk ends there, within its time-out and retries and
// with the report's reason, never after the progress bound.
TEST_F(Walk, RepeatedTimeWindowReportsEndTheWalkWithinItsAttempts) {
  const std::string engine("\x80\x00\x1f\x88\x04qrm-test", 13);
  pdusim::ScriptedAgent v3([&engine](const std::string& in) {
    std::vector<pdusim::ScriptedAgent::Datagram> out;
    pdusim::RequestIds r;
    if (pdusim::ReadRequest(reinterpret_cast<const uint8_t*>(in.data()), in.size(), &r) &&
        r.version == 3) {
      out.push_back({pdusim::V3Report(
          r, engine, 1, 100,
          r.engine.empty() ? pdusim::kUnknownEngineIds : pdusim::kNotInTimeWindows)});
    }
    return out;
  });
  ASSERT_TRUE(v3.ok());
  for (int retries : {0, 1}) {
    SCOPED_TRACE(retries);
    obs = std::make_shared<RecordingObserver>();
    const uint64_t before = v3.received();
    auto d = MakeDeviceAt("127.0.0.1:" + std::to_string(v3.port()),
                          R"("snmp_version":3,"username":"u","security_level":"noAuthNoPriv",)"
                          R"("timeout_ms":5000,"retries":)" +
                              std::to_string(retries));
    d->set_progress_bound(std::chrono::seconds(30));
    const auto start = std::chrono::steady_clock::now();
    const std::string out = Refresh(*d);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_LT(seconds, 5.0 * (retries + 1)) << "the walk waited for a request given up";
    EXPECT_EQ(out,
              "SNMP_MARLUXA_AC_POWER::do_sample\nsnmp get error 1\n"
              "snmpbulkwalk: Not in time window\nrvSize is 0\n");
    EXPECT_EQ(err, "");
    EXPECT_EQ(v3.received() - before, 1u + retries + 2) << "discovery, then every attempt";
    EXPECT_EQ(obs->Count("SendSP"), 1u);
  }
}

// The real schedule of a unit that never answers: two attempts of 10 s.
TEST_F(Walk, NeverAnsweringAgentWithDefaultTimeoutTakesTwoAttempts) {
  StartAgent(Dataset::DefaultUnit({1}));
  Faults f;
  f.silent = true;
  agent->SetFaults(f);
  auto d = std::make_unique<DeviceProbe>();
  AttachHostObserver(d.get(), obs);
  d->InitSetting(
      Parse(R"({"ip":"127.0.0.1:)" + std::to_string(agent->port()) + R"(","address":1})"));
  const auto start = std::chrono::steady_clock::now();
  Refresh(*d);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(err, "Timeout: No Response from 127.0.0.1:" + std::to_string(agent->port()) + "\n");
  EXPECT_EQ(agent->requests(), 2u) << "one request, one retry";
  EXPECT_GE(seconds, 19.0);
  EXPECT_EQ(obs->Count("SendSP"), 1u);
}

TEST_F(Walk, ErrorStatusEndsTheWalkWithARound) {
  StartAgent(Dataset::DefaultUnit({1}));
  Faults f;
  f.error_status = 5;
  f.error_at = 3;
  f.error_count = 0;  // every request from the third on
  agent->SetFaults(f);
  auto d = MakeDevice(1);
  const std::string out = Refresh(*d);
  EXPECT_NE(out.find("snmp response error 5" + Peer() + "\n"), std::string::npos) << out;
  EXPECT_EQ(agent->requests(), 3u) << "no request loop on an error response";
  EXPECT_EQ(Slot(d->data(), 2), 1.0f);
  EXPECT_EQ(obs->Count("SendSP"), 1u);
}

TEST_F(Walk, RepeatedOidEndsTheWalkAndSaysWhere) {
  StartAgent(Dataset::DefaultUnit({1}));
  Faults f;
  f.repeat_oid = true;
  agent->SetFaults(f);
  auto d = MakeDevice(1);
  const std::string out = Refresh(*d);
  EXPECT_NE(out.find("snmp walk stopped at OID 1.3.6.1.4.1.61333.1.1.4.1: it does not increase "
                     "(peer 127.0.0.1:" +
                     std::to_string(agent->port()) + ")\n"),
            std::string::npos)
      << out;
  EXPECT_EQ(agent->requests(), 1u);
  EXPECT_EQ(obs->Count("SendSP"), 1u);
}

TEST_F(Walk, EndlessSubtreeIsCutAtTheExchangeBound) {
  Dataset data;
  data.Set(Leaf(1, {1, 0}), Value::Integer(1));
  StartAgent(data);
  Faults f;
  f.endless_subtree = true;
  agent->SetFaults(f);
  auto d = MakeDevice(1);
  const std::string out = Refresh(*d);
  EXPECT_NE(out.find("snmp walk stopped after 5076 exchanges" + Peer() + "\n"), std::string::npos)
      << out.substr(0, 2000);
  EXPECT_EQ(agent->requests(), static_cast<uint64_t>(SNMP_MARLUXA_AC_POWER::kMaxExchanges));
  EXPECT_EQ(Slot(d->data(), 1), 1.0f);
  EXPECT_EQ(obs->Count("SendSP"), 1u);
}

// One leaf of an otherwise current unit sent with the bare tag 0x48: stored, and the walk goes on
// (net-snmp alone drops such a response, and the walk would end at the time-out).
TEST_F(Walk, BareFloatTagIsStoredAndTheWalkGoesOn) {
  StartAgent(Dataset::DefaultUnit({1}));
  Faults f;
  f.bare_float_leaf = 4;
  agent->SetFaults(f);
  auto d = MakeDevice(1);
  Refresh(*d);
  EXPECT_EQ(err, "");
  EXPECT_EQ(Slot(d->data(), 3), 221.0f);
  EXPECT_EQ(Slot(d->data(), 4), 25.0f);
  EXPECT_EQ(Slot(d->data(), 5), 228.5f);
  EXPECT_EQ(Slot(d->data(), 607), 16.0f);
  EXPECT_EQ(agent->requests(), 1270u);
  EXPECT_EQ(obs->Count("SendSP"), 1u);
}

TEST_F(Walk, GarbageWrongIdAndTruncatedDatagramsAreIgnored) {
  StartAgent(Dataset::DefaultUnit({1}));
  Faults f;
  f.garbage = Faults::Garbage::kBefore;
  agent->SetFaults(f);
  auto d = MakeDevice(1, 1, kQuickTimeout);
  Refresh(*d);
  EXPECT_EQ(err, "") << "garbage before each answer does not disturb the walk";
  EXPECT_EQ(Slot(d->data(), 2), 1.0f);
  EXPECT_EQ(agent->requests(), 1270u);

  for (auto mangle : {Faults::Mangle::kWrongRequestId, Faults::Mangle::kTruncated}) {
    Faults g;
    g.mangle = mangle;
    agent->SetFaults(g);
    agent->ResetCounters();
    Refresh(*d);
    EXPECT_NE(err.find("Timeout: No Response from"), std::string::npos) << err;
    EXPECT_EQ(agent->requests(), 1u);
  }
  Faults g;
  g.garbage = Faults::Garbage::kInstead;
  agent->SetFaults(g);
  Refresh(*d);
  EXPECT_NE(err.find("Timeout: No Response from"), std::string::npos) << err;
  EXPECT_EQ(obs->Count("SendSP"), 4u);
}

// An SNMPv3 device facing a unit that takes SNMPv2c only (the simulator ignores SNMPv3): the
// walk times out on discovery, and one line says the unit answers SNMPv2c but not SNMPv3. A unit
// that answers neither gets no such line. Both rounds say the unit is out of reach.
TEST_F(Walk, Snmpv3DeviceFacingAnSnmpv2cOnlyUnitSaysSo) {
  StartAgent(Dataset::DefaultUnit({1}));
  SilentUdpPeer silent;
  ASSERT_TRUE(silent.ok());
  for (const auto& [ip, v2c] :
       {std::pair{Peer().substr(7, Peer().size() - 8), true}, std::pair{silent.peer(), false}}) {
    SCOPED_TRACE(ip);
    auto d = MakeDeviceAt(ip, R"("timeout_ms":300,"retries":0,"snmp_version":3,"username":"u")");
    SetSlot(d->data(), 1, 1.0f);
    const std::string out = Refresh(*d);
    const std::string line =
        "snmp walk: the unit answers SNMPv2c but not SNMPv3 (no answer to engine discovery): set "
        "appSetting.snmp_version 2, or turn SNMPv3 on at the unit (peer " +
        ip + ")\n";
    EXPECT_EQ(out.find(line) != std::string::npos, v2c) << out;
    EXPECT_EQ(err, "Timeout: No Response from " + ip + "\n");
    EXPECT_EQ(Slot(d->data(), 1), 0.0f);
  }
  EXPECT_EQ(agent->requests(), 1u) << "the one SNMPv2c probe";
}

TEST_F(Walk, EmptyTargetPrintsTheBannerOnly) {
  StartAgent(Dataset::DefaultUnit({1}));
  DeviceProbe d;
  AttachHostObserver(&d, obs);
  d.InitSetting(Parse(R"({"address":1})"));
  EXPECT_EQ(Refresh(d), "SNMP_MARLUXA_AC_POWER::do_sample\n");
  EXPECT_EQ(obs->Count("SendSP"), 0u);
}

TEST_F(Walk, WrongCommunityTimesOut) {
  StartAgent(Dataset::DefaultUnit({1}));
  auto d = MakeDevice(1, 1, std::string(R"("community":"public",)") + kQuickTimeout);
  Refresh(*d);
  EXPECT_NE(err.find("Timeout: No Response from"), std::string::npos);
  EXPECT_EQ(Slot(d->data(), 1), 0.0f);
}

TEST_F(Walk, FastWalkTakesManySuccessorsPerExchange) {
  StartAgent(Dataset::DefaultUnit({1, 2}));
  auto d = MakeDevice(1, 1, R"("max_repetitions":100)");
  Refresh(*d);
  EXPECT_EQ(Slot(d->data(), 2), 1.0f);
  EXPECT_EQ(Slot(d->data(), 607), 16.0f);
  EXPECT_LE(agent->requests(), 14u);
  EXPECT_GE(agent->requests(), 13u);
}

TEST_F(Walk, FastWalkHalvesMaxRepetitionsOnTooBig) {
  StartAgent(Dataset::DefaultUnit({1}));
  Faults f;
  f.max_repetitions_limit = 30;
  agent->SetFaults(f);
  auto d = MakeDevice(1, 1, R"("max_repetitions":100)");
  const std::string out = Refresh(*d);
  EXPECT_NE(out.find("snmp tooBig: max_repetitions reduced to 50" + Peer() + "\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("snmp tooBig: max_repetitions reduced to 25" + Peer() + "\n"),
            std::string::npos)
      << out;
  EXPECT_EQ(Slot(d->data(), 607), 16.0f);
  EXPECT_EQ(Slot(d->data(), 1), 1.0f);
  // Two refused requests, then 25 successors per exchange.
  EXPECT_EQ(agent->requests(), 2u + 1269u / 25u + 1u);
}

// The response handling on its own, driven through a subclass without a network.
class ResponseProbe : public DeviceProbe {
 public:
  using SNMP_MARLUXA_AC_POWER::TakeResponse;
  void StartWalk() {
    std::memcpy(m_oid, m_root, m_rootLength * sizeof(oid));
    m_oidLength = m_rootLength;
  }
  std::vector<oid> next_oid() const { return std::vector<oid>(m_oid, m_oid + m_oidLength); }
};

// A last binding longer than any OID the next request could carry ends the walk; the value is
// still stored and the continuation OID stays where it was (it used to be copied past the end
// of its buffer).
TEST(WalkResponse, LastBindingLongerThanAnOidBufferEndsTheWalk) {
  ResponseProbe d;
  d.Init(std::weak_ptr<QRMController>(), 1, Json::Value());
  d.InitSetting(Parse(R"({"address":1})"));
  d.StartWalk();
  const std::vector<oid> start = d.next_oid();
  ASSERT_EQ(start.size(), 11u);

  std::vector<oid> name = d.root();
  name.push_back(1);
  name.resize(MAX_OID_LEN + 40, 7);  // root.1.7.7...
  const long five = 5;
  netsnmp_pdu response{};
  response.command = SNMP_MSG_RESPONSE;
  ASSERT_NE(snmp_varlist_add_variable(&response.variables, name.data(), name.size(), ASN_INTEGER,
                                      &five, sizeof five),
            nullptr);
  EXPECT_FALSE(d.TakeResponse(response));
  EXPECT_EQ(Slot(d.data(), 1), 5.0f);
  EXPECT_EQ(d.next_oid(), start);
  EXPECT_EQ(d.root().size(), 11u);
  snmp_free_varbind(response.variables);

  // The longest OID net-snmp decodes still moves the walk on.
  name.resize(MAX_OID_LEN);
  response.variables = nullptr;
  ASSERT_NE(snmp_varlist_add_variable(&response.variables, name.data(), name.size(), ASN_INTEGER,
                                      &five, sizeof five),
            nullptr);
  EXPECT_TRUE(d.TakeResponse(response));
  EXPECT_EQ(d.next_oid(), name);
  snmp_free_varbind(response.variables);
}

// A successful exchange whose response has error status 0 but no bindings ends the walk, like
// an error response: sending the same request again would loop without pause.
TEST(WalkResponse, ResponseWithoutBindingsEndsTheWalk) {
  ResponseProbe d;
  d.InitSetting(Parse(R"({"address":1})"));
  d.StartWalk();
  netsnmp_pdu response{};
  response.command = SNMP_MSG_RESPONSE;
  testing::internal::CaptureStdout();
  EXPECT_FALSE(d.TakeResponse(response));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "snmp response error 0\n");
  response.errstat = SNMP_ERR_GENERR;
  testing::internal::CaptureStdout();
  EXPECT_FALSE(d.TakeResponse(response));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "snmp response error 5\n");
}

// The reason line after a failed exchange, from a report PDU (as the asynchronous calls hand it
// over) or from the session: SNMPv3 only, and never for a time-out.
TEST(WalkResponse, FailedSnmpv3ExchangeReasonFromAReportOrTheSession) {
  EnsureNetSnmpReady();
  auto open = [](long version) {
    netsnmp_session s;
    snmp_sess_init(&s);
    s.version = version;
    s.peername = const_cast<char*>("127.0.0.1:9");  // opening sends nothing
    char user[] = "u";
    s.securityName = user;
    s.securityNameLen = 1;
    s.securityModel = USM_SEC_MODEL_NUMBER;
    s.securityLevel = SNMP_SEC_LEVEL_NOAUTH;
    return snmp_sess_open(&s);
  };
  void* v3 = open(SNMP_VERSION_3);
  void* v2c = open(SNMP_VERSION_2c);
  ASSERT_NE(v3, nullptr);
  ASSERT_NE(v2c, nullptr);
  netsnmp_pdu* report = snmp_pdu_create(SNMP_MSG_REPORT);
  const oid wrong_digests[] = {1, 3, 6, 1, 6, 3, 15, 1, 1, 5, 0};  // usmStatsWrongDigests.0
  snmp_add_null_var(report, wrong_digests, 11);
  auto reason = [](void* session, int status, const netsnmp_pdu* pdu) {
    // What an earlier failure leaves in net-snmp's process-wide detail is not this reason's.
    snmp_set_detail("bad parse of community");
    testing::internal::CaptureStdout();
    ReportExchangeFailureReason(session, status, pdu);
    return testing::internal::GetCapturedStdout();
  };
  EXPECT_EQ(reason(v3, STAT_ERROR, report),
            "snmpbulkwalk: Authentication failure (incorrect password, community or key)\n");
  EXPECT_EQ(reason(v2c, STAT_ERROR, report), "") << "SNMPv2c lines stay as they are";
  snmp_sess_session(v3)->s_snmp_errno = SNMPERR_UNKNOWN_USER_NAME;
  EXPECT_EQ(reason(v3, STAT_ERROR, nullptr), "snmpbulkwalk: Unknown user name\n");
  EXPECT_EQ(reason(v3, STAT_SUCCESS, nullptr), "") << "no response, but no reason either";
  snmp_sess_session(v3)->s_snmp_errno = SNMPERR_TIMEOUT;
  EXPECT_EQ(reason(v3, STAT_ERROR, nullptr), "") << "the time-out line says it all";
  snmp_free_pdu(report);
  snmp_sess_close(v3);
  snmp_sess_close(v2c);
}

// The stamp of every request: the local time in whole seconds as second_clock gives it, in
// zones east and west of UTC and with daylight saving time; the next second converted afresh.
TEST(SampleClock, GivesSecondClocksLocalTime) {
  using boost::posix_time::second_clock;
  for (const char* zone :
       {"UTC0", "CST-8", "EST5EDT,M3.2.0,M11.1.0", "NZST-12NZDT,M9.5.0,M4.1.0/3"}) {
    SCOPED_TRACE(zone);
    const ScopedTimeZone scoped(zone);
    SampleClock clock;
    bool compared = false;
    for (int i = 0; i < 5 && !compared; ++i) {  // again when a second turned in between
      const auto before = second_clock::local_time(), first = clock.Now(), again = clock.Now();
      if (second_clock::local_time() != before) continue;
      EXPECT_EQ(first, before);
      EXPECT_EQ(again, before);
      compared = true;
    }
    EXPECT_TRUE(compared);
  }
  SampleClock clock;  // the next second waited for in steps of 10 ms, at most 3 s
  const auto first = clock.Now();
  for (int i = 0; i < 300 && second_clock::local_time() == first; ++i) usleep(10 * 1000);
  const auto next = clock.Now();
  EXPECT_GT(next, first);
  EXPECT_LE(next, second_clock::local_time());
}

}  // namespace
