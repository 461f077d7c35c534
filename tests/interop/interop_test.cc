// The device against SNMP agents written by others: net-snmp's snmpd and snmpsim's snmpsimd.
//
// Each test serves one unit from a data set, lets a host-driven device walk it once, runs
// net-snmp's own snmpbulkwalk against the same agent with the same request shape
// (non-repeaters 1, max-repetitions 100: one object per exchange), and checks, object by object,
// that the device's published record holds what snmpbulkwalk shows. Both clients reach the agent
// through a counting relay, so their exchange counts are compared as well.
#include <unistd.h>

#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <gtest/gtest.h>
#include <json/reader.h>

#include "sim/dataset.h"
#include "tests/interop/interop_support.h"
#include "tests/support/device_probe.h"
#include "tests/support/recording_observer.h"
#include "tests/support/test_util.h"

namespace {

using interop::ExternalAgent;
using interop::WalkLine;
using pdusim::Dataset;
using pdusim::Value;

constexpr unsigned kUnit = 5;  // the unit every test walks
constexpr unsigned kDeviceId = 41;
const char kSnmpbulkwalk[] = "/usr/bin/snmpbulkwalk";
const char kSnmpget[] = "/usr/bin/snmpget";

float FromBits(uint32_t b) {
  float f;
  std::memcpy(&f, &b, sizeof f);
  return f;
}

float SlotOf(const std::vector<unsigned char>& image, int k) {
  float v;
  std::memcpy(&v, image.data() + SlotOffset(k), sizeof v);
  return v;
}

std::string Dotted(const pdusim::Oid& oid) { return "." + pdusim::OidToString(oid); }

// Distinct values of both signs per leaf; every fifth leaf is large enough (above 2^24) that
// its float is a rounded value.
int32_t Pattern(unsigned leaf) {
  const int64_t step = (leaf % 5 == 0) ? 104729 : 7919;
  const int64_t v = static_cast<int64_t>(leaf) * step + 3;
  return static_cast<int32_t>(leaf % 2 != 0 ? -v : v);
}

// INTEGER leaves that test the INTEGER-to-float conversion at its edges.
void SetIntegerEdges(Dataset* d) {
  d->Set(Dataset::UnitOid(kUnit, 1), Value::Integer(1));
  d->Set(Dataset::UnitOid(kUnit, 2), Value::Integer(kUnit));
  d->Set(Dataset::UnitOid(kUnit, 20), Value::Integer(16777217));   // 2^24 + 1: rounds to 2^24
  d->Set(Dataset::UnitOid(kUnit, 21), Value::Integer(INT32_MIN));  // exact in float
  d->Set(Dataset::UnitOid(kUnit, 22), Value::Integer(INT32_MAX));  // rounds up to 2^31
  d->Set(Dataset::UnitOid(kUnit, 23), Value::Integer(-16777217));
  d->Set(Dataset::UnitOid(kUnit, 24), Value::Integer(-1));
  d->Set(Dataset::UnitOid(kUnit, 25), Value::Integer(0));
  d->Set(Dataset::UnitOid(kUnit, 26), Value::Integer(123456789));  // rounds to 123456792
  d->Set(Dataset::UnitOid(kUnit, 1269), Value::Integer(INT32_MIN + 1));
}

// The unit for snmpd, which serves no floats: INTEGER leaves, plus three of other types that a
// walk shows and the device stores nowhere. The next unit follows, so the walk must stop there.
Dataset SnmpdUnit() {
  Dataset d;
  for (unsigned leaf = 1; leaf <= 1269; ++leaf) {
    d.Set(Dataset::UnitOid(kUnit, leaf), Value::Integer(Pattern(leaf)));
  }
  SetIntegerEdges(&d);
  d.Set(Dataset::UnitOid(kUnit, 17), Value::Gauge32(4000000000u));
  d.Set(Dataset::UnitOid(kUnit, 18), Value::OctetString("abc"));
  d.Set(Dataset::UnitOid(kUnit, 19), Value::Counter32(77));
  for (unsigned leaf = 1; leaf <= 3; ++leaf) {
    d.Set(Dataset::UnitOid(kUnit + 1, leaf), Value::Integer(999000 + static_cast<int32_t>(leaf)));
  }
  return d;
}

// The unit for snmpsim: the default unit (its floats, alarm flags and Gauge32) with INTEGER
// edges, float edges and a few objects of types the device ignores.
Dataset SnmpsimUnit() {
  Dataset d = Dataset::DefaultUnit({kUnit, kUnit + 1});
  SetIntegerEdges(&d);
  // snmpsim encodes -2^31 in five bytes (FF 80 00 00 00) instead of the minimal four, and
  // net-snmp built with a 32-bit long (the armhf target) drops such a response as a whole.
  // snmpd and pdusim encode it minimally; here the edge is served one step inside the range.
  d.Set(Dataset::UnitOid(kUnit, 21), Value::Integer(INT32_MIN + 2));
  const uint32_t float_bits[] = {
      0x7FC12345u,  // quiet NaN with a payload
      0xFFC00000u,  // negative NaN
      0x80000000u,  // -0.0
      0x3DCCCCCDu,  // 0.1f
      0x00000001u,  // smallest subnormal
      0x7F7FFFFFu,  // FLT_MAX
      0x7F800000u,  // +inf
      0xFF800000u,  // -inf
      0xC2F6E979u,  // -123.456f
      0x33D6BF95u,  // 1e-7f: prints as 0.000000
      0xB3D6BF95u,  // -1e-7f: prints as -0.000000
      0x4B800001u,  // 16777218.0f
  };
  unsigned leaf = 30;
  for (uint32_t bits : float_bits) d.Set(Dataset::UnitOid(kUnit, leaf++), Value::FloatBits(bits));
  d.Set(Dataset::UnitOid(kUnit, 50), Value::OctetString("hello"));
  d.Set(Dataset::UnitOid(kUnit, 51), Value::Counter32(4294967295u));
  d.Set(Dataset::UnitOid(kUnit, 52), Value::TimeTicks(12345));
  d.Set(Dataset::UnitOid(kUnit, 53), Value::Opaque(std::string("\x01\x02", 2)));  // not a float
  return d;
}

// snmpd "override" lines for every object of `d`; snmpd has no float type.
std::string SnmpdOverrides(const Dataset& d) {
  std::string out;
  for (const auto& [oid, v] : d) {
    out += "override " + Dotted(oid) + " ";
    switch (v.type) {
      case Value::Type::kInteger:
        out += "integer " + std::to_string(v.number);
        break;
      case Value::Type::kGauge32:
        out += "uinteger " + std::to_string(v.number);
        break;
      case Value::Type::kCounter32:
        out += "counter " + std::to_string(v.number);
        break;
      case Value::Type::kOctetString:
        out += "octet_str \"" + v.bytes + "\"";
        break;
      default:
        ADD_FAILURE() << "snmpd cannot serve the type of " << Dotted(oid);
    }
    out += "\n";
  }
  return out;
}

size_t ObjectsOfUnit(const Dataset& d, unsigned address) {
  size_t n = 0;
  for (const auto& entry : d)
    n += pdusim::OidStartsWith(entry.first, Dataset::UnitSubtree(address));
  return n;
}

class Interop : public testing::Test {
 protected:
  void SetUp() override {
    for (const char* tool : {kSnmpbulkwalk, kSnmpget}) {
      if (!interop::Executable(tool)) {
        GTEST_SKIP() << tool << " is missing: install the Debian package snmp";
      }
    }
    if (!interop::Executable("/usr/bin/timeout")) GTEST_SKIP() << "/usr/bin/timeout is missing";
  }

  // Walks unit kUnit of the agent on `agent_port` with the device and with snmpbulkwalk, and
  // checks the device's published record against snmpbulkwalk's view and the data set `data`.
  void CompareWithSnmpbulkwalk(uint16_t agent_port, const Dataset& data) {
    interop::UdpRelay relay(agent_port);
    ASSERT_TRUE(relay.ok());
    const std::string port = std::to_string(relay.port());

    // The device: host-driven, frame mode 1, the default request.
    auto obs = std::make_shared<RecordingObserver>();
    DeviceProbe device;
    device.Init(std::weak_ptr<QRMController>(), kDeviceId, Json::Value());
    AttachHostObserver(&device, obs);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    device.InitSetting(Parse(R"({"ip":"127.0.0.1:)" + port + R"(","address":)" +
                             std::to_string(kUnit) +
                             R"(,"appSetting":{"b_mode":"1","timeout_ms":2000}})"));
    device.RefreshStatus();
    const std::string device_err = testing::internal::GetCapturedStderr();
    testing::internal::GetCapturedStdout();
    const uint64_t device_exchanges = relay.requests();
    EXPECT_EQ(device_err, "") << "the device's walk reported a problem";
    EXPECT_EQ(device.mode(), 1);

    // net-snmp's walker, same request shape, same agent.
    relay.ResetCounters();
    const std::string subtree = Dotted(Dataset::UnitSubtree(kUnit));
    std::string out;
    const int status = interop::RunCommand(
        std::string("MIBS= ") + kSnmpbulkwalk + " -v2c -c " + ExternalAgent::kCommunity +
            " -On -Oe -Ot -Cn1 -Cr100 -t 2 -r 1 127.0.0.1:" + port + " " + subtree + " 2>&1",
        120, &out);
    const uint64_t walk_exchanges = relay.requests();
    ASSERT_EQ(status, 0) << out;
    const std::vector<WalkLine> lines = interop::ParseWalk(out);

    // The published record is the device's record, published once with its id.
    const auto sent = obs->EventsOf("SendSP");
    ASSERT_EQ(sent.size(), 1u);
    const std::vector<unsigned char>& image = sent[0].bytes;
    ASSERT_EQ(image.size(), kRecordSize);
    EXPECT_EQ(std::memcmp(image.data(), RecordBytes(device.data()), kRecordSize), 0)
        << "the published image differs from the device's record";
    uint32_t id;
    std::memcpy(&id, image.data(), sizeof id);
    EXPECT_EQ(id, kDeviceId);
    const unsigned char* stamp = image.data() + kRecordSize - kStampSize;
    const TTime now = get_ttime(boost::posix_time::second_clock::local_time());
    EXPECT_EQ(stamp[0] | (stamp[1] << 8), now[0] | (now[1] << 8)) << "stamp year";

    // Every object of the unit, once, in order; nothing of the next unit.
    const size_t objects = ObjectsOfUnit(data, kUnit);
    ASSERT_EQ(lines.size(), objects) << out.substr(0, 2000);
    std::set<unsigned> seen;
    const size_t leaf_index = Dataset::UnitRoot().size() + 1;
    int integers = 0, floats = 0, others = 0;
    for (const WalkLine& line : lines) {
      const std::string where = Dotted(line.oid) + " = " + line.type + ": " + line.value;
      ASSERT_TRUE(pdusim::OidStartsWith(line.oid, Dataset::UnitSubtree(kUnit))) << where;
      ASSERT_GT(line.oid.size(), leaf_index) << where;
      const unsigned leaf = line.oid[leaf_index];
      ASSERT_GE(leaf, 1u) << where;
      ASSERT_LE(leaf, 1269u) << where;
      EXPECT_TRUE(seen.insert(leaf).second) << "leaf shown twice: " << where;
      const Value* served = data.Find(line.oid);
      ASSERT_NE(served, nullptr) << "not in the data set: " << where;
      const uint32_t slot_bits = Bits(SlotOf(image, static_cast<int>(leaf)));

      if (line.type == "INTEGER") {
        ++integers;
        char* end = nullptr;
        const long long shown = std::strtoll(line.value.c_str(), &end, 10);
        ASSERT_TRUE(end != line.value.c_str() && *end == '\0') << where;
        ASSERT_EQ(served->type, Value::Type::kInteger) << where;
        EXPECT_EQ(shown, served->number) << "the agent serves the data set: " << where;
        // The wire value is a signed 32-bit INTEGER; the record holds its nearest float.
        EXPECT_EQ(slot_bits, Bits(static_cast<float>(static_cast<int32_t>(shown))))
            << where << " -> slot " << leaf << " = " << SlotOf(image, static_cast<int>(leaf));
      } else if (line.type == "Opaque: Float") {
        ++floats;
        ASSERT_TRUE(served->IsFloat()) << where;
        // The printed value has six decimals, so the exact check is against the data set's bits;
        // the printed value must agree with them to its precision.
        const uint32_t bits = served->FloatBitsValue();
        EXPECT_EQ(slot_bits, bits) << where;
        const float exact = FromBits(bits);
        char* end = nullptr;
        const double shown = std::strtod(line.value.c_str(), &end);
        ASSERT_TRUE(end != line.value.c_str() && *end == '\0') << where;
        if (std::isnan(exact)) {
          EXPECT_TRUE(std::isnan(shown)) << where;
        } else if (std::isinf(exact)) {
          EXPECT_EQ(shown, static_cast<double>(exact)) << where;
        } else {
          EXPECT_LE(std::fabs(shown - static_cast<double>(exact)), 5e-7) << where;
        }
        EXPECT_EQ(std::signbit(shown), std::signbit(exact)) << where;
      } else {
        ++others;
        EXPECT_NE(served->type, Value::Type::kInteger) << where;
        EXPECT_FALSE(served->IsFloat()) << where;
        EXPECT_EQ(slot_bits, 0u) << "a " << line.type << " is stored nowhere: " << where;
      }
    }
    EXPECT_GT(integers, 1000);
    // Slots of leaves the unit does not serve keep their zero.
    for (unsigned leaf = 1; leaf <= 1269; ++leaf) {
      if (seen.count(leaf) == 0) {
        EXPECT_EQ(Bits(SlotOf(image, static_cast<int>(leaf))), 0u) << "slot " << leaf;
      }
    }
    last_floats = floats;
    last_others = others;

    // One exchange per object plus the one that leaves the subtree, for both walkers.
    EXPECT_EQ(walk_exchanges, objects + 1) << "snmpbulkwalk -Cn1";
    EXPECT_EQ(device_exchanges, walk_exchanges) << "the device's walk";
  }

  int last_floats = 0;
  int last_others = 0;
};

TEST_F(Interop, NetSnmpdIntegerUnitMatchesSnmpbulkwalk) {
  if (!interop::Executable(ExternalAgent::kSnmpd)) {
    GTEST_SKIP() << ExternalAgent::kSnmpd << " is missing: install the Debian package snmpd";
  }
  const Dataset data = SnmpdUnit();
  ExternalAgent agent;
  std::string error;
  ASSERT_TRUE(agent.StartSnmpd(SnmpdOverrides(data), Dotted(Dataset::UnitOid(kUnit, 1)), &error))
      << error;
  CompareWithSnmpbulkwalk(agent.port(), data);
  EXPECT_EQ(last_others, 3) << "Gauge32, STRING and Counter32 shown by snmpbulkwalk";
  if (HasFailure()) ADD_FAILURE() << "snmpd log:\n" << agent.Log().substr(0, 4000);
}

TEST_F(Interop, SnmpsimUnitWithFloatsMatchesSnmpbulkwalk) {
  if (!interop::Executable(ExternalAgent::kSnmpsimd)) {
    GTEST_SKIP() << ExternalAgent::kSnmpsimd << " is missing: install the Debian package snmpsim";
  }
  const Dataset data = SnmpsimUnit();
  ExternalAgent agent;
  std::string error;
  ASSERT_TRUE(agent.StartSnmpsim(data.ToSnmprec(), Dotted(Dataset::UnitOid(kUnit, 1)), &error))
      << error;
  CompareWithSnmpbulkwalk(agent.port(), data);
  EXPECT_EQ(last_floats, 16 + 12) << "the default unit's floats and the float edges";
  EXPECT_EQ(last_others, 5) << "Gauge32, STRING, Counter32, Timeticks and a plain Opaque";
  if (HasFailure()) {
    const std::string log = agent.Log();
    ADD_FAILURE() << "snmpsimd output (tail):\n"
                  << log.substr(log.size() > 4000 ? log.size() - 4000 : 0);
  }
}

}  // namespace
