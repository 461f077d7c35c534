// What the libFuzzer targets share: quiet output, a device that exposes its walk state and
// response handling, and the independent account of what taking one response must do.
//
// The account (ExpectedTake) is written from the record's contract, not from the walk's code:
// every binding inside the walk root whose leaf names a slot and whose value is an INTEGER or a
// float of at least 4 bytes sets that slot (later bindings win); nothing else in the record
// changes; the walk continues only when every binding is inside the root, none is an exception
// and the last one moves past the OID the request continued from; and the continuation OID
// moves to the last binding exactly when that binding is inside the root, is no exception, fits
// an OID buffer and increases.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <streambuf>
#include <string>
#include <vector>

#include <json/value.h>

#include "device/SNMP_MARLUXA_AC_POWER.h"
#include "frame/record.h"
#include "host/QRMController.h"

namespace fuzz {

// A violated invariant: report it on the C stream (std::cerr may be silenced) and stop here,
// so that libFuzzer keeps the input as a crash.
[[noreturn]] inline void Fail(const char* what, const char* file, int line) {
  std::fprintf(stderr, "%s:%d: invariant violated: %s\n", file, line, what);
  std::fflush(stderr);
  __builtin_trap();
}

#define FUZZ_CHECK(cond)                                  \
  do {                                                    \
    if (!(cond)) ::fuzz::Fail(#cond, __FILE__, __LINE__); \
  } while (0)

// A stream buffer that accepts and drops everything. It keeps no state, so the device's
// sampling thread and the fuzzing thread may write to it at the same time.
class NullBuffer : public std::streambuf {
 protected:
  int overflow(int c) override { return traits_type::not_eof(c); }
  std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

// Drops the device's and net-snmp's console output, which costs more than a fuzzing iteration.
// QRM_FUZZ_VERBOSE=1 keeps it (useful when replaying one crash input).
inline void Quiet() {
  const char* verbose = std::getenv("QRM_FUZZ_VERBOSE");
  if (verbose != nullptr && verbose[0] == '1') return;
  static NullBuffer null_buffer;
  std::cout.rdbuf(&null_buffer);
  std::cerr.rdbuf(&null_buffer);
  std::clog.rdbuf(&null_buffer);
  EnsureNetSnmpReady();
  netsnmp_register_loghandler(NETSNMP_LOGHANDLER_NONE, LOG_DEBUG);
}

// The walk root the device uses for unit `address`.
inline std::vector<oid> WalkRoot(unsigned char address) {
  return {1, 3, 6, 1, 4, 1, 61333, 1, 1, 4, address};
}

// The device with its protected state in reach.
class FuzzDevice : public SNMP_MARLUXA_AC_POWER {
 public:
  using SNMP_MARLUXA_AC_POWER::TakeResponse;

  // Assigns the id and configures unit `address`, no target address: nothing is ever walked.
  void Configure(unsigned id, unsigned char address, const std::string& b_mode = "") {
    Init(std::weak_ptr<QRMController>(), id, Json::Value());
    Json::Value config(Json::objectValue);
    config["address"] = static_cast<Json::UInt>(address);
    config["appSetting"] = Json::Value(Json::objectValue);
    if (!b_mode.empty()) config["appSetting"]["b_mode"] = b_mode;
    InitSetting(config);
  }

  SNMP_MARLUXA_AC_POWER_Data_t& data() { return m_data; }
  const oid* root() const { return m_root; }
  size_t root_length() const { return m_rootLength; }
  const oid* next_oid() const { return m_oid; }
  size_t next_oid_length() const { return m_oidLength; }
  const netsnmp_session& session() const { return m_session; }
  const std::string& ip() const { return m_ip; }
  unsigned char address() const { return m_address; }
  int mode() const { return m_mode; }
  int use_thread() const { return m_useThread; }
  bool has_thread() const { return m_thread != nullptr; }
  unsigned short signal_no() const { return m_signalNo; }
  size_t rule_count() const { return m_rules.size(); }
  const boost::posix_time::ptime& last_sample_time() const { return m_lastSampleTime; }

  // Where a walk starts: the next request continues from the root.
  void StartWalk() { SetNextOid(m_root, m_rootLength); }
  void SetNextOid(const oid* name, size_t length) {
    if (length > MAX_OID_LEN) length = MAX_OID_LEN;
    std::memcpy(m_oid, name, length * sizeof(oid));
    m_oidLength = length;
  }
};

inline bool InsideRootModel(const netsnmp_variable_list& v, const oid* root, size_t root_length) {
  if (v.name == nullptr || v.name_length < root_length) return false;
  return std::equal(root, root + root_length, v.name);
}

inline bool IsExceptionModel(u_char type) { return type == 0x80 || type == 0x81 || type == 0x82; }

struct TakeOutcome {
  SNMP_MARLUXA_AC_POWER_Data_t record;
  bool more = false;
  std::vector<oid> next_oid;
};

inline TakeOutcome ExpectedTake(const SNMP_MARLUXA_AC_POWER_Data_t& before,
                                const std::vector<oid>& next_before, const oid* root,
                                size_t root_length, const netsnmp_pdu& response) {
  TakeOutcome out;
  std::memcpy(&out.record, &before, sizeof before);
  out.next_oid = next_before;
  if (response.errstat != SNMP_ERR_NOERROR || response.variables == nullptr) return out;

  bool all_inside = true;
  bool any_exception = false;
  const netsnmp_variable_list* last = nullptr;
  for (const netsnmp_variable_list* v = response.variables; v != nullptr; v = v->next_variable) {
    last = v;
    if (!InsideRootModel(*v, root, root_length)) {
      all_inside = false;
      continue;
    }
    if (IsExceptionModel(v->type)) any_exception = true;
    if (v->name_length == root_length) continue;
    const oid leaf = v->name[root_length];
    if (leaf < 1 || leaf > static_cast<oid>(kSlotCount)) continue;
    unsigned char* slot = RecordBytes(out.record) + SlotOffset(static_cast<int>(leaf));
    if (v->type == ASN_INTEGER && v->val.integer != nullptr) {
      const float f = static_cast<float>(static_cast<int32_t>(*v->val.integer));
      std::memcpy(slot, &f, sizeof f);
    } else if ((v->type == 0x48 || v->type == 0x78) && v->val.string != nullptr &&
               v->val_len >= 4) {
      std::memcpy(slot, v->val.string, 4);
    }
  }
  bool advances = false;
  if (InsideRootModel(*last, root, root_length) && !IsExceptionModel(last->type) &&
      last->name_length <= MAX_OID_LEN &&
      snmp_oid_compare(last->name, last->name_length, next_before.data(), next_before.size()) > 0) {
    advances = true;
    out.next_oid.assign(last->name, last->name + last->name_length);
  }
  out.more = all_inside && !any_exception && advances;
  return out;
}

// Hands `response` to the device's response handling and checks the outcome against the
// account above. Returns whether the walk would continue.
inline bool TakeChecked(FuzzDevice& device, const netsnmp_pdu& response) {
  FUZZ_CHECK(device.root_length() == SNMP_MARLUXA_AC_POWER::kRootLength + 1);
  const std::vector<oid> root(device.root(), device.root() + device.root_length());
  const std::vector<oid> next_before(device.next_oid(),
                                     device.next_oid() + device.next_oid_length());
  SNMP_MARLUXA_AC_POWER_Data_t before;
  std::memcpy(&before, &device.data(), sizeof before);
  const TakeOutcome expected =
      ExpectedTake(before, next_before, root.data(), root.size(), response);

  const bool more = device.TakeResponse(response);

  const unsigned char* now = RecordBytes(device.data());
  const unsigned char* was = RecordBytes(before);
  // The id and the time stamp are never a binding's business.
  FUZZ_CHECK(std::memcmp(now, was, 4) == 0);
  FUZZ_CHECK(std::memcmp(now + 5080, was + 5080, kStampSize) == 0);
  // Bit for bit: NaN payloads and -0 must survive.
  FUZZ_CHECK(std::memcmp(now, RecordBytes(expected.record), kRecordSize) == 0);
  FUZZ_CHECK(device.next_oid_length() <= MAX_OID_LEN);
  FUZZ_CHECK(more == expected.more);
  FUZZ_CHECK(device.next_oid_length() == expected.next_oid.size());
  FUZZ_CHECK(std::equal(expected.next_oid.begin(), expected.next_oid.end(), device.next_oid()));
  FUZZ_CHECK(device.root_length() == root.size());
  FUZZ_CHECK(std::equal(root.begin(), root.end(), device.root()));
  return more;
}

// A recognisable record: every byte set, so that a stray write shows.
inline void FillPattern(SNMP_MARLUXA_AC_POWER_Data_t& record, uint32_t seed) {
  unsigned char* bytes = RecordBytes(record);
  uint32_t x = seed | 1u;
  for (size_t i = 0; i < kRecordSize; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    bytes[i] = static_cast<unsigned char>(x);
  }
}

}  // namespace fuzz
