// The SNMP semantics of the simulated agent, apart from any wire format: which bindings answer a
// GET, GETNEXT or GETBULK (RFC 3416, section 4.2) over a Dataset, with the data-shaping Faults
// applied (repeat_oid, endless_subtree, exception_leaf, foreign_binding, bulk_successors,
// bare_float_leaf, bare_floats, max_repetitions_limit). Faults that depend on request numbers or
// act on the datagram itself are the Agent's business.
#ifndef SIM_RESPONDER_H_
#define SIM_RESPONDER_H_

#include <cstdint>
#include <vector>

#include "sim/dataset.h"
#include "sim/faults.h"
#include "sim/value.h"

namespace pdusim {

struct Request {
  enum class Command { kGet, kGetNext, kGetBulk, kSet };
  Command command = Command::kGet;
  std::vector<Oid> oids;
  long non_repeaters = 0;    // GETBULK only
  long max_repetitions = 0;  // GETBULK only
};

struct Binding {
  Oid oid;
  Value value;
  uint8_t exception = 0;    // 0x80/0x81/0x82: served instead of `value`
  bool bare_float = false;  // send with tag 0x48 and the 4 bytes of bare_bits (big-endian)
  uint32_t bare_bits = 0;
};

struct Reply {
  long error_status = 0;
  long error_index = 0;
  bool echo_request = false;  // carry the request's own bindings instead of `bindings`
  std::vector<Binding> bindings;
};

constexpr uint8_t kNoSuchObject = 0x80;
constexpr uint8_t kNoSuchInstance = 0x81;
constexpr uint8_t kEndOfMibView = 0x82;

// At most this many bindings go into one response (a GETBULK is cut short beyond it).
constexpr size_t kMaxBindings = 2048;

Reply Respond(const Dataset& data, const Faults& faults, const Request& request);

}  // namespace pdusim

#endif  // SIM_RESPONDER_H_
