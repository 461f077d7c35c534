// Misbehaviours the simulated agent can be told to show, to exercise a client's error handling.
//
// A default-constructed Faults means a correct agent. Request numbers are 1-based and count the
// requests received with the right community since the agent started or since the last
// Agent::ResetCounters(). "Leaf L" means the object UnitOid(address, L) of every unit address.
#ifndef SIM_FAULTS_H_
#define SIM_FAULTS_H_

#include <cstdint>

namespace pdusim {

struct Faults {
  // Never answer.
  bool silent = false;
  // When > 0: answer requests 1..N, then stay silent (until SetFaults turns this off).
  uint64_t silent_after = 0;

  // When error_status != 0: requests error_at .. error_at + error_count - 1 (error_count 0 = every
  // request from error_at on) are answered with this error status, error index 1 and the request's
  // own bindings. error_at 0 is treated as 1.
  int error_status = 0;
  uint64_t error_at = 1;
  uint64_t error_count = 1;

  // GETNEXT/GETBULK: every successor is the OID that was asked for (with its value, or INTEGER 0
  // if it holds none), so a walk never advances.
  bool repeat_oid = false;

  // GETNEXT/GETBULK: past the last object of a unit subtree UnitRoot().A, answer with
  // UnitRoot().A.1270.n (INTEGER n) for n = 1, 2, 3 ... instead of leaving the subtree.
  bool endless_subtree = false;

  // When exception_leaf != 0: that leaf is served as this exception (0x80 noSuchObject,
  // 0x81 noSuchInstance, 0x82 endOfMibView) in place of its value, by GET, GETNEXT and GETBULK.
  unsigned exception_leaf = 0;
  uint8_t exception_tag = 0x80;

  // GETBULK: the second binding of every response is kForeignOid (INTEGER 0), outside every unit
  // subtree; the real successors come before and after it.
  bool foreign_binding = false;

  // When > 0: a GETBULK is answered with this many successors of its first binding, whatever its
  // non-repeaters and max-repetitions say.
  unsigned bulk_successors = 0;

  // When != 0: that leaf is sent with the bare application-8 tag 0x48 and 4 bytes (the float 25.0)
  // instead of its value. net-snmp's client rejects such a response as a whole.
  unsigned bare_float_leaf = 0;

  // Every float is sent the older way: the bare application-8 tag 0x48 and its own 4 bytes,
  // instead of the opaque float (0x44 wrapping 9f 78 04).
  bool bare_floats = false;

  // A garbage datagram sent to the requester before the answer, or instead of it.
  enum class Garbage { kNone, kBefore, kInstead };
  Garbage garbage = Garbage::kNone;

  // The answer is replaced by one with a different request id, or cut short.
  enum class Mangle { kNone, kWrongRequestId, kTruncated };
  Mangle mangle = Mangle::kNone;

  // Where answers (and garbage datagrams) are sent from: the agent's own port, another port of
  // the same address, or another address (127.0.0.2 at the agent's port, as an agent bound to
  // the any-address answers; over IPv6, which has one loopback address, another port of ::1).
  // A client that takes answers only from its peer never sees them.
  enum class AnswerFrom { kAgentPort, kOtherPort, kOtherAddress };
  AnswerFrom answer_from = AnswerFrom::kAgentPort;

  // Wait this long before answering each request.
  unsigned delay_ms = 0;

  // When > 0: a GETBULK whose max-repetitions exceeds this is answered with tooBig (1), error
  // index 0 and no bindings.
  unsigned max_repetitions_limit = 0;
};

// The OID the foreign_binding fault inserts: 1.3.6.1.4.1.61333.1.1.5.0.
constexpr uint32_t kForeignOid[] = {1, 3, 6, 1, 4, 1, 61333, 1, 1, 5, 0};

}  // namespace pdusim

#endif  // SIM_FAULTS_H_
