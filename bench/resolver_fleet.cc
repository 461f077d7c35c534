// resolver_fleet: what host names cost a fleet when the resolver is dark.
//
//   resolver_fleet [--devices N] [--named M] [--names K] [--seconds S] [--cycles C]
//
// N own-thread devices (default 1000) in one process, every one facing a unit that never
// answers (a UDP socket on 127.0.0.1 that takes datagrams): N - M (default 500) by address, M
// (default 500) by K distinct host names (default M) whose lookups never answer (the test
// resolver of tests/support/resolver_fault.h). The process's thread and descriptor counts are
// read with the address devices alone, then with every device, both after S seconds (default
// 12) of walking (each walk waits 60 s for its unit or its lookup, so both counts see every
// walk waiting); then C (default 200) devices at dark names are created and destroyed one
// after another, each once its walk waits for its lookup, and the counts are read again.
// Results are "RESULT key value" lines on standard output; the devices' own lines go to
// /dev/null.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <json/reader.h>

#include "device/SNMP_MARLUXA_AC_POWER.h"
#include "snmp/host_resolver.h"
#include "tests/support/resolver_fault.h"
#include "tests/support/silent_peer.h"

namespace {

long Entries(const char* dir) {
  long n = 0;
  if (DIR* d = opendir(dir)) {
    while (const dirent* e = readdir(d)) n += e->d_name[0] != '.';
    closedir(d);
  }
  return n - (std::strcmp(dir, "/proc/self/fd") == 0 ? 1 : 0);  // opendir's own
}

std::unique_ptr<SNMP_MARLUXA_AC_POWER> Device(const std::string& ip) {
  Json::Value config;
  Json::Reader().parse(R"({"address":1,"appSetting":{"use_thread":1,"timeout_ms":60000,)"
                       R"("retries":0},"ip":")" +
                           ip + "\"}",
                       config);
  auto d = std::make_unique<SNMP_MARLUXA_AC_POWER>();
  d->InitSetting(config);
  return d;
}

bool WaitFor(bool (*done)(), double seconds) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  long n = 1000, named = 500, names = -1, cycles = 200;
  double seconds = 12;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string flag = argv[i];
    if (flag == "--devices")
      n = std::atol(argv[i + 1]);
    else if (flag == "--named")
      named = std::atol(argv[i + 1]);
    else if (flag == "--names")
      names = std::atol(argv[i + 1]);
    else if (flag == "--seconds")
      seconds = std::atof(argv[i + 1]);
    else if (flag == "--cycles")
      cycles = std::atol(argv[i + 1]);
    else {
      std::fprintf(stderr, "resolver_fleet: unknown flag %s\n", argv[i]);
      return 2;
    }
  }
  if (names <= 0) names = named;
  std::FILE* out = fdopen(dup(STDOUT_FILENO), "w");
  const int null = open("/dev/null", O_WRONLY);
  dup2(null, STDOUT_FILENO);
  dup2(null, STDERR_FILENO);
  auto result = [out](const char* key, double value) {
    std::fprintf(out, "RESULT %s %g\n", key, value);
    std::fflush(out);
  };

  SilentUdpPeer unit;
  for (long k = 0; k < names; ++k) HangingHost("unit-" + std::to_string(k) + ".dark");
  const long threads0 = Entries("/proc/self/task"), fds0 = Entries("/proc/self/fd");
  std::vector<std::unique_ptr<SNMP_MARLUXA_AC_POWER>> fleet;
  for (long i = 0; i < n - named; ++i) fleet.push_back(Device(unit.peer()));
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  const long threads1 = Entries("/proc/self/task"), fds1 = Entries("/proc/self/fd");
  for (long i = 0; i < named; ++i) {
    fleet.push_back(Device("unit-" + std::to_string(i % names) + ".dark:161"));
  }
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  const long threads2 = Entries("/proc/self/task"), fds2 = Entries("/proc/self/fd");
  result("devices", n);
  result("named_devices", named);
  result("names", names);
  result("threads_before", threads0);
  result("descriptors_before", fds0);
  result("threads_address_devices", threads1 - threads0);
  result("descriptors_address_devices", fds1 - fds0);
  result("threads_all_devices", threads2 - threads0);
  result("descriptors_all_devices", fds2 - fds0);
  result("threads_per_named_device", static_cast<double>(threads2 - threads1) / named);
  result("descriptors_per_named_device", static_cast<double>(fds2 - fds1) / named);
  result("resolver_helpers", HostResolver::HelperThreads());
  fleet.clear();

  const long threads3 = Entries("/proc/self/task"), fds3 = Entries("/proc/self/fd");
  long waited = 0;
  for (long c = 0; c < cycles; ++c) {
    auto d = Device("churn-" + std::to_string(c) + ".dark:161");
    HangingHost("churn-" + std::to_string(c) + ".dark");
    waited += WaitFor([] { return HostResolver::Waiting() == 1; }, 10) ? 1 : 0;
    d.reset();
  }
  result("churn_cycles", cycles);
  result("churn_cycles_that_waited_for_a_lookup", waited);
  result("churn_threads_left", Entries("/proc/self/task") - threads3);
  result("churn_descriptors_left", Entries("/proc/self/fd") - fds3);
  result("resolver_helpers_after_churn", HostResolver::HelperThreads());
  ReleaseHangingLookups();
  return 0;
}
