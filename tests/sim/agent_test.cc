// The agent's ordinary protocol behaviour, over real UDP on 127.0.0.1.
#include "sim/agent.h"

#include <gtest/gtest.h>

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "tests/sim/snmp_client.h"

namespace pdusim {
namespace {

using simtest::Client;
using simtest::Result;

class AgentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(agent_.Start(0, &error)) << error;
    ASSERT_NE(agent_.port(), 0);
  }
  Agent agent_{Dataset::DefaultUnit({1, 2})};
};

TEST_F(AgentTest, BulkWithOneNonRepeaterReturnsExactlyOneSuccessor) {
  Client c(agent_.port());
  Result r = c.GetBulk(1, 100, {Dataset::UnitSubtree(1)});
  ASSERT_EQ(r.status, STAT_SUCCESS);
  EXPECT_EQ(r.errstat, 0);
  ASSERT_EQ(r.bindings.size(), 1u);
  EXPECT_EQ(r.bindings[0].oid, Dataset::UnitOid(1, 1));
  EXPECT_EQ(r.bindings[0].type, ASN_INTEGER);
  EXPECT_EQ(r.bindings[0].integer, 1);
}

TEST_F(AgentTest, BulkWithoutNonRepeatersReturnsMaxRepetitionsInOrder) {
  Client c(agent_.port());
  Result r = c.GetBulk(0, 100, {Dataset::UnitSubtree(2)});
  ASSERT_EQ(r.status, STAT_SUCCESS);
  ASSERT_EQ(r.bindings.size(), 100u);
  for (unsigned i = 0; i < 100; ++i) EXPECT_EQ(r.bindings[i].oid, Dataset::UnitOid(2, i + 1));
  EXPECT_EQ(r.bindings[1].integer, 2);  // leaf 2 holds the unit's own address
  EXPECT_EQ(r.bindings[16].type, ASN_GAUGE);
  EXPECT_EQ(r.bindings[16].integer, 2000);
}

TEST_F(AgentTest, BulkInterleavesRepeatersAfterNonRepeaters) {
  Client c(agent_.port());
  Result r = c.GetBulk(
      1, 3, {Dataset::UnitOid(1, 10), Dataset::UnitOid(1, 20), Dataset::UnitOid(2, 1268)});
  ASSERT_EQ(r.status, STAT_SUCCESS);
  std::vector<Oid> got;
  for (const auto& b : r.bindings) got.push_back(b.oid);
  // Repeaters whose view has ended keep answering endOfMibView under the same name.
  std::vector<Oid> want{Dataset::UnitOid(1, 11),   Dataset::UnitOid(1, 21),
                        Dataset::UnitOid(2, 1269), Dataset::UnitOid(1, 22),
                        Dataset::UnitOid(2, 1269), Dataset::UnitOid(1, 23),
                        Dataset::UnitOid(2, 1269)};
  EXPECT_EQ(got, want);
  EXPECT_EQ(r.bindings[2].type, ASN_INTEGER);
  EXPECT_EQ(r.bindings[4].type, SNMP_ENDOFMIBVIEW);
  EXPECT_EQ(r.bindings[6].type, SNMP_ENDOFMIBVIEW);
}

TEST_F(AgentTest, EndOfMibViewPastTheLastObject) {
  Client c(agent_.port());
  Result next = c.GetNext({Dataset::UnitOid(2, 1269)});
  ASSERT_EQ(next.status, STAT_SUCCESS);
  ASSERT_EQ(next.bindings.size(), 1u);
  EXPECT_EQ(next.bindings[0].type, SNMP_ENDOFMIBVIEW);
  EXPECT_EQ(next.bindings[0].oid, Dataset::UnitOid(2, 1269));

  // A lone repeater stops the response once it has reached the end.
  Result bulk = c.GetBulk(0, 50, {Dataset::UnitOid(2, 1267)});
  ASSERT_EQ(bulk.status, STAT_SUCCESS);
  ASSERT_EQ(bulk.bindings.size(), 3u);
  EXPECT_EQ(bulk.bindings[1].oid, Dataset::UnitOid(2, 1269));
  EXPECT_EQ(bulk.bindings[2].type, SNMP_ENDOFMIBVIEW);
}

TEST_F(AgentTest, GetNextCrossesFromOneUnitToTheNext) {
  Client c(agent_.port());
  Result r = c.GetNext({Dataset::UnitOid(1, 1269), Dataset::UnitOid(1, 2)});
  ASSERT_EQ(r.status, STAT_SUCCESS);
  ASSERT_EQ(r.bindings.size(), 2u);
  EXPECT_EQ(r.bindings[0].oid, Dataset::UnitOid(2, 1));
  EXPECT_EQ(r.bindings[1].oid, Dataset::UnitOid(1, 3));
  EXPECT_EQ(r.bindings[1].type, ASN_OPAQUE_FLOAT);
}

TEST_F(AgentTest, GetAnswersValuesAndNoSuchExceptions) {
  Client c(agent_.port());
  Oid instance = Dataset::UnitOid(1, 3);
  instance.back() = 5;
  Result r = c.Get({Dataset::UnitOid(2, 2), instance, Dataset::UnitOid(1, 5000), Oid{1, 2}});
  ASSERT_EQ(r.status, STAT_SUCCESS);
  ASSERT_EQ(r.bindings.size(), 4u);
  EXPECT_EQ(r.bindings[0].integer, 2);
  EXPECT_EQ(r.bindings[1].type, SNMP_NOSUCHINSTANCE);
  EXPECT_EQ(r.bindings[1].oid, instance);
  EXPECT_EQ(r.bindings[2].type, SNMP_NOSUCHOBJECT);
  EXPECT_EQ(r.bindings[3].type, SNMP_NOSUCHOBJECT);
}

TEST_F(AgentTest, ResponseCarriesTheRequestId) {
  std::string wire = simtest::BuildBulkRequest(424242, 1, 5, Dataset::UnitSubtree(1));
  auto got = simtest::RawExchange(agent_.port(), wire, 300);
  ASSERT_EQ(got.size(), 1u);
  Result r;
  ASSERT_TRUE(simtest::ParseResponse(got[0], &r));
  EXPECT_EQ(r.reqid, 424242);
  EXPECT_EQ(r.bindings.size(), 1u);
}

TEST_F(AgentTest, OtherCommunityGetsNoAnswerAndIsNotCounted) {
  Client wrong(agent_.port(), 200, "public");
  Result r = wrong.GetBulk(1, 100, {Dataset::UnitSubtree(1)});
  EXPECT_EQ(r.status, STAT_TIMEOUT);
  EXPECT_EQ(agent_.requests(), 0u);
  EXPECT_EQ(agent_.responses(), 0u);
  Client right(agent_.port());
  EXPECT_EQ(right.GetNext({Dataset::UnitSubtree(1)}).status, STAT_SUCCESS);
  EXPECT_EQ(agent_.requests(), 1u);
  EXPECT_EQ(agent_.responses(), 1u);
  agent_.ResetCounters();
  EXPECT_EQ(agent_.requests(), 0u);
  EXPECT_EQ(agent_.responses(), 0u);
}

TEST_F(AgentTest, GarbageRequestsAreIgnored) {
  auto got = simtest::RawExchange(agent_.port(), std::string("\x30\x03\x02\x01", 4), 150);
  EXPECT_TRUE(got.empty());
  EXPECT_EQ(agent_.requests(), 0u);
  Client c(agent_.port());
  EXPECT_EQ(c.GetNext({Dataset::UnitSubtree(1)}).status, STAT_SUCCESS);
}

TEST_F(AgentTest, OpaqueFloatsReachTheClientBitExact) {
  const uint32_t patterns[] = {0x41c80000, 0x80000000, 0x7fc12345, 0xffc00001,
                               0x7f800000, 0x00000001, 0x42480000};
  Dataset d;
  for (uint32_t i = 0; i < std::size(patterns); ++i) {
    d.Set(Dataset::UnitOid(1, i + 3), Value::FloatBits(patterns[i]));
  }
  agent_.SetDataset(d);
  Client c(agent_.port());
  Result r = c.GetBulk(0, 20, {Dataset::UnitSubtree(1)});
  ASSERT_EQ(r.status, STAT_SUCCESS);
  ASSERT_EQ(r.bindings.size(), std::size(patterns) + 1);  // then endOfMibView
  for (size_t i = 0; i < std::size(patterns); ++i) {
    EXPECT_EQ(r.bindings[i].type, ASN_OPAQUE_FLOAT) << i;
    EXPECT_EQ(r.bindings[i].float_bits, patterns[i]) << std::hex << patterns[i];
  }
}

TEST_F(AgentTest, ServesEveryValueType) {
  Dataset d;
  d.Set("1.3.6.1.1", Value::OctetString(std::string("a\0b", 3)));
  d.Set("1.3.6.1.2", Value::IpAddress(10, 0, 0, 7));
  d.Set("1.3.6.1.3", Value::Counter32(4000000000u));
  d.Set("1.3.6.1.4", Value::TimeTicks(99));
  d.Set("1.3.6.1.5", Value::Opaque("\x01\x02"));
  d.Set("1.3.6.1.6", Value::Integer(-2147483647 - 1));
  agent_.SetDataset(d);
  Client c(agent_.port());
  Result r = c.GetBulk(0, 6, {Oid{1, 3, 6, 1}});
  ASSERT_EQ(r.status, STAT_SUCCESS);
  ASSERT_EQ(r.bindings.size(), 6u);
  EXPECT_EQ(r.bindings[0].type, ASN_OCTET_STR);
  EXPECT_EQ(r.bindings[0].bytes, std::string("a\0b", 3));
  EXPECT_EQ(r.bindings[1].type, ASN_IPADDRESS);
  EXPECT_EQ(r.bindings[1].bytes, std::string("\x0a\x00\x00\x07", 4));
  EXPECT_EQ(r.bindings[2].type, ASN_COUNTER);
  EXPECT_EQ(u_long(r.bindings[2].integer), 4000000000u);
  EXPECT_EQ(r.bindings[3].type, ASN_TIMETICKS);
  EXPECT_EQ(r.bindings[3].integer, 99);
  EXPECT_EQ(r.bindings[4].type, ASN_OPAQUE);
  EXPECT_EQ(r.bindings[4].bytes, "\x01\x02");
  EXPECT_EQ(r.bindings[5].type, ASN_INTEGER);
  EXPECT_EQ(r.bindings[5].integer, -2147483647L - 1);
}

TEST_F(AgentTest, StopIsPromptAndStartFailsOnABusyPort) {
  Agent other(Dataset::DefaultUnit({1}));
  std::string error;
  EXPECT_FALSE(other.Start(agent_.port(), &error));
  EXPECT_NE(error.find("bind 127.0.0.1:" + std::to_string(agent_.port())), std::string::npos)
      << error;
  EXPECT_FALSE(agent_.Start(0, &error));  // already running

  auto t0 = std::chrono::steady_clock::now();
  agent_.Stop();
  auto took = std::chrono::steady_clock::now() - t0;
  EXPECT_LT(took, std::chrono::seconds(60)) << "Stop waited for a request that never came";
  Client c(agent_.port(), 150);
  EXPECT_EQ(c.GetNext({Dataset::UnitSubtree(1)}).status, STAT_TIMEOUT);
  agent_.Stop();  // a second Stop is harmless
}

TEST(AgentSnmpbulkwalkTest, DebianSnmpbulkwalkSeesEveryLeaf) {
  if (access("/usr/bin/snmpbulkwalk", X_OK) != 0) GTEST_SKIP() << "no /usr/bin/snmpbulkwalk";
  Agent agent(Dataset::DefaultUnit({1, 2}));
  std::string error;
  ASSERT_TRUE(agent.Start(0, &error)) << error;
  std::string cmd =
      "MIBS= /usr/bin/snmpbulkwalk -v2c -c Tormelix@2027q -On -t 2 -r 0 -Cn1 -Cr100 "
      "127.0.0.1:" +
      std::to_string(agent.port()) + " 1.3.6.1.4.1.61333.1.1.4.1 2>&1";
  FILE* p = popen(cmd.c_str(), "r");
  ASSERT_NE(p, nullptr);
  int objects = 0;
  std::string last, line;
  char buf[512];
  while (fgets(buf, sizeof buf, p) != nullptr) {
    line = buf;
    // snmpbulkwalk prints its non-repeater binding as it comes, so the walk's end shows as one
    // endOfMibView line after the 1269 objects.
    if (line.rfind(".1.3.6.1.4.1.61333.1.1.4.1.", 0) == 0 &&
        line.find("No more variables") == std::string::npos) {
      ++objects;
      last = line;
    }
  }
  EXPECT_EQ(pclose(p), 0);
  EXPECT_EQ(objects, 1269);
  EXPECT_EQ(last, ".1.3.6.1.4.1.61333.1.1.4.1.1269.0 = INTEGER: 0\n");
  EXPECT_EQ(agent.requests(), 1270u);
}

}  // namespace
}  // namespace pdusim
