// Test access to a device's protected state, plus bounded waiting helpers.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "device/SNMP_MARLUXA_AC_POWER.h"

// A time-out for walks meant to time out: short, yet far longer than an answer takes.
inline constexpr char kQuickTimeout[] = "\"timeout_ms\":1000";

class DeviceProbe : public SNMP_MARLUXA_AC_POWER {
 public:
  ~DeviceProbe() override { EndSampling(); }
  const SNMP_MARLUXA_AC_POWER_Data_t& data() const { return m_data; }
  SNMP_MARLUXA_AC_POWER_Data_t& data() { return m_data; }
  std::vector<oid> root() const { return std::vector<oid>(m_root, m_root + m_rootLength); }
  const netsnmp_session& session() const { return m_session; }
  const SamplingThread* thread() const { return m_thread.get(); }
  int use_thread() const { return m_useThread; }
  int mode() const { return m_mode; }
  unsigned short counter() const { return m_signalNo; }
  void set_counter(unsigned short c) { m_signalNo = c; }
  void set_progress_bound(std::chrono::milliseconds d) { m_progressBound = d; }
  void set_still_running_every(std::chrono::milliseconds d) { m_stillRunningEvery = d; }
  void set_suggest_fast_request_after(std::chrono::milliseconds d) {
    m_suggestFastRequestAfter = d;
  }
};

// Polls `done` every 5 ms until it holds or `limit` passes; returns its last answer. The limit
// only bounds a wait for something that never comes: it holds under qemu-arm on a busy machine.
inline bool WaitFor(const std::function<bool()>& done,
                    std::chrono::milliseconds limit = std::chrono::seconds(60)) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= end) return done();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// The JSON text of a device configuration for a unit on 127.0.0.1:port. Its time-out (10 s, no
// retry) lets an agent on loopback answer however busy the machine is; a test that wants a walk
// to time out says so in `app_extra` (a later key wins), e.g. with kQuickTimeout.
inline std::string DeviceConfig(unsigned short port, unsigned address,
                                const std::string& app_extra = "", const std::string& extra = "") {
  std::string app = "\"timeout_ms\":10000,\"retries\":0";
  if (!app_extra.empty()) app += "," + app_extra;
  return "{\"ip\":\"127.0.0.1:" + std::to_string(port) +
         "\",\"address\":" + std::to_string(address) + ",\"appSetting\":{" + app + "}" +
         (extra.empty() ? "" : "," + extra) + "}";
}
