// A simulated SNMPv2c agent serving a Dataset over UDP on 127.0.0.1 (or ::1), on its own thread.
//
// Answers GET, GETNEXT and GETBULK as RFC 3416 describes; SET is refused with notWritable.
// Requests carrying another community, SNMPv1/v3 messages and undecodable datagrams are ignored
// without an answer, as a real agent does. Faults (see sim/faults.h) and the dataset can be
// changed at any time from any thread; each request sees one consistent snapshot of both.
//
// Encoding and decoding go through net-snmp's message calls that keep no session state
// (snmp_comstr_parse, snmp_pdu_parse, snmp_build), so an Agent can share a process with clients
// that use net-snmp's single-session API on other threads.
#ifndef SIM_AGENT_H_
#define SIM_AGENT_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "sim/dataset.h"
#include "sim/faults.h"

namespace pdusim {

constexpr const char kDefaultCommunity[] = "Tormelix@2027q";

// The shape of a request as received (field names avoid net-snmp's PDU macros).
struct RequestShape {
  bool bulk = false;      // GETBULK
  long nonrepeaters = 0;  // GETBULK only
  long repetitions = 0;   // GETBULK only: max-repetitions
  std::size_t bindings = 0;
};

class Agent {
 public:
  explicit Agent(Dataset data, std::string community = kDefaultCommunity);
  Agent(const Agent&) = delete;
  Agent& operator=(const Agent&) = delete;
  // Stops the agent if it is running.
  ~Agent();

  enum class Loopback { kIPv4, kIPv6 };
  // Binds 127.0.0.1:port, or [::1]:port with kIPv6 (0 picks a free port), and starts serving.
  // On failure returns false and sets *error (when given). Calling Start on a running agent
  // fails.
  bool Start(uint16_t port = 0, std::string* error = nullptr, Loopback loopback = Loopback::kIPv4);
  // Stops serving and joins the thread; returns within about 100 ms, even during a delay fault.
  // Safe to call more than once.
  void Stop();
  // The bound port, or 0 before Start.
  uint16_t port() const { return port_; }

  void SetFaults(const Faults& faults);
  Faults faults() const;
  void SetDataset(Dataset data);

  // Requests received with the right community (answered or not) since the start or the last
  // ResetCounters; this is also the count that request-numbered faults use.
  uint64_t requests() const { return requests_.load(); }
  // Answers sent (mangled ones included, garbage datagrams not).
  uint64_t responses() const { return responses_.load(); }
  void ResetCounters();
  // The last request counted by requests() (all zero before the first).
  RequestShape last_request() const;

 private:
  void Serve();
  void Handle(const uint8_t* data, size_t size, const void* peer, unsigned peer_len);
  // Waits up to `ms` milliseconds; false when Stop was asked meanwhile.
  bool Pause(unsigned ms);
  // The socket answers go out on for `from`: the agent's own, or one bound (once, on the agent's
  // thread) to another port or address; the agent's own when that cannot be had.
  int AnswerSocket(Faults::AnswerFrom from);

  const std::string community_;
  mutable std::mutex mu_;
  std::shared_ptr<const Dataset> data_;  // guarded by mu_
  Faults faults_;                        // guarded by mu_
  std::atomic<uint64_t> requests_{0};
  std::atomic<uint64_t> responses_{0};
  RequestShape last_request_;  // guarded by mu_
  int sock_ = -1;
  bool ipv6_ = false;
  int other_port_sock_ = -1;     // Faults::AnswerFrom::kOtherPort, made on first use
  int other_address_sock_ = -1;  // Faults::AnswerFrom::kOtherAddress, made on first use
  int wake_[2] = {-1, -1};       // self-pipe: a byte on wake_[1] ends Serve()
  uint16_t port_ = 0;
  std::thread thread_;
};

}  // namespace pdusim

#endif  // SIM_AGENT_H_
