// The unit's peer name at walk time: host names looked up by the walk itself (the test binary
// answers them, see tests/support/resolver_fault.h), answers taken only from the peer's address
// and port (the simulator answering from elsewhere), and the line of a slow walk.
#include <chrono>
#include <future>
#include <memory>
#include <regex>
#include <string>

#include <gtest/gtest.h>

#include "sim/agent.h"
#include "sim/dataset.h"
#include "snmp/usm_lock.h"
#include "tests/support/device_probe.h"
#include "tests/support/recording_observer.h"
#include "tests/support/resolver_fault.h"
#include "tests/support/test_util.h"

namespace {

using pdusim::Dataset;
using pdusim::Faults;

class Peers : public testing::Test {
 protected:
  void SetUp() override {
    v4 = std::make_unique<pdusim::Agent>(Dataset::DefaultUnit({1}));
    v6 = std::make_unique<pdusim::Agent>(Dataset::DefaultUnit({1}));
    std::string error;
    ASSERT_TRUE(v4->Start(0, &error)) << error;
    ASSERT_TRUE(v6->Start(0, &error, pdusim::Agent::Loopback::kIPv6)) << error;
  }
  void TearDown() override { ReleaseHangingLookups(); }
  // A host-driven device for unit 1 at `ip`, with short time-outs unless `app` says otherwise.
  std::unique_ptr<DeviceProbe> MakeDevice(
      const std::string& ip, const std::string& app = R"("timeout_ms":300,"retries":0)") {
    auto d = std::make_unique<DeviceProbe>();
    AttachHostObserver(d.get(), obs);
    d->InitSetting(Parse(R"({"ip":")" + ip + R"(","address":1,"appSetting":{)" + app + "}}"));
    return d;
  }
  std::string Refresh(DeviceProbe& d) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    d.RefreshStatus();
    err = testing::internal::GetCapturedStderr();
    return testing::internal::GetCapturedStdout();
  }

  std::unique_ptr<pdusim::Agent> v4, v6;
  std::shared_ptr<RecordingObserver> obs = std::make_shared<RecordingObserver>();
  std::string err;
};

// A name is looked up at every walk and net-snmp walks the address it gave, in the transport
// net-snmp would have chosen: IPv4 first, IPv6 for a name without an IPv4 address, IPv6 alone after
// udp6:.
TEST_F(Peers, NamesAreLookedUpAtEveryWalkAndWalkedAtTheirAddress) {
  FakeHost("unit-four.test", "127.0.0.1", "");
  FakeHost("unit-six.test", "", "::1");
  FakeHost("unit-both.test", "127.0.0.1", "::1");
  const std::string p4 = std::to_string(v4->port()), p6 = std::to_string(v6->port());
  const struct {
    std::string ip, name;
    pdusim::Agent* agent;
  } cases[] = {{"unit-four.test:" + p4, "unit-four.test", v4.get()},
               {"unit-six.test:" + p6, "unit-six.test", v6.get()},
               {"udp6:unit-both.test:" + p6, "unit-both.test", v6.get()},
               {"UDP:unit-both.test:" + p4, "unit-both.test", v4.get()}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.ip);
    obs = std::make_shared<RecordingObserver>();
    auto d = MakeDevice(c.ip);
    const int before = LookupsOf(c.name);
    c.agent->ResetCounters();
    Refresh(*d);
    EXPECT_EQ(err, "");
    const int per_walk = LookupsOf(c.name) - before;
    EXPECT_GE(per_walk, 1);
    Refresh(*d);
    EXPECT_EQ(LookupsOf(c.name) - before, 2 * per_walk) << "looked up afresh";
    EXPECT_EQ(obs->Count("SendSP"), 2u);
    EXPECT_GE(c.agent->requests(), 2u);
    EXPECT_EQ(Slot(d->data(), 2), 1.0f) << "the unit's own values";
    EXPECT_STREQ(d->session().peername, c.ip.c_str()) << "the template keeps the name";
  }
}

// A name that does not resolve ends the walk as a failed open: one line naming the name, the
// resolver's reason and the peer, no datagram, no round. One that never answers is given the
// time one request may wait; the next walk waits for the same lookup instead of starting one.
TEST_F(Peers, NamesThatDoNotResolveEndTheWalkAsAFailedOpen) {
  FakeHost("gone.test", "", "");
  FakeHost("six-only.test", "", "::1");
  HangingHost("never.test");
  const std::string port = std::to_string(v4->port());
  const struct {
    std::string ip, name, app, reason;
  } cases[] = {
      {"gone.test:" + port, "gone.test", R"("timeout_ms":300,"retries":0)",
       "Name or service not known"},
      {"udp:six-only.test:" + port, "six-only.test", R"("timeout_ms":300,"retries":0)",
       "Name or service not known"},
      {"never.test:" + port, "never.test", R"("timeout_ms":150,"retries":1)",
       "no answer within 300 ms"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.ip);
    obs = std::make_shared<RecordingObserver>();
    auto d = MakeDevice(c.ip, c.app);
    v4->ResetCounters();
    for (int walk = 0; walk < 2; ++walk) {
      EXPECT_EQ(Refresh(*d), "SNMP_MARLUXA_AC_POWER::do_sample\n");
      EXPECT_EQ(err, "snmpbulkwalk: no session opened: host name \"" + c.name +
                         "\" did not resolve: " + c.reason + " (peer " + c.ip + ")\n");
    }
    EXPECT_EQ(obs->Count("SendSP"), 0u);
    EXPECT_EQ(v4->requests(), 0u);
  }
  EXPECT_EQ(LookupsOf("never.test"), 1) << "the second walk waited for the first lookup";
}

// Waiting for a resolver holds nothing another device needs: an SNMPv3 device whose name never
// answers leaves the USM turn free, and destroying it (or any device) returns at once.
TEST_F(Peers, AStopEndsTheWaitForAResolverAndTheUsmTurnStaysFree) {
  HangingHost("never-v3.test");
  auto d = MakeDevice("never-v3.test:161",
                      R"("use_thread":1,"timeout_ms":10000,"snmp_version":3,"username":"u")");
  ASSERT_TRUE(WaitFor([] { return HangingNow() == 1; }));
  StopSignal never;
  auto turn = std::async(std::launch::async, [&never] {
    UsmGuard guard(false);
    return guard.Acquire(never);
  });
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
// the walk names where such answers came from.
TEST_F(Peers, AnswersFromAnotherPortOrAddressAreDroppedAndNamed) {
  const std::string peer = "127.0.0.1:" + std::to_string(v4->port());
  const struct {
    Faults::AnswerFrom from;
    const char* source;
  } cases[] = {{Faults::AnswerFrom::kOtherPort, "127.0.0.1:"},
               {Faults::AnswerFrom::kOtherAddress, "127.0.0.2:"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.source);
    Faults f;
    f.answer_from = c.from;
    v4->SetFaults(f);
    v4->ResetCounters();
    obs = std::make_shared<RecordingObserver>();
    auto d = MakeDevice(peer);
    const std::string out = Refresh(*d);
    EXPECT_EQ(err, "Timeout: No Response from " + peer + "\n");
    const std::regex dropped("snmp walk dropped 1 answer from " + std::string(c.source) +
                             "[0-9]+, not from the peer " + peer + " \\(peer " + peer + "\\)\n");
    EXPECT_TRUE(std::regex_search(out, dropped)) << out;
    EXPECT_EQ(v4->responses(), 1u) << "the agent did answer";
    EXPECT_EQ(Slot(d->data(), 2), 0.0f) << "nothing was taken from the answer";
    EXPECT_EQ(obs->Count("SendSP"), 1u);
  }
}

// A walk that runs long says so now and then, and is read to its end all the same.
TEST_F(Peers, ASlowWalkSaysHowFarItGot) {
  Faults f;
  f.delay_ms = 30;
  v4->SetFaults(f);
  const std::string peer = "127.0.0.1:" + std::to_string(v4->port());
  auto d = MakeDevice(peer, R"("timeout_ms":2000,"retries":0,"max_repetitions":100)");
  d->set_still_running_every(std::chrono::milliseconds(100));
  const std::string out = Refresh(*d);
  const std::regex line(
      "snmp walk still running after [0-9]+ s: at leaf ([0-9]+), ([0-9]+) "
      "exchanges \\(peer " +
      peer + "\\)\n");
  int lines = 0;
  long last_leaf = 0;
  for (std::sregex_iterator it(out.begin(), out.end(), line), end; it != end; ++it, ++lines) {
    const long leaf = std::stol((*it)[1]);
    EXPECT_GT(leaf, last_leaf) << out;
    last_leaf = leaf;
  }
  EXPECT_GE(lines, 2) << out;
  EXPECT_LE(lines, 5) << "at most one line per period: " << out;
  EXPECT_EQ(Slot(d->data(), 1269), 0.0f);
  EXPECT_EQ(Slot(d->data(), 607), 16.0f) << "read to the end";
  EXPECT_EQ(obs->Count("SendSP"), 1u);
}

}  // namespace
