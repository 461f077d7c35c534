// Test-side SNMPv2c client for the simulated agent: net-snmp's single-session API for ordinary
// exchanges, plus a raw UDP exchange that returns the datagrams exactly as the agent sent them
// (for faults that a net-snmp client hides by dropping the answer).
#ifndef TESTS_SIM_SNMP_CLIENT_H_
#define TESTS_SIM_SNMP_CLIENT_H_

#include <cstdint>
#include <string>
#include <vector>

#include "sim/agent.h"
#include "sim/dataset.h"

namespace simtest {

using pdusim::Oid;

// Initialises net-snmp once for the whole test process.
void InitNetSnmp();

struct Bound {
  Oid oid;
  int type = 0;             // as net-snmp reports it (ASN_INTEGER, ASN_OPAQUE_FLOAT, 0x80 ...)
  long integer = 0;         // INTEGER, Counter32, Gauge32, TimeTicks
  uint32_t float_bits = 0;  // ASN_OPAQUE_FLOAT: the exact bit pattern
  std::string bytes;        // OCTET STRING, Opaque, IpAddress
};

struct Result {
  int status = -1;  // STAT_SUCCESS, STAT_TIMEOUT or STAT_ERROR
  long reqid = 0;
  long errstat = 0;
  long errindex = 0;
  std::vector<Bound> bindings;
};

class Client {
 public:
  // The default time-out lets an agent on loopback answer however busy the machine is; a
  // client that expects no answer gives a short one.
  Client(uint16_t port, int timeout_ms = 5000,
         const std::string& community = pdusim::kDefaultCommunity);
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;
  ~Client();

  Result Get(const std::vector<Oid>& oids);
  Result GetNext(const std::vector<Oid>& oids);
  Result GetBulk(long non_repeaters, long max_repetitions, const std::vector<Oid>& oids);

 private:
  Result Exchange(int command, long non_repeaters, long max_repetitions,
                  const std::vector<Oid>& oids);
  void* session_ = nullptr;
};

// The encoded SNMPv2c GETBULK request, built by net-snmp.
std::string BuildBulkRequest(long reqid, long non_repeaters, long max_repetitions, const Oid& oid,
                             const std::string& community = pdusim::kDefaultCommunity);
// Sends `request` to 127.0.0.1:port and collects datagrams until none arrives for `quiet_ms`
// (at most 8 datagrams).
std::vector<std::string> RawExchange(uint16_t port, const std::string& request, int quiet_ms);
// Decodes an SNMPv2c response datagram; false when net-snmp cannot parse it.
bool ParseResponse(const std::string& wire, Result* out);

}  // namespace simtest

#endif  // TESTS_SIM_SNMP_CLIENT_H_
