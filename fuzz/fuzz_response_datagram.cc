// Arbitrary bytes as the datagram answering a walk request.
//
// The datagram first passes through the rewrite of bare 0x48 floats that the device's session
// applies to everything it receives. Given no room to grow, the rewrite must leave the bytes
// alone (every rewrite grows the message), reading nothing past them; given room, it may only
// rewrite what net-snmp would refuse, grow by whole floats, and leave nothing to rewrite a
// second time.
//
// net-snmp then decodes the bytes with the same message parser the device's session uses (an
// SNMPv2c session, as the device opens). When they decode, the PDU goes to the device's own
// response handling twice: first as the answer to a request continuing from the walk root,
// then again as an answer that no longer moves the walk forward. Each time the outcome must
// match the account in fuzz_support.h: only value slots named by storable bindings inside the
// root change, the id and the time stamp never do, and the walk continues only past an
// increasing OID inside the root.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "snmp/bare_floats.h"
#include "fuzz/fuzz_support.h"

namespace {

fuzz::FuzzDevice* TheDevice() {
  // Unit 1, the unit the seed datagrams were recorded from. Lives for the whole process.
  static fuzz::FuzzDevice* device = [] {
    auto* d = new fuzz::FuzzDevice;
    d->Configure(7, 1);
    return d;
  }();
  return device;
}

netsnmp_session* ParseSession() {
  static netsnmp_session* session = [] {
    auto* s = new netsnmp_session;
    snmp_sess_init(s);
    s->version = SNMP_VERSION_2c;
    return s;
  }();
  return session;
}

// Whether net-snmp's parser accepts the datagram (it takes a writable buffer).
bool Parses(std::vector<u_char> datagram) {
  netsnmp_pdu* pdu = snmp_pdu_create(SNMP_MSG_RESPONSE);
  if (pdu == nullptr) return false;
  const bool ok = snmp_parse(nullptr, ParseSession(), pdu, datagram.data(), datagram.size()) == 0;
  snmp_free_pdu(pdu);
  return ok;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::Quiet();
  TheDevice();
  ParseSession();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Exactly the input's bytes, so that a read past them is caught.
  std::vector<u_char> exact(data, data + size);
  FUZZ_CHECK(RewriteBareFloats(exact.data(), size, size) == size);
  FUZZ_CHECK(size == 0 || std::memcmp(exact.data(), data, size) == 0);

  const size_t room = 2 * size + 16;
  std::vector<u_char> datagram(data, data + size);
  datagram.resize(room);
  const size_t length = RewriteBareFloats(datagram.data(), size, room);
  FUZZ_CHECK(length >= size && length <= room);
  datagram.resize(length);
  if (length != size) {
    // Only a message net-snmp refuses is rewritten, growing by three bytes a float at least,
    // and nothing bare is left in it.
    FUZZ_CHECK(!Parses(std::vector<u_char>(data, data + size)));
    FUZZ_CHECK(length - size >= 3);
    std::vector<u_char> again(datagram);
    again.resize(2 * length + 16);
    FUZZ_CHECK(RewriteBareFloats(again.data(), length, again.size()) == length);
  }

  netsnmp_pdu* pdu = snmp_pdu_create(SNMP_MSG_RESPONSE);
  if (pdu == nullptr) return 0;
  const int rc = snmp_parse(nullptr, ParseSession(), pdu, datagram.data(), datagram.size());
  if (rc == 0) {
    fuzz::FuzzDevice& device = *TheDevice();
    fuzz::FillPattern(device.data(), static_cast<uint32_t>(size) * 2654435761u);
    device.StartWalk();
    fuzz::TakeChecked(device, *pdu);
    fuzz::TakeChecked(device, *pdu);
  }
  snmp_free_pdu(pdu);
  return 0;
}
