// The device against SNMP agents written by others: net-snmp's snmpd and snmpsim's snmpsimd.
//
// Each test serves one unit from a data set, lets a host-driven device walk it once, runs
// net-snmp's own snmpbulkwalk against the same agent with the same request shape
// (non-repeaters 1, max-repetitions 100: one object per exchange), and checks, object by object,
// that the device's published record holds what snmpbulkwalk shows. Both clients reach the agent
// through a counting relay, so their exchange counts are compared as well.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <gtest/gtest.h>
#include <json/reader.h>

#include "sim/dataset.h"
#include "tests/interop/interop_support.h"
#include "tests/support/device_probe.h"
#include "tests/support/recording_observer.h"
#include "tests/support/silent_peer.h"
#include "tests/support/test_util.h"
#include "tests/support/thread_stack.h"

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

// How the device and snmpbulkwalk reach the agent: extra appSetting members of the device, and
// snmpbulkwalk's security and request-shape arguments.
struct Client {
  std::string device_settings;
  std::string walker_security = std::string("-v2c -c ") + ExternalAgent::kCommunity;
  std::string walker_shape = "-Cn1 -Cr100";
  uint64_t v3_overhead = 0;  // exchanges before the walk's first: SNMPv3 engine discovery
};

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
  void CompareWithSnmpbulkwalk(uint16_t agent_port, const Dataset& data,
                               const Client& client = Client()) {
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
                             std::to_string(kUnit) + R"(,"appSetting":{"b_mode":"1",)" +
                             client.device_settings + R"("timeout_ms":2000}})"));
    device.RefreshStatus();
    const std::string device_err = testing::internal::GetCapturedStderr();
    const std::string device_out = testing::internal::GetCapturedStdout();
    const uint64_t device_exchanges = relay.requests();
    EXPECT_EQ(device_err, "") << "the device's walk reported a problem";
    // A walk of the default request that passes 5 s adds a note estimating the whole walk:
    // snmpsim answers one leaf per exchange, and on a busy machine its walk may pass 5 s. The
    // note is about speed, not about what was walked.
    const std::string device_lines = std::regex_replace(
        device_out, std::regex("snmp walk on the default request: [^\n]*\n"), "");
    EXPECT_EQ(device_lines, "InitSetting " + std::to_string(kDeviceId) +
                                " b_mode_:1\nSNMP_MARLUXA_AC_POWER::do_sample\nrvSize is 0\n");
    EXPECT_EQ(device.mode(), 1);

    // net-snmp's walker, same request shape, same agent.
    relay.ResetCounters();
    const std::string subtree = Dotted(Dataset::UnitSubtree(kUnit));
    std::string out;
    const int status = interop::RunCommand(
        std::string("MIBS= ") + kSnmpbulkwalk + " " + client.walker_security + " -On -Oe -Ot " +
            client.walker_shape + " -t 2 -r 1 127.0.0.1:" + port + " " + subtree + " 2>&1",
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
      const uint32_t slot_bits = Bits(ImageSlot(image, static_cast<int>(leaf)));

      if (line.type == "INTEGER") {
        ++integers;
        char* end = nullptr;
        const long long shown = std::strtoll(line.value.c_str(), &end, 10);
        ASSERT_TRUE(end != line.value.c_str() && *end == '\0') << where;
        ASSERT_EQ(served->type, Value::Type::kInteger) << where;
        EXPECT_EQ(shown, served->number) << "the agent serves the data set: " << where;
        // The wire value is a signed 32-bit INTEGER; the record holds its nearest float.
        EXPECT_EQ(slot_bits, Bits(static_cast<float>(static_cast<int32_t>(shown))))
            << where << " -> slot " << leaf << " = " << ImageSlot(image, static_cast<int>(leaf));
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
        EXPECT_EQ(Bits(ImageSlot(image, static_cast<int>(leaf))), 0u) << "slot " << leaf;
      }
    }
    last_floats = floats;
    last_others = others;

    // One exchange per object plus the one that leaves the subtree, for both walkers (and, for
    // SNMPv3, the same engine discovery before).
    if (client.walker_shape == "-Cn1 -Cr100") {
      EXPECT_EQ(walk_exchanges, objects + 1 + client.v3_overhead) << "snmpbulkwalk -Cn1";
    }
    EXPECT_EQ(device_exchanges, walk_exchanges) << "the device's walk";
    last_image = image;
  }

  int last_floats = 0;
  int last_others = 0;
  std::vector<unsigned char> last_image;
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
  if (!interop::Executable(ExternalAgent::Snmpsimd())) {
    GTEST_SKIP() << ExternalAgent::Snmpsimd() << " is missing: install the Debian package snmpsim";
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

// SNMPv3 against a snmpd that has no community at all: its users, each with its own level.
// Pass phrases contain no character a shell would treat specially.
const char kSnmpv3Users[] =
    "createUser alice SHA alice-auth-phrase AES alice-priv-phrase\n"
    "createUser carol SHA carol-auth-phrase\n"
    "createUser dave\n"
    "rouser alice priv\n"
    "rouser carol auth\n"
    "rouser dave noauth\n";
const char kSnmpv3LongKeyUsers[] =
    "createUser bob SHA-256 bob-auth-phrase AES-256 bob-priv-phrase\n"
    "rouser bob priv\n";
const char kAliceProbe[] =
    "-v3 -u alice -l authPriv -a SHA -A alice-auth-phrase -x AES -X alice-priv-phrase";
const char* const kPassPhrases[] = {"alice-auth-phrase", "alice-priv-phrase", "bob-auth-phrase",
                                    "bob-priv-phrase",   "carol-auth-phrase", "wrong-auth-phrase",
                                    "wrong-priv-phrase"};

bool LongKeysBuilt() {
  return usm_lookup_auth_type("SHA-256") >= 0 && usm_lookup_priv_type("AES-256") >= 0;
}

TEST_F(Interop, NetSnmpdSnmpv3OnlyWalksMatchSnmpbulkwalkAtEveryLevel) {
  if (!interop::Executable(ExternalAgent::kSnmpd)) {
    GTEST_SKIP() << ExternalAgent::kSnmpd << " is missing: install the Debian package snmpd";
  }
  const Dataset data = SnmpdUnit();
  const bool long_keys = LongKeysBuilt();
  ExternalAgent agent;
  std::string error;
  ASSERT_TRUE(agent.StartSnmpdV3(std::string(kSnmpv3Users) + (long_keys ? kSnmpv3LongKeyUsers : ""),
                                 SnmpdOverrides(data), Dotted(Dataset::UnitOid(kUnit, 1)),
                                 kAliceProbe, &error))
      << error;
  // No community reaches this agent: an SNMPv2c walk would only time out.
  std::string out;
  EXPECT_NE(interop::RunCommand(std::string("MIBS= ") + kSnmpget + " -v2c -c " +
                                    ExternalAgent::kCommunity +
                                    " -t 0.3 -r 0 127.0.0.1:" + std::to_string(agent.port()) + " " +
                                    Dotted(Dataset::UnitOid(kUnit, 1)) + " 2>&1",
                                10, &out),
            0)
      << out;

  struct Variant {
    const char* name;
    Client client;
    bool needs_long_keys;
  } variants[] = {
      {"authPriv SHA AES",
       {R"("snmp_version":3,"username":"alice","password":"alice-auth-phrase",)"
        R"("priv_password":"alice-priv-phrase",)",
        kAliceProbe, "-Cn1 -Cr100", 1},
       false},
      {"authPriv SHA-256 AES-256",
       {R"("snmp_version":3,"username":"bob","auth_protocol":"SHA-256","priv_protocol":"AES-256",)"
        R"("password":"bob-auth-phrase","priv_password":"bob-priv-phrase",)",
        "-v3 -u bob -l authPriv -a SHA-256 -A bob-auth-phrase -x AES-256 -X bob-priv-phrase",
        "-Cn1 -Cr100", 1},
       true},
      {"authNoPriv SHA",
       {R"("snmp_version":"3","username":"carol","password":"carol-auth-phrase",)",
        "-v3 -u carol -l authNoPriv -a SHA -A carol-auth-phrase", "-Cn1 -Cr100", 1},
       false},
      {"noAuthNoPriv",
       {R"("snmp_version":3,"username":"dave",)", "-v3 -u dave -l noAuthNoPriv", "-Cn1 -Cr100", 1},
       false},
      {"authPriv SHA AES, max_repetitions 100",
       {R"("snmp_version":3,"username":"alice","password":"alice-auth-phrase",)"
        R"("priv_password":"alice-priv-phrase","max_repetitions":100,)",
        kAliceProbe, "-Cr100", 0},
       false},
  };
  std::vector<unsigned char> first;
  for (const Variant& v : variants) {
    if (v.needs_long_keys && !long_keys) {
      std::cout << "[ SKIPPED  ] " << v.name << ": this net-snmp lacks SHA-256 or AES-256\n";
      continue;
    }
    SCOPED_TRACE(v.name);
    CompareWithSnmpbulkwalk(agent.port(), data, v.client);
    EXPECT_EQ(last_others, 3) << "Gauge32, STRING and Counter32 shown by snmpbulkwalk";
    // Every variant stores the same slots (the comparison above checks them against the data).
    ASSERT_EQ(last_image.size(), kRecordSize);
    if (first.empty()) first = last_image;
    EXPECT_EQ(std::memcmp(first.data() + 4, last_image.data() + 4, kRecordSize - 4 - kStampSize),
              0);
  }
  if (HasFailure()) ADD_FAILURE() << "snmpd log:\n" << agent.Log().substr(0, 4000);
}

// Starts snmpd with the SNMPv3 users only (no community), serving leaves 1..20 of unit kUnit
// as INTEGER Pattern(leaf). Skips the test when snmpd is missing.
void StartSnmpv3Unit(ExternalAgent* agent) {
  if (!interop::Executable(ExternalAgent::kSnmpd)) {
    GTEST_SKIP() << ExternalAgent::kSnmpd << " is missing: install the Debian package snmpd";
  }
  Dataset data;
  for (unsigned leaf = 1; leaf <= 20; ++leaf) {
    data.Set(Dataset::UnitOid(kUnit, leaf), Value::Integer(Pattern(leaf)));
  }
  std::string error;
  ASSERT_TRUE(agent->StartSnmpdV3(kSnmpv3Users, SnmpdOverrides(data),
                                  Dotted(Dataset::UnitOid(kUnit, 1)), kAliceProbe, &error))
      << error;
}

// One device reconfigured through the ways an SNMPv3 exchange fails, between good walks: each
// failure gives the exchange's failure line, net-snmp's reason where it gives one, and a round
// that keeps the values (slot 1 reports the lost communication); no pass phrase shows anywhere;
// the good pass phrase works again at once.
TEST_F(Interop, NetSnmpdSnmpv3FailuresAreNamedWithoutSecretsAndKeepTheValues) {
  ExternalAgent agent;
  StartSnmpv3Unit(&agent);
  if (IsSkipped() || HasFatalFailure()) return;
  const std::string peer = "127.0.0.1:" + std::to_string(agent.port());

  auto obs = std::make_shared<RecordingObserver>();
  DeviceProbe device;
  device.Init(std::weak_ptr<QRMController>(), kDeviceId, Json::Value());
  AttachHostObserver(&device, obs);
  std::string everything;  // every line the device writes, for the secrets check at the end
  auto walk = [&](const std::string& ip, const std::string& settings, std::string* out,
                  std::string* err) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    device.InitSetting(Parse(R"({"ip":")" + ip + R"(","address":)" + std::to_string(kUnit) +
                             R"(,"appSetting":{"snmp_version":3,"timeout_ms":1000,"retries":1,)" +
                             settings + "}}"));
    device.RefreshStatus();
    *err = testing::internal::GetCapturedStderr();
    *out = testing::internal::GetCapturedStdout();
    everything += *out + *err;
  };
  const std::string good =
      R"("username":"alice","password":"alice-auth-phrase","priv_password":"alice-priv-phrase")";
  const std::string walked = "SNMP_MARLUXA_AC_POWER::do_sample\nrvSize is 0\n";
  std::string out, err;
  walk(peer, good, &out, &err);
  EXPECT_EQ(out, walked);
  EXPECT_EQ(err, "");
  ASSERT_EQ(Slot(device.data(), 7), static_cast<float>(Pattern(7)));
  const std::vector<unsigned char> filled(RecordBytes(device.data()),
                                          RecordBytes(device.data()) + kRecordSize - kStampSize);
  // Every slot but slot 1, the communication state, which a walk without an answer clears.
  auto kept = [&] {
    const size_t from = SlotOffset(2);
    return std::memcmp(RecordBytes(device.data()) + from, filled.data() + from,
                       filled.size() - from) == 0;
  };

  struct Failure {
    const char* what;
    std::string ip, settings, out, err;
  } failures[] = {
      {"wrong authentication pass phrase", peer,
       R"("username":"alice","password":"wrong-auth-phrase","priv_password":"alice-priv-phrase")",
       "SNMP_MARLUXA_AC_POWER::do_sample\nsnmp get error 1\n"
       "snmpbulkwalk: Authentication failure (incorrect password, community or key)\n"
       "rvSize is 0\n",
       ""},
      {"unknown user", peer,
       R"("username":"mallory","password":"alice-auth-phrase","priv_password":"alice-priv-phrase")",
       "SNMP_MARLUXA_AC_POWER::do_sample\nsnmp get error 1\nsnmpbulkwalk: Unknown user name\n"
       "rvSize is 0\n",
       ""},
      // The agent cannot decrypt the request and drops it: a time-out, as with SNMPv2c.
      {"wrong privacy pass phrase", peer,
       R"("username":"alice","password":"alice-auth-phrase","priv_password":"wrong-priv-phrase")",
       walked, "Timeout: No Response from " + peer + "\n"},
  };
  size_t rounds = obs->Count("SendSP");
  for (const Failure& f : failures) {
    SCOPED_TRACE(f.what);
    walk(f.ip, f.settings, &out, &err);
    EXPECT_EQ(out, f.out);
    EXPECT_EQ(err, f.err);
    EXPECT_EQ(obs->Count("SendSP"), ++rounds) << "one round, as after any failed exchange";
    EXPECT_TRUE(kept()) << "the values are kept";
    EXPECT_EQ(Slot(device.data(), 1), 0.0f) << "no answer in the walk: communication lost";
    // Back to the good pass phrase: the next walk works, whatever net-snmp saw before.
    walk(peer, good, &out, &err);
    EXPECT_EQ(out, walked);
    EXPECT_EQ(err, "");
    EXPECT_EQ(obs->Count("SendSP"), ++rounds);
  }

  // An agent that never answers: engine discovery times out after both attempts, with the
  // SNMPv2c time-out line and a round that keeps the values.
  SilentUdpPeer silent;
  ASSERT_TRUE(silent.ok());
  const std::string silent_peer = silent.peer();
  const auto start = std::chrono::steady_clock::now();
  walk(silent_peer, good, &out, &err);
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(out, walked);
  EXPECT_EQ(err, "Timeout: No Response from " + silent_peer + "\n");
  EXPECT_GE(took, std::chrono::milliseconds(1950)) << "two attempts of 1 s";
  EXPECT_EQ(obs->Count("SendSP"), ++rounds);
  EXPECT_TRUE(kept());
  EXPECT_EQ(Slot(device.data(), 1), 0.0f);

  for (const char* phrase : kPassPhrases) {
    EXPECT_EQ(everything.find(phrase), std::string::npos) << phrase << " shown:\n" << everything;
  }
  if (HasFailure()) ADD_FAILURE() << "snmpd log:\n" << agent.Log().substr(0, 4000);
}

// Two own-thread devices with one user name on one agent, one with a wrong pass phrase, walking
// at the same time: each uses its own keys only, so one fills its record and the other fails.
TEST_F(Interop, NetSnmpdSnmpv3DevicesOnThreadsUseOnlyTheirOwnKeys) {
  ExternalAgent agent;
  StartSnmpv3Unit(&agent);
  if (IsSkipped() || HasFatalFailure()) return;
  const std::string config =
      R"({"ip":"127.0.0.1:)" + std::to_string(agent.port()) + R"(","address":)" +
      std::to_string(kUnit) +
      R"(,"appSetting":{"use_thread":1,"snmp_version":3,"timeout_ms":2000,"retries":0,)"
      R"("username":"alice","priv_password":"alice-priv-phrase","password":")";
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  auto good_obs = std::make_shared<RecordingObserver>();
  auto wrong_obs = std::make_shared<RecordingObserver>();
  {
    // Three devices of each kind, so that turns are contended.
    std::vector<std::unique_ptr<DeviceProbe>> good, wrong;
    for (int i = 0; i < 3; ++i) {
      for (auto* group : {&good, &wrong}) {
        const bool right = group == &good;
        group->push_back(std::make_unique<DeviceProbe>());
        AttachHostObserver(group->back().get(), right ? good_obs : wrong_obs);
        group->back()->InitSetting(
            Parse(config + (right ? "alice-auth-phrase" : "wrong-auth-phrase") + "\"}}"));
      }
    }
    EXPECT_TRUE(WaitFor([&] { return good_obs->Count("SendSP") >= 3; }))
        << good_obs->Count("SendSP");
    EXPECT_TRUE(WaitFor([&] { return wrong_obs->Count("SendSP") >= 3; }))
        << wrong_obs->Count("SendSP");
    for (const auto& d : good) EXPECT_EQ(Slot(d->data(), 7), static_cast<float>(Pattern(7)));
    for (const auto& d : wrong) EXPECT_EQ(Slot(d->data(), 7), 0.0f) << "walked with another's key";
  }  // the devices stop here
  const std::string out = testing::internal::GetCapturedStdout();
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err, "");
  EXPECT_NE(out.find("snmpbulkwalk: Authentication failure"), std::string::npos) << out;
  for (const char* phrase : kPassPhrases) EXPECT_EQ((out + err).find(phrase), std::string::npos);
}

// A fleet of SNMPv3 devices in one process, against one snmpd with v3-only users and a fixed
// engine ID: what a dark unit, a unit with the same user and a unit that restarts cost the
// others. Each case is one that SNMPv3 walks taking whole-walk turns, an uninterruptible engine
// discovery, or engine times kept across a restart got wrong.
TEST_F(Interop, NetSnmpdSnmpv3FleetDarkSharedAndRestartedUnitsCostTheOthersNothing) {
  if (!interop::Executable(ExternalAgent::kSnmpd)) {
    GTEST_SKIP() << ExternalAgent::kSnmpd << " is missing: install the Debian package snmpd";
  }
  using Clock = std::chrono::steady_clock;
  auto seconds_since = [](Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
  };
  // 300 leaves: walks of 301 exchanges, long enough for the three to overlap.
  Dataset data;
  for (unsigned leaf = 1; leaf <= 300; ++leaf) {
    data.Set(Dataset::UnitOid(kUnit, leaf), Value::Integer(leaf == 1 ? 1 : Pattern(leaf)));
  }
  const std::string overrides = SnmpdOverrides(data);
  const std::string probe = Dotted(Dataset::UnitOid(kUnit, 1));
  ExternalAgent agent;
  std::string error;
  // The unit has booted 1000 times (its persistent state says so).
  ASSERT_TRUE(
      agent.RestartSnmpdV3(kSnmpv3Users, overrides, probe, kAliceProbe, "qrmfleet", 1000, &error))
      << error;
  interop::UdpRelay second_address(agent.port());  // the same agent at another address
  ASSERT_TRUE(second_address.ok());
  const std::string alice = R"("snmp_version":3,"username":"alice","password":"alice-auth-phrase",)"
                            R"("priv_password":"alice-priv-phrase","timeout_ms":2000,"retries":0)";
  auto config = [&](uint16_t port, int use_thread) {
    return Parse(R"({"ip":"127.0.0.1:)" + std::to_string(port) + R"(","address":)" +
                 std::to_string(kUnit) + R"(,"appSetting":{"use_thread":)" +
                 std::to_string(use_thread) + "," + alice + "}}");
  };
  auto healthy_obs = std::make_shared<RecordingObserver>();
  std::vector<std::unique_ptr<DeviceProbe>> healthy;
  for (uint16_t port : {agent.port(), agent.port(), second_address.port()}) {
    healthy.push_back(std::make_unique<DeviceProbe>());
    AttachHostObserver(healthy.back().get(), healthy_obs);
    healthy.back()->InitSetting(config(port, 0));
  }
  // Walks every healthy device once, all at the same time, each on a host thread of its own.
  auto walk_all = [&] {
    std::vector<std::thread> hosts;
    for (auto& d : healthy) hosts.emplace_back([&d] { d->RefreshStatus(); });
    for (auto& h : hosts) h.join();
  };
  auto all_filled = [&] {
    for (auto& d : healthy) {
      if (Slot(d->data(), 7) != static_cast<float>(Pattern(7)) || Slot(d->data(), 1) != 1.0f)
        return false;
    }
    return true;
  };

  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  // Two devices with the same user on one agent, and a third at its other address: each walk
  // uses the one user entry of that engine and user while the others' walks are under way. A
  // fourth device has the same user with a wrong pass phrase and walks at the same time: it
  // never walks with the others' keys, nor they with its.
  auto wrong_obs = std::make_shared<RecordingObserver>();
  DeviceProbe wrong;
  AttachHostObserver(&wrong, wrong_obs);
  Json::Value wrong_config = config(agent.port(), 0);
  wrong_config["appSetting"]["password"] = "wrong-auth-phrase";
  wrong.InitSetting(wrong_config);
  double alone_s = 0;
  for (int round = 0; round < 2; ++round) {
    std::thread beside_wrong([&] { wrong.RefreshStatus(); });
    const auto alone = Clock::now();
    walk_all();
    alone_s = seconds_since(alone);
    beside_wrong.join();
  }
  const bool shared_filled = all_filled();
  const size_t shared_rounds = healthy_obs->Count("SendSP");

  // Three dark units (never answering; discovery waits 2 x 30 s) beside the healthy devices:
  // the healthy walks run while every dark discovery is in flight, without waiting for any.
  SilentUdpPeer silent;
  ASSERT_TRUE(silent.ok());
  auto dark_obs = std::make_shared<RecordingObserver>();
  std::vector<std::unique_ptr<DeviceProbe>> dark;
  for (int i = 0; i < 3; ++i) {
    dark.push_back(std::make_unique<DeviceProbe>());
    AttachHostObserver(dark.back().get(), dark_obs);
    dark.back()->InitSetting(Parse(R"({"ip":")" + silent.peer() + R"(","address":)" +
                                   std::to_string(kUnit) +
                                   R"(,"appSetting":{"use_thread":1,"snmp_version":3,)"
                                   R"("username":"alice","password":"alice-auth-phrase",)"
                                   R"("timeout_ms":30000,"retries":1}})"));
  }
  const int discoveries = silent.AwaitDatagrams(3, std::chrono::seconds(20));
  const auto beside = Clock::now();
  walk_all();
  const double beside_s = seconds_since(beside);
  const size_t beside_rounds = healthy_obs->Count("SendSP") - shared_rounds;
  // All three dark devices destroyed together, their discoveries in flight.
  const auto destroy = Clock::now();
  dark.clear();
  const double destroy_s = seconds_since(destroy);

  // The unit restarts with the same engine ID and no persistent state: its boot count goes back
  // from 1001 to 1. The next walk of every device succeeds.
  ASSERT_TRUE(
      agent.RestartSnmpdV3(kSnmpv3Users, overrides, probe, kAliceProbe, "qrmfleet", 0, &error))
      << error;
  for (auto& d : healthy) SetSlot(d->data(), 7, 0.0f);
  walk_all();
  const bool restarted_filled = all_filled();
  healthy.clear();
  const std::string out = testing::internal::GetCapturedStdout();
  const std::string err = testing::internal::GetCapturedStderr();

  EXPECT_TRUE(shared_filled) << out << err;
  EXPECT_EQ(shared_rounds, 6u);
  EXPECT_EQ(discoveries, 3) << "the dark devices' discoveries did not all go out at once";
  EXPECT_EQ(beside_rounds, 3u);
  EXPECT_LT(beside_s, 15.0)
      << "the healthy walks waited for the dark units' 30 s attempts (alone they took " << alone_s
      << " s)";
  EXPECT_LT(destroy_s, 15.0) << "destroying the dark devices waited for their discoveries";
  EXPECT_EQ(dark_obs->Count("SendSP"), 0u) << "a stopped walk published a round";
  EXPECT_TRUE(restarted_filled) << "the unit was not walked after its restart";
  EXPECT_EQ(healthy_obs->Count("SendSP"), 12u);
  EXPECT_EQ(Slot(wrong.data(), 7), 0.0f) << "the wrong pass phrase walked with another's keys";
  EXPECT_EQ(wrong_obs->Count("SendSP"), 2u);
  // Lines of devices on other threads may come between a failure's two lines.
  auto count = [&](const std::string& text) {
    size_t n = 0;
    for (size_t at = out.find(text); at != std::string::npos; at = out.find(text, at + 1)) ++n;
    return n;
  };
  EXPECT_EQ(count("snmp get error"), 2u) << "only the wrong pass phrase's two walks fail:\n" << out;
  EXPECT_EQ(count("snmpbulkwalk: Authentication failure"), 2u) << out;
  EXPECT_EQ(err, "") << "only the dark devices time out, and they were stopped first";
  if (HasFailure()) ADD_FAILURE() << "snmpd log:\n" << agent.Log().substr(0, 4000);
}

// The deepest paths of a sampling thread: SNMPv3 authPriv with the longest keys (SHA-512,
// AES-256), the default walk of the whole unit and the fast walk, and a wrong pass phrase
// (net-snmp's report and the reason line). Each device's thread has the sampling stack size and
// never touches more than an eighth of it (checked without the sanitizers, which change thread
// stacks); the figures are printed for the size's comment.
TEST_F(Interop, NetSnmpdSnmpv3SamplingThreadsUseAtMostAnEighthOfTheirStack) {
  if (!interop::Executable(ExternalAgent::kSnmpd)) {
    GTEST_SKIP() << ExternalAgent::kSnmpd << " is missing: install the Debian package snmpd";
  }
  if (usm_lookup_auth_type("SHA-512") < 0 || usm_lookup_priv_type("AES-256") < 0) {
    GTEST_SKIP() << "this net-snmp lacks SHA-512 or AES-256";
  }
  const Dataset data = SnmpdUnit();
  ExternalAgent agent;
  std::string error;
  ASSERT_TRUE(agent.StartSnmpdV3(
      "createUser erin SHA-512 erin-auth-phrase AES-256 erin-priv-phrase\nrouser erin priv\n",
      SnmpdOverrides(data), Dotted(Dataset::UnitOid(kUnit, 1)),
      "-v3 -u erin -l authPriv -a SHA-512 -A erin-auth-phrase -x AES-256 -X erin-priv-phrase",
      &error))
      << error;
  const std::string config =
      R"({"ip":"127.0.0.1:)" + std::to_string(agent.port()) + R"(","address":)" +
      std::to_string(kUnit) +
      R"(,"appSetting":{"use_thread":1,"snmp_version":3,"timeout_ms":2000,"retries":0,)"
      R"("username":"erin","auth_protocol":"SHA-512","priv_protocol":"AES-256",)"
      R"("priv_password":"erin-priv-phrase",)";
  const struct {
    const char* name;
    std::string rest;
  } variants[] = {
      {"default walk", R"("password":"erin-auth-phrase"}})"},
      {"fast walk", R"("password":"erin-auth-phrase","max_repetitions":100}})"},
      {"wrong pass phrase", R"("password":"wrong-auth-phrase"}})"},
  };
  // All at once, so that each thread has a fresh stack of its own (a stack reused from an ended
  // thread would carry that thread's marks).
  testing::internal::CaptureStdout();
  auto observer = std::make_shared<StackObserver>();
  std::vector<StackObserver::Device> seen;
  {
    std::vector<std::unique_ptr<DeviceProbe>> devices;
    for (const auto& v : variants) {
      devices.push_back(std::make_unique<DeviceProbe>());
      AttachHostObserver(devices.back().get(), observer);
      devices.back()->InitSetting(Parse(config + v.rest));
      EXPECT_NE(devices.back()->thread(), nullptr) << v.name;
    }
    for (size_t i = 0; i < devices.size(); ++i) {
      EXPECT_TRUE(WaitFor([&] { return observer->Of(devices[i].get()).rounds >= 2; },
                          std::chrono::seconds(60)))
          << variants[i].name << ": " << observer->Of(devices[i].get()).rounds << " rounds";
      seen.push_back(observer->Of(devices[i].get()));
    }
  }  // the threads stop here
  for (size_t i = 0; i < seen.size(); ++i) {
    const ThreadStack& stack = seen[i].stack;
    std::cerr << "[ STACK    ] sampling thread, SNMPv3 SHA-512/AES-256, " << variants[i].name
              << ": " << stack.touched << " of " << stack.size << " bytes touched\n";
    if (!kThreadStackFiguresHold) continue;
    EXPECT_EQ(stack.size, SamplingThread::kStackBytes) << variants[i].name;
    EXPECT_LE(stack.touched * 8, stack.size) << variants[i].name;
  }
  testing::internal::GetCapturedStdout();
  if (HasFailure()) ADD_FAILURE() << "snmpd log:\n" << agent.Log().substr(0, 4000);
}

#ifdef QRMHOST_PATH
// The real plug-in in the reference host, loaded as a host loads it. The SNMP configuration
// folders it could read hold a line net-snmp would warn about, and the persistent folder must
// stay empty: SNMPv3 works without reading or writing either. No pass phrase shows in the
// host's output or events.
TEST_F(Interop, QrmhostWalksSnmpv3WithoutSnmpFilesOrSecretsInItsOutput) {
  ExternalAgent agent;
  StartSnmpv3Unit(&agent);
  if (IsSkipped() || HasFatalFailure()) return;
  interop::TempDir dir;
  ASSERT_TRUE(dir.ok());
  const std::string d = dir.path();
  std::filesystem::create_directories(d + "/conf");
  std::filesystem::create_directories(d + "/.snmp");
  std::filesystem::create_directories(d + "/persist");
  for (const std::string& conf : {d + "/conf/snmp.conf", d + "/.snmp/snmp.conf"}) {
    ASSERT_TRUE(interop::WriteFile(conf, "qrmInteropNotToBeRead yes\n"));
  }
  const std::string ip = "127.0.0.1:" + std::to_string(agent.port());
  const std::string v3 =
      R"("snmp_version":3,"username":"alice","priv_password":"alice-priv-phrase")";
  ASSERT_TRUE(interop::WriteFile(
      d + "/devices.json", R"({"devices":[{"id":1,"ip":")" + ip +
                               R"(","address":5,"appSetting":{"max_repetitions":100,)" + v3 +
                               R"(,"password":"alice-auth-phrase"}},)" + R"({"id":2,"ip":")" + ip +
                               R"(","address":5,"appSetting":{)" + v3 +
                               R"(,"password":"wrong-auth-phrase"}}]})"));
  std::string out;
  const int status = interop::RunCommand(
      "HOME=" + d + " SNMPCONFPATH=" + d + "/conf SNMP_PERSISTENT_DIR=" + d + "/persist " +
          QRMHOST_PATH + " run --plugin " + MARLUXA_PLUGIN_PATH + " --config " + d +
          "/devices.json --rounds 1 --interval 0 --timeout 60 --events " + d +
          "/events.jsonl --history " + d + "/history 2>&1",
      120, &out);
  EXPECT_EQ(status, 3) << "device 2's walk failed: " << out;
  EXPECT_NE(out.find("[end] device 2: rounds published 1, walks timed out 0, walks failed 1,"),
            std::string::npos)
      << out;
  EXPECT_EQ(out.find("qrmInteropNotToBeRead"), std::string::npos) << out;
  EXPECT_TRUE(std::filesystem::is_empty(d + "/persist")) << "net-snmp wrote persistent state";
  EXPECT_NE(out.find("[round 1] device 1 at "), std::string::npos) << out;
  EXPECT_NE(out.find("[round 1] device 2 at "), std::string::npos) << out;
  // The devices walk on host threads of their own, so other devices' lines may come between.
  EXPECT_NE(out.find("snmp get error 1\n"), std::string::npos) << out;
  EXPECT_NE(
      out.find("snmpbulkwalk: Authentication failure (incorrect password, community or key)\n"),
      std::string::npos)
      << out;
  const std::string history = interop::ReadFile(d + "/history/1.rec");
  ASSERT_EQ(history.size(), kRecordSize);
  EXPECT_EQ(ImageSlot(std::vector<unsigned char>(history.begin(), history.end()), 7),
            static_cast<float>(Pattern(7)));
  const std::string events = interop::ReadFile(d + "/events.jsonl");
  EXPECT_NE(events.find("\"publish\""), std::string::npos);
  for (const char* phrase : kPassPhrases) {
    EXPECT_EQ(out.find(phrase), std::string::npos) << phrase;
    EXPECT_EQ(events.find(phrase), std::string::npos) << phrase;
  }
}

// Beside an SNMPv3 unit whose host name never resolves, healthy SNMPv3 devices keep their 5 s
// cycle and the host ends within 3 s of its time bound. The run gets a resolver configuration
// of its own (a private mount namespace) that names a loopback server which drops every query,
// as a resolver that has gone dark does: looking the name up waits the resolver's full time.
TEST_F(Interop, QrmhostSnmpv3DevicesBesideANameThatNeverResolvesKeepTheirCycle) {
  if (geteuid() != 0 || !interop::Executable("/usr/bin/unshare")) {
    GTEST_SKIP() << "a private resolver configuration needs root and unshare";
  }
  ExternalAgent agent;
  StartSnmpv3Unit(&agent);
  if (IsSkipped() || HasFatalFailure()) return;
  interop::TempDir dir;
  const std::string d = dir.path();
  // The dark name server: a socket on port 53 of a loopback address of this test's own, which
  // nobody reads.
  const int dark = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in server{};
  server.sin_family = AF_INET;
  server.sin_port = htons(53);
  server.sin_addr.s_addr = htonl(0x7f350000u | ((getpid() % 250 + 1) << 8) | 53u);
  if (dark < 0 || bind(dark, reinterpret_cast<sockaddr*>(&server), sizeof server) != 0) {
    if (dark >= 0) close(dark);
    GTEST_SKIP() << "port 53 of a loopback address cannot be had";
  }
  char address[INET_ADDRSTRLEN] = "";
  inet_ntop(AF_INET, &server.sin_addr, address, sizeof address);
  ASSERT_TRUE(interop::WriteFile(d + "/resolv.conf", std::string("nameserver ") + address +
                                                         "\noptions timeout:30 attempts:2\n"));
  const std::string in_namespace =
      "unshare -m sh -c 'mount --bind " + d + "/resolv.conf /etc/resolv.conf && exec \"$@\"' sh ";
  std::string out;
  if (interop::RunCommand(in_namespace + "cat /etc/resolv.conf", 10, &out) != 0 ||
      out.find(address) == std::string::npos) {
    close(dark);
    GTEST_SKIP() << "no private mount namespace here: " << out;
  }
  const std::string alice = R"("use_thread":1,"snmp_version":3,"username":"alice",)"
                            R"("password":"alice-auth-phrase","priv_password":"alice-priv-phrase",)"
                            R"("timeout_ms":2000,"retries":1)";
  const std::string ip = "127.0.0.1:" + std::to_string(agent.port());
  std::string devices;
  for (int id = 1; id <= 3; ++id) {
    devices += R"({"id":)" + std::to_string(id) + R"(,"ip":")" + ip +
               R"(","address":5,"appSetting":{)" + alice + "}},";
  }
  devices +=
      R"({"id":4,"ip":"pdu-never.example.net:161","address":5,"appSetting":{)" + alice + "}}";
  ASSERT_TRUE(interop::WriteFile(d + "/devices.json", R"({"devices":[)" + devices + "]}"));
  // Seconds: walks at 0, 5, 10, 15 and 20 s, so three rounds leave room for slow walks under
  // emulation on a busy machine; a cycle held up by the dark name (a lookup of 60 s) would give
  // at most one.
  constexpr int kBound = 22;
  const auto start = std::chrono::steady_clock::now();
  interop::RunCommand(in_namespace + QRMHOST_PATH + " run --plugin " + MARLUXA_PLUGIN_PATH +
                          " --config " + d + "/devices.json --interval 1 --timeout " +
                          std::to_string(kBound) + " 2>&1",
                      kBound + 30, &out);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  close(dark);
  EXPECT_LT(seconds, kBound + 5.0) << out;
  for (const char* id : {"1", "2", "3"}) {
    const size_t end = out.find(std::string("[end] device ") + id + ": rounds published ");
    ASSERT_NE(end, std::string::npos) << out;
    EXPECT_GE(std::stoi(out.substr(out.find("published ", end) + 10)), 3) << out;
  }
  EXPECT_NE(out.find("snmpbulkwalk: no session opened: host name \"pdu-never.example.net\" did "
                     "not resolve: no answer within 4000 ms (peer pdu-never.example.net:161)\n"),
            std::string::npos)
      << out;
  // The unit out of reach by name: its rounds raise the communication alarm.
  const size_t named = out.find("[end] device 4: rounds published ");
  ASSERT_NE(named, std::string::npos) << out;
  EXPECT_GE(std::stoi(out.substr(named + 33)), 1) << out;
  EXPECT_NE(out.find("alarms active now 1", named), std::string::npos) << out;
}
#endif
