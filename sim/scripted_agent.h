// An agent whose every answer is written by its caller: a UDP socket on 127.0.0.1, a thread, and
// a script that turns each datagram received into the datagrams sent back (from the agent's own
// port, or from another port of 127.0.0.1).
//
// For scripts that answer SNMP requests by hand, without net-snmp: ReadRequest takes the ids a
// request carries (SNMPv1/v2c with its community, SNMPv3 without encryption with its message id
// and user), and the builders write answers that carry them back: an SNMPv2c Response, and an
// SNMPv3 Report or Response without authentication. This is how a test meets what the simulator
// (sim/agent.h) never sends: SNMPv3 reports, forged or malformed answers in any order.
#ifndef SIM_SCRIPTED_AGENT_H_
#define SIM_SCRIPTED_AGENT_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace pdusim {

struct RequestIds {
  int version = -1;       // the message's version field: 0 (v1), 1 (v2c), 3 (v3)
  long msg_id = 0;        // SNMPv3
  std::string user;       // SNMPv3: the security name
  std::string engine;     // SNMPv3: the authoritative engine ID the request named
  std::string community;  // SNMPv1/v2c
  int pdu = 0;            // the PDU's tag (0xA0 GET, 0xA1 GETNEXT, 0xA5 GETBULK, ...)
  long request_id = 0;
  std::vector<uint32_t> oid;  // the first binding's name, if any
};

// False when `data` is not a request as far as the ids go (an SNMPv3 message whose scoped PDU is
// encrypted included).
bool ReadRequest(const uint8_t* data, size_t size, RequestIds* out);

// An SNMPv2c Response to `r` with one binding: `oid` with the value `value` (complete BER:
// tag, length, content), e.g. "\x82\x00" for endOfMibView.
std::string V2cResponse(const RequestIds& r, const std::vector<uint32_t>& oid,
                        const std::string& value);

// An SNMPv3 message without authentication answering `r` from engine `engine` (boots, time):
// a Report whose one binding is the counter `oid` = 1 (usmStatsUnknownEngineIDs.0 for
// discovery, usmStatsNotInTimeWindows.0, ...), or a Response with one binding as above.
std::string V3Report(const RequestIds& r, const std::string& engine, long boots, long time,
                     const std::vector<uint32_t>& oid);
std::string V3Response(const RequestIds& r, const std::string& engine, long boots, long time,
                       const std::vector<uint32_t>& oid, const std::string& value);

// USM's report counters.
extern const std::vector<uint32_t> kUnknownEngineIds;  // 1.3.6.1.6.3.15.1.1.4.0
extern const std::vector<uint32_t> kNotInTimeWindows;  // 1.3.6.1.6.3.15.1.1.2.0

class ScriptedAgent {
 public:
  struct Datagram {
    std::string bytes;
    bool from_other_port = false;
  };
  // Runs on the agent's thread, once per datagram received.
  using Script = std::function<std::vector<Datagram>(const std::string& received)>;

  // Binds 127.0.0.1 on a free port and starts answering; ok() says whether it could.
  explicit ScriptedAgent(Script script);
  ~ScriptedAgent();  // stops the thread within about 100 ms
  ScriptedAgent(const ScriptedAgent&) = delete;
  ScriptedAgent& operator=(const ScriptedAgent&) = delete;

  bool ok() const { return port_ != 0; }
  uint16_t port() const { return port_; }
  // Datagrams received so far.
  uint64_t received() const { return received_.load(); }

 private:
  void Serve();

  Script script_;
  int sock_ = -1;
  int other_ = -1;  // another port of 127.0.0.1
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<uint64_t> received_{0};
  std::thread thread_;
};

}  // namespace pdusim

#endif  // SIM_SCRIPTED_AGENT_H_
