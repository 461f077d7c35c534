// Helpers for running the device against SNMP agents that other people wrote (net-snmp's
// snmpd, snmpsim's snmpsimd) on 127.0.0.1, and for reading what net-snmp's own snmpbulkwalk
// sees from the same agent.
//
// Every wait here is bounded in count and time, and every process or thread a helper starts is
// ended by that helper's destructor, also when a test fails half-way.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"

namespace interop {

using ::ChildProcess;
using ::TempDir;

// True when `path` names an executable file.
bool Executable(const std::string& path);

// Writes `text` to `path`; false on failure.
bool WriteFile(const std::string& path, const std::string& text);
// The contents of `path`, or "" when it cannot be read.
std::string ReadFile(const std::string& path);

// A UDP port on 127.0.0.1 that was free a moment ago (the kernel's choice for port 0).
// Another process may take it before the caller binds it; callers retry with a new one.
uint16_t FreeUdpPort();

// Runs `command` through /bin/sh with a bound of `limit_s` seconds (coreutils `timeout`),
// returns its exit status (-1 when it did not exit normally) and its standard output in *out.
int RunCommand(const std::string& command, int limit_s, std::string* out);

// A UDP relay on 127.0.0.1 between clients and one agent, counting the requests it forwards.
// It remembers the last client that sent a request and hands every answer of the agent to that
// client, which is enough for clients that take turns (one walk at a time). Counting at the
// relay measures a client's exchanges without relying on anything the agent reports.
class UdpRelay {
 public:
  explicit UdpRelay(uint16_t agent_port);
  ~UdpRelay();
  UdpRelay(const UdpRelay&) = delete;
  UdpRelay& operator=(const UdpRelay&) = delete;

  bool ok() const { return port_ != 0; }
  uint16_t port() const { return port_; }
  uint64_t requests() const { return requests_.load(); }
  uint64_t answers() const { return answers_.load(); }
  void ResetCounters() {
    requests_ = 0;
    answers_ = 0;
  }

 private:
  void Serve();

  int front_ = -1;     // bound to 127.0.0.1:port_, where clients send
  int upstream_ = -1;  // connected to the agent
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<uint64_t> requests_{0};
  std::atomic<uint64_t> answers_{0};
  std::thread thread_;
};

// One line of snmpbulkwalk -On output: ".OID = TYPE: VALUE" (or ".OID = VALUE" for types that
// print without a label; `type` is then empty).
struct WalkLine {
  std::vector<uint32_t> oid;
  std::string type;   // "INTEGER", "Opaque: Float", "Gauge32", "STRING", ...
  std::string value;  // the text after the type label
};

// Parses every line of `text` that starts with '.' followed by a numeric OID and " = ".
// Lines that report an exception ("No more variables ...", "No Such ...") are skipped.
std::vector<WalkLine> ParseWalk(const std::string& text);

// An independent agent (snmpd or snmpsimd) serving one data set on 127.0.0.1, in a temporary
// directory of its own, with no system configuration. Start tries up to three free ports and
// waits (bounded) until the agent answers a GET of `probe_oid` with community
// kCommunity; the destructor ends the agent.
class ExternalAgent {
 public:
  static constexpr const char* kCommunity = "Tormelix@2027q";
  static constexpr const char* kSnmpd = "/usr/sbin/snmpd";
  // snmpsim's agent: snmpsimd up to snmpsim 0.4, snmpsim-command-responder (the same options)
  // from 1.0 on. The first of the two that is there; the older name when neither is.
  static const char* Snmpsimd();

  ExternalAgent() = default;
  ~ExternalAgent();
  ExternalAgent(const ExternalAgent&) = delete;
  ExternalAgent& operator=(const ExternalAgent&) = delete;

  // snmpd with `override_lines` (one "override OID TYPE VALUE" per line) appended to a config
  // that grants kCommunity read access to everything from 127.0.0.1.
  bool StartSnmpd(const std::string& override_lines, const std::string& probe_oid,
                  std::string* error);
  // snmpd that answers SNMPv3 only: `user_lines` (createUser and rouser lines) take the place of
  // the community. The readiness probe is snmpget with `probe_security` ("-v3 -u NAME ...").
  bool StartSnmpdV3(const std::string& user_lines, const std::string& override_lines,
                    const std::string& probe_oid, const std::string& probe_security,
                    std::string* error);
  // StartSnmpdV3 with the fixed engine ID `engine_id` (a text), as a unit that restarts: with
  // `boots` > 0 the agent starts from persistent state that says it has booted `boots` times
  // (it then counts boots + 1); with 0 it starts from none (boots back at 1). A second call ends
  // the running agent and starts the new one on the same port, so clients see one unit restart.
  bool RestartSnmpdV3(const std::string& user_lines, const std::string& override_lines,
                      const std::string& probe_oid, const std::string& probe_security,
                      const std::string& engine_id, unsigned boots, std::string* error);
  // snmpsimd serving `snmprec` as <kCommunity>.snmprec.
  bool StartSnmpsim(const std::string& snmprec, const std::string& probe_oid, std::string* error);

  uint16_t port() const { return port_; }
  // The agent's own log and output, for failure messages.
  std::string Log() const;

 private:
  using ArgvFor = std::vector<std::string> (*)(const std::string& dir, uint16_t port);
  bool Launch(ArgvFor argv_for, const std::string& probe_oid, std::string* error);
  bool LaunchSnmpd(const std::string& conf, const std::string& probe_oid, std::string* error);
  static std::vector<std::string> SnmpdArgv(const std::string& dir, uint16_t port);

  TempDir dir_;
  std::string conf_path_;    // the agent's SNMPCONFPATH; the temporary directory when empty
  uint16_t fixed_port_ = 0;  // the port to start on; a free one when 0
  std::string probe_security_ = std::string("-v2c -c ") + kCommunity;
  ChildProcess process_;
  uint16_t port_ = 0;
};

}  // namespace interop
