// Finding the address of a unit's host name, in a wait that a stop or a time bound ends at once.
//
// glibc's getaddrinfo cannot be interrupted and waits as long as the system's resolver
// configuration says (5 s per attempt and server by default, for each address family). So the
// lookup runs on a helper thread of its own, and the walking thread waits for it together with
// the stop signal and the walk's time bound. When either ends the wait, the helper is left to
// finish alone: it holds everything it writes to, and nothing of the walk or the device, so the
// device may be destroyed meanwhile. A helper left running keeps the library that holds its code
// loaded for the rest of the process (a host that unloads the plug-in must not take the code
// from under it). A resolver keeps at most one helper: a walk that finds the lookup of the walk
// before still running for the same name waits for that one instead of starting another, so a
// name that never answers costs one thread, not one per walk. Otherwise every Resolve asks
// afresh (names move).
//
// The lookup asks for what net-snmp would have used: an IPv4 address for "udp:", an IPv6 one for
// "udp6:", and for a name without a prefix IPv4 first and IPv6 only when there is no IPv4
// address, taking the first address each gives.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "util/stop_signal.h"

class HostResolver {
 public:
  using Clock = std::chrono::steady_clock;
  enum class Family { kIPv4ThenIPv6, kIPv4, kIPv6 };

  struct Result {
    enum class Outcome { kAddress, kFailed, kTimedOut, kStopped };
    Outcome outcome = Outcome::kFailed;
    std::string address;  // kAddress: numeric text, "10.0.5.21" or "fd00::21"
    bool ipv6 = false;
    std::string reason;  // kFailed: the resolver's own words ("Name or service not known")
  };

  // Stack of a helper thread: glibc's resolver keeps its buffers under 64 KiB of stack.
  static constexpr size_t kStackBytes = 256 * 1024;

  HostResolver() = default;
  HostResolver(const HostResolver&) = delete;
  HostResolver& operator=(const HostResolver&) = delete;
  ~HostResolver();

  // Looks `host` up for `family` and waits until it is answered, `stop` is raised or `deadline`
  // passes. Never throws.
  Result Resolve(const std::string& host, Family family, const StopSignal& stop,
                 Clock::time_point deadline) noexcept;

 private:
  struct Lookup;
  // Leaves a lookup still running to finish alone.
  void Abandon() noexcept;

  std::shared_ptr<Lookup> lookup_;
};
