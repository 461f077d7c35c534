// Arbitrary bytes as the datagram answering a walk request.
//
// net-snmp decodes the bytes with the same message parser the device's session uses (an
// SNMPv2c session, as the device opens). When they decode, the PDU goes to the device's own
// response handling twice: first as the answer to a request continuing from the walk root,
// then again as an answer that no longer moves the walk forward. Each time the outcome must
// match the account in fuzz_support.h: only value slots named by storable bindings inside the
// root change, the id and the time stamp never do, and the walk continues only past an
// increasing OID inside the root.
#include <cstddef>
#include <cstdint>
#include <vector>

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

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::Quiet();
  TheDevice();
  ParseSession();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The parser takes a writable buffer; it must not read past `size` bytes.
  std::vector<u_char> datagram(data, data + size);
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
