// Each fault of the simulated agent, observed over real UDP on 127.0.0.1.
#include "sim/faults.h"

#include <gtest/gtest.h>

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>

#include <chrono>
#include <string>
#include <thread>

#include "sim/agent.h"
#include "tests/sim/snmp_client.h"

namespace pdusim {
namespace {

using simtest::Client;
using simtest::Result;
using Clock = std::chrono::steady_clock;

class FaultsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(agent_.Start(0, &error)) << error;
  }
  void Set(const Faults& f) { agent_.SetFaults(f); }
  // A raw GETBULK 1/100 for unit 1, and what came back.
  std::vector<std::string> Raw(long reqid, int quiet_ms = 200) {
    return simtest::RawExchange(
        agent_.port(), simtest::BuildBulkRequest(reqid, 1, 100, Dataset::UnitSubtree(1)), quiet_ms);
  }
  Agent agent_{Dataset::DefaultUnit({1, 2})};
};

TEST_F(FaultsTest, SilentNeverAnswersButCounts) {
  Faults f;
  f.silent = true;
  Set(f);
  Client c(agent_.port(), 200);
  EXPECT_EQ(c.GetNext({Dataset::UnitSubtree(1)}).status, STAT_TIMEOUT);
  EXPECT_EQ(agent_.requests(), 1u);
  EXPECT_EQ(agent_.responses(), 0u);
}

TEST_F(FaultsTest, StopsAnsweringMidWalkAndComesBack) {
  Faults f;
  f.silent_after = 3;
  Set(f);
  Client c(agent_.port(), 1000);  // answers, then time-outs
  Oid at = Dataset::UnitSubtree(1);
  for (unsigned leaf = 1; leaf <= 3; ++leaf) {
    Result r = c.GetBulk(1, 100, {at});
    ASSERT_EQ(r.status, STAT_SUCCESS) << leaf;
    ASSERT_EQ(r.bindings.size(), 1u);
    EXPECT_EQ(r.bindings[0].oid, Dataset::UnitOid(1, leaf));
    at = r.bindings[0].oid;
  }
  EXPECT_EQ(c.GetBulk(1, 100, {at}).status, STAT_TIMEOUT);
  EXPECT_EQ(c.GetBulk(1, 100, {at}).status, STAT_TIMEOUT);
  Set(Faults{});
  Result r = c.GetBulk(1, 100, {at});
  ASSERT_EQ(r.status, STAT_SUCCESS);
  EXPECT_EQ(r.bindings[0].oid, Dataset::UnitOid(1, 4));
  EXPECT_EQ(agent_.requests(), 6u);
  EXPECT_EQ(agent_.responses(), 4u);
}

TEST_F(FaultsTest, ErrorStatusAtTheNthRequest) {
  Faults f;
  f.error_status = 5;  // genErr
  f.error_at = 2;
  Set(f);
  Client c(agent_.port());
  const Oid root = Dataset::UnitSubtree(1);
  Result first = c.GetBulk(1, 100, {root});
  Result second = c.GetBulk(1, 100, {root});
  Result third = c.GetBulk(1, 100, {root});
  ASSERT_EQ(first.status, STAT_SUCCESS);
  ASSERT_EQ(second.status, STAT_SUCCESS);
  ASSERT_EQ(third.status, STAT_SUCCESS);
  EXPECT_EQ(first.errstat, 0);
  EXPECT_EQ(second.errstat, 5);
  EXPECT_EQ(second.errindex, 1);
  ASSERT_EQ(second.bindings.size(), 1u);  // the request's own binding
  EXPECT_EQ(second.bindings[0].oid, root);
  EXPECT_EQ(third.errstat, 0);

  // Counting restarts with ResetCounters; error_count 0 means every request from error_at on.
  agent_.ResetCounters();
  f.error_status = 1;
  f.error_at = 1;
  f.error_count = 0;
  Set(f);
  EXPECT_EQ(c.GetNext({root}).errstat, 1);
  EXPECT_EQ(c.GetNext({root}).errstat, 1);
}

TEST_F(FaultsTest, RepeatOidAnswersWithTheOidAskedFor) {
  Faults f;
  f.repeat_oid = true;
  Set(f);
  Client c(agent_.port());
  Result next = c.GetNext({Dataset::UnitOid(1, 2)});
  ASSERT_EQ(next.status, STAT_SUCCESS);
  ASSERT_EQ(next.bindings.size(), 1u);
  EXPECT_EQ(next.bindings[0].oid, Dataset::UnitOid(1, 2));
  EXPECT_EQ(next.bindings[0].integer, 1);
  Result bulk = c.GetBulk(1, 100, {Dataset::UnitSubtree(1)});
  ASSERT_EQ(bulk.bindings.size(), 1u);
  EXPECT_EQ(bulk.bindings[0].oid, Dataset::UnitSubtree(1));
  EXPECT_EQ(bulk.bindings[0].type, ASN_INTEGER);
}

TEST_F(FaultsTest, EndlessSubtreeKeepsIncreasingInsideTheUnit) {
  Faults f;
  f.endless_subtree = true;
  Set(f);
  Client c(agent_.port());
  Result r = c.GetBulk(0, 5, {Dataset::UnitOid(1, 1268)});
  ASSERT_EQ(r.status, STAT_SUCCESS);
  ASSERT_EQ(r.bindings.size(), 5u);
  EXPECT_EQ(r.bindings[0].oid, Dataset::UnitOid(1, 1269));
  for (uint32_t n = 1; n <= 4; ++n) {
    Oid want = Dataset::UnitSubtree(1);
    want.insert(want.end(), {1270, n});
    EXPECT_EQ(r.bindings[n].oid, want);
    EXPECT_EQ(r.bindings[n].integer, long(n));
  }
  // A walk that follows it never leaves the subtree (bounded here to 30 exchanges).
  Oid at = r.bindings.back().oid;
  for (int i = 0; i < 30; ++i) {
    Result step = c.GetBulk(1, 100, {at});
    ASSERT_EQ(step.status, STAT_SUCCESS);
    ASSERT_TRUE(OidStartsWith(step.bindings[0].oid, Dataset::UnitSubtree(1)));
    ASSERT_GT(step.bindings[0].oid, at);
    at = step.bindings[0].oid;
  }
  EXPECT_EQ(at.back(), 34u);
  // Without the fault the walk crosses to the next unit.
  Set(Faults{});
  EXPECT_EQ(c.GetNext({Dataset::UnitOid(1, 1269)}).bindings[0].oid, Dataset::UnitOid(2, 1));
}

TEST_F(FaultsTest, ExceptionValueAtALeaf) {
  for (uint8_t tag : {uint8_t(0x80), uint8_t(0x81), uint8_t(0x82)}) {
    Faults f;
    f.exception_leaf = 5;
    f.exception_tag = tag;
    Set(f);
    Client c(agent_.port());
    Result bulk = c.GetBulk(0, 6, {Dataset::UnitSubtree(2)});
    ASSERT_EQ(bulk.status, STAT_SUCCESS);
    ASSERT_EQ(bulk.bindings.size(), 6u);
    EXPECT_EQ(bulk.bindings[3].type, ASN_OPAQUE_FLOAT);
    EXPECT_EQ(bulk.bindings[4].oid, Dataset::UnitOid(2, 5));
    EXPECT_EQ(bulk.bindings[4].type, tag);
    EXPECT_EQ(bulk.bindings[5].oid, Dataset::UnitOid(2, 6));
    EXPECT_EQ(bulk.bindings[5].type, ASN_OPAQUE_FLOAT);
    Result get = c.Get({Dataset::UnitOid(1, 5)});
    ASSERT_EQ(get.bindings.size(), 1u);
    EXPECT_EQ(get.bindings[0].type, tag);
  }
}

TEST_F(FaultsTest, ForeignBindingInTheMiddleOfABulkResponse) {
  Faults f;
  f.foreign_binding = true;
  Set(f);
  Client c(agent_.port());
  const Oid foreign(std::begin(kForeignOid), std::end(kForeignOid));
  Result one = c.GetBulk(1, 100, {Dataset::UnitSubtree(1)});
  ASSERT_EQ(one.status, STAT_SUCCESS);
  ASSERT_EQ(one.bindings.size(), 3u);
  EXPECT_EQ(one.bindings[0].oid, Dataset::UnitOid(1, 1));
  EXPECT_EQ(one.bindings[1].oid, foreign);
  EXPECT_EQ(one.bindings[2].oid, Dataset::UnitOid(1, 2));
  Result many = c.GetBulk(0, 10, {Dataset::UnitSubtree(1)});
  ASSERT_EQ(many.bindings.size(), 11u);
  EXPECT_EQ(many.bindings[1].oid, foreign);
  EXPECT_EQ(many.bindings[10].oid, Dataset::UnitOid(1, 10));
}

TEST_F(FaultsTest, SeveralSuccessorsDespiteOneNonRepeater) {
  Faults f;
  f.bulk_successors = 7;
  Set(f);
  Client c(agent_.port());
  Result r = c.GetBulk(1, 100, {Dataset::UnitOid(1, 10)});
  ASSERT_EQ(r.status, STAT_SUCCESS);
  ASSERT_EQ(r.bindings.size(), 7u);
  for (unsigned i = 0; i < 7; ++i) EXPECT_EQ(r.bindings[i].oid, Dataset::UnitOid(1, 11 + i));
}

TEST_F(FaultsTest, BareFloatTagMakesTheClientDropTheResponse) {
  Faults f;
  f.bare_float_leaf = 1;
  Set(f);
  auto got = Raw(77);
  ASSERT_EQ(got.size(), 1u);
  // The lone successor of the unit's subtree is leaf 1: OID ending 01 00, value 48 04 41 c8 00 00.
  EXPECT_NE(got[0].find(std::string("\x01\x00\x48\x04\x41\xc8\x00\x00", 8)), std::string::npos);
  Client c(agent_.port(), 1000);  // a time-out, then an answer
  EXPECT_EQ(c.GetBulk(1, 100, {Dataset::UnitSubtree(1)}).status, STAT_TIMEOUT);
  Result after = c.GetBulk(1, 100, {Dataset::UnitOid(1, 1)});
  ASSERT_EQ(after.status, STAT_SUCCESS);
  EXPECT_EQ(after.bindings[0].oid, Dataset::UnitOid(1, 2));
}

TEST_F(FaultsTest, GarbageBeforeTheAnswer) {
  Faults f;
  f.garbage = Faults::Garbage::kBefore;
  Set(f);
  auto got = Raw(5);
  ASSERT_EQ(got.size(), 2u);
  Result r;
  EXPECT_FALSE(simtest::ParseResponse(got[0], &r));
  ASSERT_TRUE(simtest::ParseResponse(got[1], &r));
  EXPECT_EQ(r.reqid, 5);
  Client c(agent_.port());
  EXPECT_EQ(c.GetBulk(1, 100, {Dataset::UnitSubtree(1)}).status, STAT_SUCCESS);
}

TEST_F(FaultsTest, GarbageInsteadOfTheAnswer) {
  Faults f;
  f.garbage = Faults::Garbage::kInstead;
  Set(f);
  auto got = Raw(5);
  ASSERT_EQ(got.size(), 1u);
  Result r;
  EXPECT_FALSE(simtest::ParseResponse(got[0], &r));
  Client c(agent_.port(), 200);
  EXPECT_EQ(c.GetBulk(1, 100, {Dataset::UnitSubtree(1)}).status, STAT_TIMEOUT);
}

TEST_F(FaultsTest, WrongRequestId) {
  Faults f;
  f.mangle = Faults::Mangle::kWrongRequestId;
  Set(f);
  auto got = Raw(1234);
  ASSERT_EQ(got.size(), 1u);
  Result r;
  ASSERT_TRUE(simtest::ParseResponse(got[0], &r));
  EXPECT_NE(r.reqid, 1234);
  EXPECT_EQ(r.bindings.size(), 1u);
  Client c(agent_.port(), 200);
  EXPECT_EQ(c.GetBulk(1, 100, {Dataset::UnitSubtree(1)}).status, STAT_TIMEOUT);
}

TEST_F(FaultsTest, TruncatedAnswer) {
  auto whole = Raw(9);
  ASSERT_EQ(whole.size(), 1u);
  Faults f;
  f.mangle = Faults::Mangle::kTruncated;
  Set(f);
  auto cut = Raw(9);
  ASSERT_EQ(cut.size(), 1u);
  EXPECT_LT(cut[0].size(), whole[0].size());
  EXPECT_EQ(cut[0], whole[0].substr(0, cut[0].size()));
  Result r;
  EXPECT_FALSE(simtest::ParseResponse(cut[0], &r));
  Client c(agent_.port(), 200);
  EXPECT_EQ(c.GetBulk(1, 100, {Dataset::UnitSubtree(1)}).status, STAT_TIMEOUT);
}

TEST_F(FaultsTest, DelayPerAnswerAndPromptStopDuringIt) {
  Faults f;
  f.delay_ms = 120;
  Set(f);
  {
    Client c(agent_.port(), 10000);
    auto t0 = Clock::now();
    EXPECT_EQ(c.GetNext({Dataset::UnitSubtree(1)}).status, STAT_SUCCESS);
    EXPECT_GE(Clock::now() - t0, std::chrono::milliseconds(120));
  }
  f.delay_ms = 120000;
  Set(f);
  // A request the agent is busy delaying (two minutes) must not hold up Stop.
  auto got = simtest::RawExchange(agent_.port(),
                                  simtest::BuildBulkRequest(1, 1, 1, Dataset::UnitSubtree(1)), 50);
  EXPECT_TRUE(got.empty());
  for (int i = 0; i < 6000 && agent_.requests() < 2; ++i) {  // 30 s at most
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_EQ(agent_.requests(), 2u);
  auto t0 = Clock::now();
  agent_.Stop();
  EXPECT_LT(Clock::now() - t0, std::chrono::seconds(60));
}

TEST_F(FaultsTest, TooBigAboveTheRepetitionsLimit) {
  Faults f;
  f.max_repetitions_limit = 20;
  Set(f);
  Client c(agent_.port());
  Result big = c.GetBulk(0, 40, {Dataset::UnitSubtree(1)});
  ASSERT_EQ(big.status, STAT_SUCCESS);
  EXPECT_EQ(big.errstat, 1);
  EXPECT_EQ(big.errindex, 0);
  EXPECT_TRUE(big.bindings.empty());
  Result ok = c.GetBulk(0, 20, {Dataset::UnitSubtree(1)});
  ASSERT_EQ(ok.status, STAT_SUCCESS);
  EXPECT_EQ(ok.errstat, 0);
  EXPECT_EQ(ok.bindings.size(), 20u);
}

}  // namespace
}  // namespace pdusim
