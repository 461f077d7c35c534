#include "sim/dataset.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

namespace pdusim {
namespace {

Oid O(const std::string& text) {
  Oid oid;
  EXPECT_TRUE(ParseOid(text, &oid)) << text;
  return oid;
}

TEST(OidTest, ParsesAndPrints) {
  EXPECT_EQ(O("1.3.6.1"), (Oid{1, 3, 6, 1}));
  EXPECT_EQ(O(".1.3.4294967295"), (Oid{1, 3, 4294967295u}));
  Oid oid;
  for (const char* bad : {"", ".", "1..3", "1.3.", "1.-3", "1.+3", "1.a", "1.4294967296", " 1"}) {
    EXPECT_FALSE(ParseOid(bad, &oid)) << bad;
  }
  EXPECT_EQ(OidToString(Oid{1, 3, 6, 1, 4}), "1.3.6.1.4");
}

TEST(DatasetTest, OrdersNumericallyWithPrefixesFirst) {
  Dataset d;
  d.Set("1.3.10", Value::Integer(3));
  d.Set("1.3.9", Value::Integer(2));
  d.Set("1.3", Value::Integer(1));
  d.Set("1.3.9.0", Value::Integer(4));
  std::vector<std::string> order;
  for (const auto& kv : d) order.push_back(OidToString(kv.first));
  EXPECT_EQ(order, (std::vector<std::string>{"1.3", "1.3.9", "1.3.9.0", "1.3.10"}));
  EXPECT_EQ(d.Next(O("1.3.9"))->first, O("1.3.9.0"));
  EXPECT_EQ(d.Next(O("1.3.9.0.5"))->first, O("1.3.10"));
  EXPECT_TRUE(d.Next(O("1.3.10")) == d.end());
  EXPECT_EQ(d.Find(O("1.3.10"))->number, 3);
  EXPECT_EQ(d.Find(O("1.3.11")), nullptr);
}

TEST(DatasetTest, UnitOidLayout) {
  EXPECT_EQ(OidToString(Dataset::UnitOid(3, 7)), "1.3.6.1.4.1.61333.1.1.4.3.7.0");
}

TEST(DatasetTest, DefaultUnitHasEveryLeafOfEachAddress) {
  Dataset d = Dataset::DefaultUnit({1, 7});
  ASSERT_EQ(d.size(), 2u * 1269u);
  for (unsigned a : {1u, 7u}) {
    for (unsigned leaf = 1; leaf <= 1269; ++leaf) {
      ASSERT_NE(d.Find(Dataset::UnitOid(a, leaf)), nullptr) << a << "." << leaf;
    }
    EXPECT_EQ(*d.Find(Dataset::UnitOid(a, 1)), Value::Integer(1));
    EXPECT_EQ(*d.Find(Dataset::UnitOid(a, 2)), Value::Integer(int32_t(a)));
    EXPECT_EQ(*d.Find(Dataset::UnitOid(a, 3)), Value::Float(220.0f + float(a % 11)));
    EXPECT_EQ(*d.Find(Dataset::UnitOid(a, 15)), Value::Float(50.0f));
    EXPECT_EQ(*d.Find(Dataset::UnitOid(a, 17)), Value::Gauge32(a * 1000));
    int active = 0;
    for (unsigned leaf = 177; leaf <= 604; ++leaf) {
      const Value* v = d.Find(Dataset::UnitOid(a, leaf));
      ASSERT_EQ(v->type, Value::Type::kInteger);
      active += int(v->number);
    }
    EXPECT_EQ(active, 3);
    for (unsigned leaf : Dataset::DefaultActiveAlarms()) {
      EXPECT_EQ(d.Find(Dataset::UnitOid(a, leaf))->number, 1) << leaf;
    }
  }
  EXPECT_EQ(Dataset::DefaultActiveAlarms(), (std::vector<unsigned>{178, 250, 381}));
}

TEST(DatasetTest, FloatValueKeepsBitPattern) {
  Value v = Value::Float(25.0f);
  EXPECT_EQ(v.bytes, std::string("\x9f\x78\x04\x41\xc8\x00\x00", 7));
  EXPECT_TRUE(v.IsFloat());
  EXPECT_EQ(Value::FloatBits(0x7fc12345).FloatBitsValue(), 0x7fc12345u);
  EXPECT_FALSE(Value::Opaque("\x9f\x78").IsFloat());
}

TEST(SnmprecTest, ReadsEveryTagAndSkipsCommentsAndBlankLines) {
  const std::string text =
      "# a comment\n"
      "\n"
      "1.3.6.1.2|2|-42\n"
      "1.3.6.1.3|4|hello|world\n"
      "1.3.6.1.4|4x|414243\n"
      "1.3.6.1.5|64|10.1.2.3\n"
      "1.3.6.1.6|65|4294967295\n"
      "1.3.6.1.7|66|7\n"
      "1.3.6.1.8|67|123456\r\n"
      "1.3.6.1.9|68x|9f780441c80000\n"
      "1.3.6.1.10|68|raw\n"
      ".1.3.6.1.11|64x|7f000001\n";
  Dataset d;
  std::string error;
  ASSERT_TRUE(Dataset::FromSnmprec(text, &d, &error)) << error;
  EXPECT_EQ(d.size(), 10u);
  EXPECT_EQ(*d.Find(O("1.3.6.1.2")), Value::Integer(-42));
  EXPECT_EQ(*d.Find(O("1.3.6.1.3")), Value::OctetString("hello|world"));
  EXPECT_EQ(*d.Find(O("1.3.6.1.4")), Value::OctetString("ABC"));
  EXPECT_EQ(*d.Find(O("1.3.6.1.5")), Value::IpAddress(10, 1, 2, 3));
  EXPECT_EQ(*d.Find(O("1.3.6.1.6")), Value::Counter32(4294967295u));
  EXPECT_EQ(*d.Find(O("1.3.6.1.7")), Value::Gauge32(7));
  EXPECT_EQ(*d.Find(O("1.3.6.1.8")), Value::TimeTicks(123456));
  EXPECT_EQ(*d.Find(O("1.3.6.1.9")), Value::Float(25.0f));
  EXPECT_EQ(*d.Find(O("1.3.6.1.10")), Value::Opaque("raw"));
  EXPECT_EQ(*d.Find(O("1.3.6.1.11")), Value::IpAddress(127, 0, 0, 1));
}

TEST(SnmprecTest, RoundTripsSortedByOid) {
  Dataset d = Dataset::DefaultUnit({2});
  d.Set("1.3.6.1.10", Value::OctetString("line\nbreak"));
  d.Set("1.3.6.1.9", Value::FloatBits(0x7fc12345));    // NaN with a payload
  d.Set("1.3.6.1.9.1", Value::FloatBits(0x80000000));  // -0.0
  d.Set("1.3.6.1.8", Value::TimeTicks(5));
  d.Set("1.3.6.1.7", Value::IpAddress(1, 2, 3, 4));
  d.Set("1.3.6.1.6", Value::Counter32(6));
  std::string text = d.ToSnmprec();
  EXPECT_NE(text.find("1.3.6.1.9|68x|9f78047fc12345\n1.3.6.1.9.1|68x|9f780480000000\n"
                      "1.3.6.1.10|4x|6c696e650a627265616b\n"),
            std::string::npos);
  EXPECT_EQ(text.find("1.3.6.1.4.1.61333.1.1.4.2.1.0|2|1\n1.3.6.1.4.1.61333.1.1.4.2.2.0|2|2\n"),
            text.find("1.3.6.1.4.1.61333"));
  Dataset back;
  std::string error;
  ASSERT_TRUE(Dataset::FromSnmprec(text, &back, &error)) << error;
  ASSERT_EQ(back.size(), d.size());
  EXPECT_TRUE(std::equal(d.begin(), d.end(), back.begin()));
  EXPECT_EQ(back.ToSnmprec(), text);
}

TEST(SnmprecTest, ErrorsNameTheLine) {
  struct Case {
    std::string text;
    std::string error_start;
  };
  const std::string ok = "1.3.6.1.1|2|1\n";
  const Case cases[] = {
      {ok + "# c\n\n1.3.6.1.2|2\n", "line 4: expected OID|TAG|VALUE"},
      {ok + "1.3.x.1|2|1\n", "line 2: bad OID"},
      {ok + "1.3.6.1.2|99|1\n", "line 2: unsupported tag 99"},
      {ok + "1.3.6.1.2|2q|1\n", "line 2: bad tag"},
      {ok + "1.3.6.1.2|2|2147483648\n", "line 2: bad number"},
      {ok + "1.3.6.1.2|66|-1\n", "line 2: bad number"},
      {ok + "1.3.6.1.2|2x|01\n", "line 2: hex is not supported"},
      {ok + "1.3.6.1.2|68x|9f7\n", "line 2: bad hex value"},
      {ok + "1.3.6.1.2|4x|zz\n", "line 2: bad hex value"},
      {ok + "1.3.6.1.2|64|1.2.3\n", "line 2: bad IP address"},
      {ok + "\n\n1.3.6.1.1|2|5\n", "line 4: duplicate OID 1.3.6.1.1"},
  };
  for (const Case& c : cases) {
    Dataset d;
    std::string error;
    EXPECT_FALSE(Dataset::FromSnmprec(c.text, &d, &error)) << c.text;
    EXPECT_EQ(error.rfind(c.error_start, 0), 0u) << "got: " << error;
  }
}

TEST(SnmprecTest, LoadsFileAndReportsMissingOne) {
  std::string path = ::testing::TempDir() + "pdusim_dataset_test.snmprec";
  {
    std::ofstream out(path);
    out << "1.3.6.1.4.1.61333.1.1.4.9.2.0|2|9\nbroken\n";
  }
  Dataset d;
  std::string error;
  EXPECT_FALSE(Dataset::LoadSnmprec(path, &d, &error));
  EXPECT_EQ(error, path + ": line 2: expected OID|TAG|VALUE");
  {
    std::ofstream out(path);
    out << "1.3.6.1.4.1.61333.1.1.4.9.2.0|2|9\n";
  }
  ASSERT_TRUE(Dataset::LoadSnmprec(path, &d, &error)) << error;
  EXPECT_EQ(*d.Find(Dataset::UnitOid(9, 2)), Value::Integer(9));
  std::remove(path.c_str());
  EXPECT_FALSE(Dataset::LoadSnmprec(path, &d, &error));
  EXPECT_EQ(error, path + ": cannot open");
}

}  // namespace
}  // namespace pdusim
