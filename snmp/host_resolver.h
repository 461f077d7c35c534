// Finding the address of a unit's host name, in a wait that a stop or a time bound ends at once,
// through a resolver that may be slow, flaky or dark.
//
// glibc's getaddrinfo cannot be interrupted and waits as long as the system's resolver
// configuration says (5 s per attempt and server by default, for each address family). So
// lookups run on a small pool of helper threads shared by the whole process (at most
// kHelperThreads, started as lookups come and ended after kHelperIdle without work), and a
// walking thread waits for its lookup together with the stop signal and the walk's time bound.
// There is at most one lookup per name and family at a time in the process: every walk that asks
// while it runs waits for that one. A wait that a stop or the bound ends leaves the lookup to
// finish alone; nothing of the walk or the device is touched by it, so the device may be
// destroyed meanwhile, and a dark resolver costs at most kHelperThreads threads and no
// descriptor, whatever the number of devices or how often they come and go.
// Once a helper has started, the library that holds its code stays loaded for the rest of the
// process (a host that unloads the plug-in must not take the code from under it).
//
// What a lookup found is kept per name and family:
//   - a lookup that finishes after the bound of the walk that asked is given to that resolver's
//     next walk, when it is at most kLateAnswerFor old, without asking again;
//   - the last address a lookup found is given when a later lookup fails or is late, for at
//     most kLastGoodFor after it was found (Result::last_good says so, with its age); past that
//     the failure is the result.
// Otherwise every Resolve asks afresh (names move).
//
// The lookup asks for what net-snmp would have used: an IPv4 address for "udp:", an IPv6 one for
// "udp6:", and for a name without a prefix IPv4 first and IPv6 only when there is no IPv4
// address, taking the first address each gives.
#pragma once

#include <chrono>
#include <cstdint>
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
    // kFailed, and kAddress with last_good after a failed lookup: the resolver's own words
    // ("Name or service not known"); empty when the lookup was late.
    std::string reason;
    // kAddress: the address is the last one found, because this lookup failed or was late.
    bool last_good = false;
    Clock::duration age{};  // ... and how long ago it was found
  };

  // Stack of a helper thread: glibc's resolver keeps its buffers under 64 KiB of stack.
  static constexpr size_t kStackBytes = 256 * 1024;
  static constexpr int kHelperThreads = 4;
  static constexpr std::chrono::seconds kHelperIdle{30};
  static constexpr std::chrono::minutes kLastGoodFor{10};
  static constexpr std::chrono::minutes kLateAnswerFor{10};

  HostResolver() = default;
  HostResolver(const HostResolver&) = delete;
  HostResolver& operator=(const HostResolver&) = delete;

  // Looks `host` up for `family` and waits until it is answered, `stop` is raised or `deadline`
  // passes. Never throws.
  // The wait takes no descriptor: the lookup's end is told through `stop` (StopSignal::Notify).
  Result Resolve(const std::string& host, Family family, StopSignal& stop,
                 Clock::time_point deadline) noexcept;

  // Helper threads of the process's pool now, and walks inside Resolve now.
  static int HelperThreads();
  static int Waiting();

 private:
  // The lookup this resolver stopped waiting for (0: none), to be taken by its next walk.
  uint64_t pending_ = 0;
  std::string pending_host_;
  Family pending_family_ = Family::kIPv4ThenIPv6;
};
