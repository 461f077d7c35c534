// Rewriting bare 0x48 floats into net-snmp's opaque floats, on datagrams the simulator never
// sends: minimal (short-form) lengths that must grow into the long form, and messages the
// rewrite must leave exactly as they came. The walk tests cover the simulator's own encoding.
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "snmp/bare_floats.h"
#include "snmp/net_snmp.h"
#include "tests/support/test_util.h"

namespace {

// An SNMPv2c Response with an empty community and four bindings of unit 1: leaves 3, 4 and 6
// bare floats (25.0, a NaN with payload, -0.0), leaf 5 a 16-byte OCTET STRING; every length in
// the short form. The Response's content is 119 bytes and the message's 126, so the 9 bytes
// the three floats gain push both past 127.
const unsigned char kBare[] = {
    0x30, 0x7e, 0x02, 0x01, 0x01, 0x04, 0x00, 0xa2, 0x77, 0x02, 0x01, 0x01, 0x02, 0x01, 0x00, 0x02,
    0x01, 0x00, 0x30, 0x6c, 0x30, 0x16, 0x06, 0x0e, 0x2b, 0x06, 0x01, 0x04, 0x01, 0x83, 0xdf, 0x15,
    0x01, 0x01, 0x04, 0x01, 0x03, 0x00, 0x48, 0x04, 0x41, 0xc8, 0x00, 0x00, 0x30, 0x16, 0x06, 0x0e,
    0x2b, 0x06, 0x01, 0x04, 0x01, 0x83, 0xdf, 0x15, 0x01, 0x01, 0x04, 0x01, 0x04, 0x00, 0x48, 0x04,
    0x7f, 0xc1, 0x23, 0x45, 0x30, 0x22, 0x06, 0x0e, 0x2b, 0x06, 0x01, 0x04, 0x01, 0x83, 0xdf, 0x15,
    0x01, 0x01, 0x04, 0x01, 0x05, 0x00, 0x04, 0x10, 0x30, 0x31, 0x32, 0x33, 0x34, 0x35, 0x36, 0x37,
    0x38, 0x39, 0x61, 0x62, 0x63, 0x64, 0x65, 0x66, 0x30, 0x16, 0x06, 0x0e, 0x2b, 0x06, 0x01, 0x04,
    0x01, 0x83, 0xdf, 0x15, 0x01, 0x01, 0x04, 0x01, 0x06, 0x00, 0x48, 0x04, 0x80, 0x00, 0x00, 0x00};

// The same kind of message with one bare float of five bytes, which is no float.
const unsigned char kFiveBytes[] = {
    0x30, 0x31, 0x02, 0x01, 0x01, 0x04, 0x06, 0x70, 0x75, 0x62, 0x6c, 0x69, 0x63,
    0xa2, 0x24, 0x02, 0x01, 0x01, 0x02, 0x01, 0x00, 0x02, 0x01, 0x00, 0x30, 0x19,
    0x30, 0x17, 0x06, 0x0e, 0x2b, 0x06, 0x01, 0x04, 0x01, 0x83, 0xdf, 0x15, 0x01,
    0x01, 0x04, 0x01, 0x03, 0x00, 0x48, 0x05, 0x41, 0xc8, 0x00, 0x00, 0x00};

// net-snmp's own reading of a datagram, as a v2c session reads an answer; null when it refuses.
netsnmp_pdu* ParseResponse(std::vector<unsigned char> datagram) {
  EnsureNetSnmpReady();
  netsnmp_session session;
  snmp_sess_init(&session);
  session.version = SNMP_VERSION_2c;
  netsnmp_pdu* pdu = snmp_pdu_create(SNMP_MSG_RESPONSE);
  if (snmp_parse(nullptr, &session, pdu, datagram.data(), datagram.size()) != 0) {
    snmp_free_pdu(pdu);
    return nullptr;
  }
  return pdu;
}

uint32_t FloatBits(const netsnmp_variable_list& v) {
  uint32_t bits;
  std::memcpy(&bits, v.val.floatVal, sizeof bits);
  return bits;
}

TEST(BareFloats, ShortLengthsGrowIntoLongOnesAndNetSnmpReadsTheFloats) {
  netsnmp_pdu* refused = ParseResponse({std::begin(kBare), std::end(kBare)});
  EXPECT_EQ(refused, nullptr) << "net-snmp alone reads a bare float";
  if (refused != nullptr) snmp_free_pdu(refused);

  std::vector<unsigned char> buffer(std::begin(kBare), std::end(kBare));
  buffer.resize(sizeof kBare + 64, 0xEE);
  const size_t n = RewriteBareFloats(buffer.data(), sizeof kBare, buffer.size());
  ASSERT_EQ(n, sizeof kBare + 3 * 3 + 2);
  buffer.resize(n);
  // The message and the Response take the long form; everything before them stays.
  EXPECT_EQ(std::vector<unsigned char>(buffer.begin(), buffer.begin() + 11),
            (std::vector<unsigned char>{0x30, 0x81, 0x88, 0x02, 0x01, 0x01, 0x04, 0x00, 0xa2, 0x81,
                                        0x80}));

  netsnmp_pdu* pdu = ParseResponse(buffer);
  ASSERT_NE(pdu, nullptr);
  EXPECT_EQ(pdu->command, SNMP_MSG_RESPONSE);
  EXPECT_EQ(pdu->reqid, 1);
  std::vector<netsnmp_variable_list*> vars;
  for (netsnmp_variable_list* v = pdu->variables; v != nullptr; v = v->next_variable) {
    vars.push_back(v);
  }
  ASSERT_EQ(vars.size(), 4u);
  const uint32_t floats[] = {0x41c80000, 0x7fc12345, 0, 0x80000000};
  for (size_t i = 0; i < 4; ++i) {
    SCOPED_TRACE(i);
    ASSERT_EQ(vars[i]->name_length, 13u);  // 1.3.6.1.4.1.61333.1.1.4.1.LEAF.0
    EXPECT_EQ(vars[i]->name[11], static_cast<oid>(3 + i));
    if (i == 2) {
      EXPECT_EQ(vars[i]->type, ASN_OCTET_STR);
      EXPECT_EQ(std::string(reinterpret_cast<char*>(vars[i]->val.string), vars[i]->val_len),
                "0123456789abcdef");
    } else {
      EXPECT_EQ(vars[i]->type, ASN_OPAQUE_FLOAT);
      EXPECT_EQ(FloatBits(*vars[i]), floats[i]);
    }
  }
  snmp_free_pdu(pdu);

  // Nothing bare is left: a second pass changes nothing.
  std::vector<unsigned char> again = buffer;
  again.resize(buffer.size() + 64);
  EXPECT_EQ(RewriteBareFloats(again.data(), buffer.size(), again.size()), buffer.size());
  EXPECT_TRUE(std::equal(buffer.begin(), buffer.end(), again.begin()));
}

TEST(BareFloats, MessagesThatMustStayAsTheyCame) {
  struct Case {
    const char* what;
    std::vector<unsigned char> message;
    size_t length;
    size_t room;
  };
  std::vector<unsigned char> v3(std::begin(kBare), std::end(kBare));
  v3[4] = 3;  // SNMPv3: authenticated bytes are never touched
  std::vector<unsigned char> request(std::begin(kBare), std::end(kBare));
  request[7] = 0xa0;  // a GetRequest, not a Response
  std::vector<Case> cases = {
      {"no room for the result",
       {std::begin(kBare), std::end(kBare)},
       sizeof kBare,
       sizeof kBare + 10},
      {"SNMPv3", v3, v3.size(), v3.size() + 64},
      {"not a Response", request, request.size(), request.size() + 64},
      {"a bare float of five bytes",
       {std::begin(kFiveBytes), std::end(kFiveBytes)},
       sizeof kFiveBytes,
       sizeof kFiveBytes + 64},
  };
  // Every truncation of the message: the lengths no longer fit.
  for (size_t cut = 0; cut < sizeof kBare; ++cut) {
    cases.push_back({"truncated", {std::begin(kBare), std::begin(kBare) + cut}, cut, cut + 64});
  }
  for (Case& c : cases) {
    SCOPED_TRACE(std::string(c.what) + ", " + std::to_string(c.length) + " bytes");
    const std::vector<unsigned char> before = c.message;
    c.message.resize(c.room, 0xEE);
    EXPECT_EQ(RewriteBareFloats(c.message.data(), c.length, c.room), c.length);
    EXPECT_TRUE(std::equal(before.begin(), before.end(), c.message.begin()));
  }
  // An empty datagram, as an empty buffer hands it over: no pointer at all (under UBSan a scan
  // of it stops the process).
  std::vector<unsigned char> empty;
  EXPECT_EQ(RewriteBareFloats(empty.data(), 0, 0), 0u);
}

}  // namespace
