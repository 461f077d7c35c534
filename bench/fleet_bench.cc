// fleet_bench: many devices in one host process, created through the real plug-in module.
//
//   fleet_bench memory  [--devices N] [--plugin PATH]
//       N host-driven devices (default 500) created and configured; resident memory (VmRSS) per
//       device before/after, and again after one round each (a cache restore, no network).
//
//   fleet_bench threads --port PORT [--devices N] [--units U] [--seconds S] [--cycles C]
//                       [--rounds R] [--max-repetitions R] [--agent-pid PID] [--reserve-mib M]
//                       [--mode M] [--plugin PATH] [--settings 'JSON MEMBERS'] [--address A]
//                       [--delay-ms MS] [--dark D]
//       N own-thread devices (default 200) run by qrmhost's run command in this process, as
//       `qrmhost run` runs them, against the agent at 127.0.0.1:PORT, device i walking unit
//       address ((i - 1) mod U) + 1 (U default min(N, 255); all A with --address), on their
//       normal schedule for S seconds (default 17), or with --rounds until every device has
//       published R rounds (S then bounds the run); the sampling threads that started; rounds
//       per device counted by a host observer, and the devices with fewer than C rounds
//       (default 3); qrmhost's exit status; the process's peak thread and descriptor counts and
//       its peak address space (sampled every 50 ms; the address space also per device, over
//       what the process held before the run); process CPU per walk and CPU share; with
//       --agent-pid, the agent process's CPU share over the same window; failed exchanges and
//       failed rounds the devices reported; UDP datagrams the system dropped for a full receive
//       buffer (all sockets), in the first 2 s and in total. The descriptor limit is raised to
//       its hard limit first: every device holds a descriptor, and one more while it walks.
//       --reserve-mib takes M MiB of address space (inaccessible, never backed) before the run:
//       a 32-bit process under qemu-arm has 4 GiB, and with 1024 reserved it has the 3 GiB a
//       unit's kernel leaves its processes. --mode sets the devices' b_mode (default 2: every
//       round reports the 429 alarm signals). --settings adds appSetting members (an SNMPv3
//       identity, say); --delay-ms sends every datagram through a relay that holds it MS ms each
//       way; --dark adds D more devices with the same settings whose unit never answers (not
//       counted).
//
//   fleet_bench destroy [--devices N] [--settings 'JSON MEMBERS'] [--plugin PATH]
//       N own-thread devices (default 10) whose unit never answers, destroyed together once
//       each has sent its first request: milliseconds per device.
//
// The devices' progress lines go to /dev/null; results are "RESULT key value" lines on the
// original standard output. Exit status 0, 1 on a failure to load or configure, 2 on bad
// arguments.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/delay_proxy.h"
#include "bench/plugin_host.h"
#include "frame/record.h"
#include "host/HostObserver.h"
#include "tools/qrmhost/run_command.h"

namespace {

using Clock = std::chrono::steady_clock;

int g_report_fd = -1;

void Result(const std::string& key, double value) {
  dprintf(g_report_fd, "RESULT %s %.6g\n", key.c_str(), value);
}

// Standard output to /dev/null; results keep the original.
bool SilenceStdout() {
  std::cout.flush();
  g_report_fd = dup(STDOUT_FILENO);
  const int null_fd = open("/dev/null", O_WRONLY);
  if (g_report_fd < 0 || null_fd < 0 || dup2(null_fd, STDOUT_FILENO) < 0) return false;
  close(null_fd);
  return true;
}

// VmRSS of this process in KiB, or -1.
long ResidentKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return -1;
}

double ProcessCpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// utime + stime of another process in seconds, or -1.
double OtherProcessCpuSeconds(long pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  if (!std::getline(stat, text)) return -1;
  const size_t paren = text.rfind(')');
  if (paren == std::string::npos) return -1;
  std::istringstream rest(text.substr(paren + 2));
  std::string field;
  double ticks = 0;
  // Fields after the name start at 3 (state); utime and stime are fields 14 and 15.
  for (int index = 3; index <= 15 && rest >> field; ++index) {
    if (index >= 14) ticks += std::atof(field.c_str());
  }
  return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// The system-wide count of UDP datagrams dropped for a full receive buffer, or -1.
long UdpReceiveBufferDrops() {
  std::ifstream snmp("/proc/net/snmp");
  std::string header, values;
  while (std::getline(snmp, header)) {
    if (header.rfind("Udp:", 0) != 0) continue;
    if (!std::getline(snmp, values)) break;
    std::istringstream names(header), numbers(values);
    std::string name, number;
    while (names >> name && numbers >> number) {
      if (name == "RcvbufErrors") return std::atol(number.c_str());
    }
    break;
  }
  return -1;
}

// Standard output or error (`fd`, with its stream) into a temporary file while the devices
// run, then counted by kind of line.
class LineCapture {
 public:
  LineCapture(int fd, std::ostream& stream) : fd_(fd), stream_(stream) {
    stream_.flush();
    file_ = std::tmpfile();
    saved_ = dup(fd_);
    if (file_ != nullptr && saved_ >= 0) dup2(fileno(file_), fd_);
  }
  ~LineCapture() { Restore(); }
  void Restore() {
    if (saved_ < 0) return;
    stream_.flush();
    dup2(saved_, fd_);
    close(saved_);
    saved_ = -1;
  }
  // Lines that start with `prefix`, of everything captured.
  long Count(const std::string& prefix) const {
    if (file_ == nullptr) return -1;
    std::rewind(file_);
    long n = 0;
    char line[512];
    while (std::fgets(line, sizeof line, file_) != nullptr) {
      if (std::strncmp(line, prefix.c_str(), prefix.size()) == 0) ++n;
    }
    return n;
  }

 private:
  const int fd_;
  std::ostream& stream_;
  std::FILE* file_ = nullptr;
  int saved_ = -1;
};

// The number of entries of a /proc folder (threads in task/, descriptors in fd/), or -1.
long EntriesOf(const char* folder) {
  DIR* dir = opendir(folder);
  if (dir == nullptr) return -1;
  long n = 0;
  while (const dirent* e = readdir(dir)) {
    if (e->d_name[0] != '.') ++n;
  }
  closedir(dir);
  return n - (std::strcmp(folder, "/proc/self/fd") == 0 ? 1 : 0);  // the one opendir holds
}

// The address space the process has mapped, in KiB (the sum of /proc/self/maps, which qemu-arm
// gives as the emulated process sees it), or -1.
long AddressSpaceKiB() {
  std::ifstream maps("/proc/self/maps");
  std::string line;
  unsigned long long total = 0;
  bool any = false;
  while (std::getline(maps, line)) {
    unsigned long long from = 0, to = 0;
    if (std::sscanf(line.c_str(), "%llx-%llx", &from, &to) == 2 && to > from) {
      total += to - from;
      any = true;
    }
  }
  return any ? static_cast<long>(total / 1024) : -1;
}

// The process's peak thread and descriptor counts and address space, sampled every 50 ms until
// destroyed.
class PeakSampler {
 public:
  PeakSampler() : thread_([this] { Run(); }) {}
  ~PeakSampler() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      stop_ = true;
    }
    wake_.notify_all();
    thread_.join();
  }
  long threads() const {
    std::lock_guard<std::mutex> lock(mu_);
    return threads_;
  }
  long descriptors() const {
    std::lock_guard<std::mutex> lock(mu_);
    return descriptors_;
  }
  long address_space_kib() const {
    std::lock_guard<std::mutex> lock(mu_);
    return address_space_kib_;
  }

 private:
  void Run() {
    std::unique_lock<std::mutex> lock(mu_);
    while (!stop_) {
      lock.unlock();
      const long t = EntriesOf("/proc/self/task"), d = EntriesOf("/proc/self/fd");
      const long a = AddressSpaceKiB();
      lock.lock();
      threads_ = std::max(threads_, t);
      descriptors_ = std::max(descriptors_, d);
      address_space_kib_ = std::max(address_space_kib_, a);
      wake_.wait_for(lock, std::chrono::milliseconds(50), [this] { return stop_; });
    }
  }
  mutable std::mutex mu_;
  std::condition_variable wake_;
  bool stop_ = false;
  long threads_ = 0, descriptors_ = 0, address_space_kib_ = 0;
  std::thread thread_;
};

// Maps `mib` MiB of inaccessible, unbacked address space in 16 MiB pieces (so that a
// fragmented address space serves too); returns the MiB mapped. They stay mapped until exit.
long ReserveAddressSpace(long mib) {
  constexpr long kPiece = 16;
  long reserved = 0;
  for (; reserved + kPiece <= mib; reserved += kPiece) {
    void* p = mmap(nullptr, static_cast<size_t>(kPiece) << 20, PROT_NONE,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (p == MAP_FAILED) break;
  }
  return reserved;
}

// Raises the soft descriptor limit to the hard one; returns the soft limit then in force.
long RaiseDescriptorLimit() {
  rlimit r{};
  if (getrlimit(RLIMIT_NOFILE, &r) != 0) return -1;
  if (r.rlim_cur != r.rlim_max) {
    r.rlim_cur = r.rlim_max;
    setrlimit(RLIMIT_NOFILE, &r);
    getrlimit(RLIMIT_NOFILE, &r);
  }
  return r.rlim_cur == RLIM_INFINITY ? -1 : static_cast<long>(r.rlim_cur);
}

double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// Round ends per device id, as times since the start of the run. Thread-safe.
class RoundClock : public HostObserver {
 public:
  explicit RoundClock(Clock::time_point start) : start_(start) {}
  void OnSaveDeviceHistory(const QRMVDevice& device, std::vector<unsigned char>) override {
    const double t = std::chrono::duration<double>(Clock::now() - start_).count();
    std::lock_guard<std::mutex> lock(mu_);
    ends_[device.DataId()].push_back(t);
  }
  // The devices that have ended a round.
  size_t Devices() const {
    std::lock_guard<std::mutex> lock(mu_);
    return ends_.size();
  }
  std::map<unsigned, std::vector<double>> Ends() const {
    std::lock_guard<std::mutex> lock(mu_);
    return ends_;
  }

 private:
  const Clock::time_point start_;
  mutable std::mutex mu_;
  std::map<unsigned, std::vector<double>> ends_;
};

struct Options {
  std::string mode;
  std::string plugin = QRM_DEFAULT_PLUGIN;
  unsigned port = 0;
  unsigned devices = 0;
  unsigned units = 0;
  long reserve_mib = 0;
  unsigned rounds = 0;  // threads: 0 runs for `seconds`
  int b_mode = 2;
  double seconds = 17;
  unsigned repetitions = 0;
  long agent_pid = 0;
  size_t cycles = 3;
  std::string settings;  // appSetting members added to every device's
  unsigned address = 0;  // every device's unit address; 0: device i walks address i
  double delay_ms = 0;   // one-way delay of a relay between devices and agent
  unsigned dark = 0;     // devices whose unit never answers, beside the counted ones
};

// A UDP socket on 127.0.0.1 that takes datagrams and never answers: a unit gone dark.
class SilentUnit {
 public:
  SilentUnit() {
    fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) == 0) {
      port_ = ntohs(a.sin_port);
    }
  }
  ~SilentUnit() {
    if (fd_ >= 0) close(fd_);
  }
  unsigned port() const { return port_; }
  // Waits up to `limit` for `n` datagrams in all, reading them; returns how many came.
  unsigned Await(unsigned n, std::chrono::milliseconds limit) {
    unsigned seen = 0;
    const auto end = Clock::now() + limit;
    unsigned char buf[2048];
    while (seen < n && Clock::now() < end) {
      pollfd p = {fd_, POLLIN, 0};
      if (poll(&p, 1, 10) > 0) {
        while (recv(fd_, buf, sizeof buf, MSG_DONTWAIT) >= 0) ++seen;
      }
    }
    return seen;
  }

 private:
  int fd_ = -1;
  unsigned port_ = 0;
};

std::string AppSettings(const std::string& base, const Options& o) {
  return o.settings.empty() ? base : base + "," + o.settings;
}

int Memory(const Options& o) {
  PluginHost host;
  std::string error;
  if (!host.Load(o.plugin, &error)) {
    std::cerr << "fleet_bench: " << error << std::endl;
    return 1;
  }
  const unsigned n = o.devices != 0 ? o.devices : 500;
  auto config_of = [&](unsigned id) {
    return ParseJson(DeviceJson(id, 16100, id % 256, R"("b_mode":2,"use_thread":0)"), &error);
  };
  // One device made and dropped first: the library's once-only state is not a device's.
  {
    auto warm = host.Create();
    warm->Init(std::weak_ptr<QRMController>(), 0, config_of(0));
    warm->InitSetting(config_of(0));
  }
  std::vector<Json::Value> configs;
  for (unsigned i = 1; i <= n; ++i) configs.push_back(config_of(i));
  std::vector<std::unique_ptr<QRMSocketDevice>> devices;
  devices.reserve(n);

  const long before = ResidentKiB();
  for (unsigned i = 1; i <= n; ++i) {
    devices.push_back(host.Create());
    devices.back()->Init(std::weak_ptr<QRMController>(), i, configs[i - 1]);
    if (!devices.back()->InitSetting(configs[i - 1])) {
      std::cerr << "fleet_bench: device " << i << " rejected its configuration" << std::endl;
      return 1;
    }
  }
  const long configured = ResidentKiB();

  // One round each through a cache restore: the host learns the device's 429 signals.
  SNMP_MARLUXA_AC_POWER_Data_t image{};
  SetSlot(image, 1, 1.0f);
  for (unsigned i = 0; i < n; ++i) {
    SetRecordId(image, i + 1);
    devices[i]->LoadFromCache(RecordBytes(image), static_cast<int>(sizeof image));
  }
  const long after_round = ResidentKiB();

  const double per_device = static_cast<double>(configured - before) * 1024.0 / n;
  const double per_device_round = static_cast<double>(after_round - before) * 1024.0 / n;
  Result("memory_devices", n);
  Result("memory_rss_before_kib", static_cast<double>(before));
  Result("memory_rss_configured_kib", static_cast<double>(configured));
  Result("memory_rss_after_round_kib", static_cast<double>(after_round));
  Result("memory_record_bytes", static_cast<double>(sizeof(SNMP_MARLUXA_AC_POWER_Data_t)));
  Result("memory_per_device_bytes", per_device);
  Result("memory_beyond_record_bytes", per_device - sizeof(SNMP_MARLUXA_AC_POWER_Data_t));
  Result("memory_per_device_after_round_bytes", per_device_round);
  Result("memory_beyond_record_after_round_bytes",
         per_device_round - sizeof(SNMP_MARLUXA_AC_POWER_Data_t));
  devices.clear();
  return 0;
}

// A file of the bench's own under /tmp holding `text`, removed with the object.
class TempFile {
 public:
  explicit TempFile(const std::string& text) {
    char name[] = "/tmp/fleet_bench.XXXXXX";
    const int fd = mkstemp(name);
    if (fd < 0) return;
    path_ = name;
    const bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    if (!written) path_.clear();
  }
  ~TempFile() {
    if (!path_.empty()) unlink(path_.c_str());
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

int Threads(const Options& o) {
  if (o.port == 0 || o.port > 65535 || o.seconds <= 0) {
    std::cerr << "fleet_bench threads: --port 1..65535 and --seconds > 0 required" << std::endl;
    return 2;
  }
  const unsigned n = o.devices != 0 ? o.devices : 200;
  const unsigned units = o.units != 0 ? o.units : std::min(n, 255u);
  std::string app = AppSettings("\"b_mode\":" + std::to_string(o.b_mode) + ",\"use_thread\":1", o);
  if (o.repetitions > 0) app += ",\"max_repetitions\":" + std::to_string(o.repetitions);
  std::unique_ptr<DelayProxy> proxy;
  unsigned port = o.port;
  if (o.delay_ms > 0) {
    proxy = std::make_unique<DelayProxy>(
        o.port, std::chrono::microseconds(static_cast<long long>(o.delay_ms * 1000)));
    if (proxy->port() == 0) {
      std::cerr << "fleet_bench: the delaying relay did not start" << std::endl;
      return 1;
    }
    port = proxy->port();
  }
  SilentUnit silent;
  std::string devices;
  for (unsigned i = 1; i <= n + o.dark; ++i) {
    const bool dark = i > n;
    const unsigned address = o.address != 0 ? o.address : (i - 1) % units + 1;
    devices += (i > 1 ? ",\n" : "") + DeviceJson(i, dark ? silent.port() : port, address, app);
  }
  const TempFile config("{\"devices\": [\n" + devices + "\n]}\n");
  if (config.path().empty()) {
    std::perror("fleet_bench: writing the device file");
    return 1;
  }
  const long descriptor_limit = RaiseDescriptorLimit();
  const long reserved_mib = ReserveAddressSpace(o.reserve_mib);

  LineCapture lines(STDOUT_FILENO, std::cout);   // thread and round failures are named there
  LineCapture errors(STDERR_FILENO, std::cerr);  // the devices report failed exchanges there
  PeakSampler peaks;
  const long drops0 = UdpReceiveBufferDrops();
  long burst_drops = -1;
  // Drops this early come from the burst of every device's first request at once.
  std::thread burst([&] {
    std::this_thread::sleep_for(std::chrono::duration<double>(std::min(2.0, o.seconds)));
    burst_drops = UdpReceiveBufferDrops() - drops0;
  });
  const long space0 = AddressSpaceKiB();
  const auto start = Clock::now();
  auto clock = std::make_shared<RoundClock>(start);
  const double cpu0 = ProcessCpuSeconds();
  const double agent0 = o.agent_pid > 0 ? OtherProcessCpuSeconds(o.agent_pid) : -1;

  RunOptions run;
  run.plugin = o.plugin;
  run.config = config.path();
  run.rounds = o.rounds;
  run.timeout = o.seconds;
  const int status = RunCommand(run, clock);

  const double wall = std::chrono::duration<double>(Clock::now() - start).count();
  const double cpu = ProcessCpuSeconds() - cpu0;
  const double agent = o.agent_pid > 0 ? OtherProcessCpuSeconds(o.agent_pid) - agent0 : -1;
  const auto ends = clock->Ends();
  burst.join();
  const long drops = UdpReceiveBufferDrops() - drops0;
  errors.Restore();
  lines.Restore();
  const long not_started = lines.Count("SNMP_MARLUXA_AC_POWER: sampling thread not started");

  // Rounds per device; gaps between a device's consecutive rounds; the first round's end.
  size_t walks = 0, min_rounds = SIZE_MAX, max_rounds = 0, short_devices = 0;
  std::vector<double> gaps, firsts;
  for (unsigned i = 1; i <= n; ++i) {
    auto it = ends.find(i);
    const size_t rounds = it == ends.end() ? 0 : it->second.size();
    walks += rounds;
    min_rounds = std::min(min_rounds, rounds);
    max_rounds = std::max(max_rounds, rounds);
    if (rounds < o.cycles) ++short_devices;
    if (rounds == 0) continue;
    firsts.push_back(it->second.front());
    for (size_t k = 1; k < rounds; ++k) gaps.push_back(it->second[k] - it->second[k - 1]);
  }
  const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
  const double space_mib = static_cast<double>(peaks.address_space_kib() - space0) / 1024.0;
  Result("threads_devices", n);
  Result("threads_units", units);
  Result("threads_b_mode", o.b_mode);
  Result("threads_qrmhost_status", status);
  Result("threads_reserved_mib", static_cast<double>(reserved_mib));
  Result("threads_started", static_cast<double>(n + o.dark - not_started));
  Result("threads_peak_threads", static_cast<double>(peaks.threads()));
  Result("threads_peak_descriptors", static_cast<double>(peaks.descriptors()));
  Result("threads_descriptor_limit", static_cast<double>(descriptor_limit));
  Result("threads_address_space_before_mib", static_cast<double>(space0) / 1024.0);
  Result("threads_address_space_peak_mib", static_cast<double>(peaks.address_space_kib()) / 1024.0);
  Result("threads_address_space_mib_per_device", space_mib / (n + o.dark));
  Result("threads_rounds_failed",
         static_cast<double>(lines.Count("SNMP_MARLUXA_AC_POWER: round failed")));
  Result("threads_max_repetitions", o.repetitions);
  Result("threads_wall_s", wall);
  Result("threads_walks", static_cast<double>(walks));
  Result("threads_rounds_min", static_cast<double>(min_rounds));
  Result("threads_rounds_max", static_cast<double>(max_rounds));
  Result("threads_cycles", o.cycles);
  Result("threads_devices_short_of_cycles", static_cast<double>(short_devices));
  Result("threads_first_round_median_s", Median(firsts));
  Result("threads_first_round_max_s",
         firsts.empty() ? 0 : *std::max_element(firsts.begin(), firsts.end()));
  Result("threads_period_median_s", Median(gaps));
  Result("threads_period_max_s", gaps.empty() ? 0 : *std::max_element(gaps.begin(), gaps.end()));
  Result("threads_cpu_s", cpu);
  Result("threads_cpu_ms_per_walk", walks != 0 ? cpu * 1000.0 / static_cast<double>(walks) : 0);
  Result("threads_cpu_share", cpu / wall / cores);
  Result("threads_cores", cores);
  if (agent >= 0) Result("threads_agent_cpu_share_of_one_core", agent / wall);
  Result("threads_timeouts", static_cast<double>(errors.Count("Timeout:")));
  if (drops0 >= 0) {
    Result("threads_udp_rcvbuf_drops", static_cast<double>(drops));
    Result("threads_udp_rcvbuf_drops_first_2s", static_cast<double>(burst_drops));
  }
  return 0;
}

int Destroy(const Options& o) {
  PluginHost host;
  std::string error;
  if (!host.Load(o.plugin, &error)) {
    std::cerr << "fleet_bench: " << error << std::endl;
    return 1;
  }
  const unsigned n = o.devices != 0 ? o.devices : 10;
  SilentUnit silent;
  const std::string app = AppSettings(R"("use_thread":1)", o);
  LineCapture errors(STDERR_FILENO, std::cerr);  // the devices report failed exchanges there
  std::vector<std::unique_ptr<QRMSocketDevice>> devices;
  for (unsigned i = 1; i <= n; ++i) {
    const Json::Value config = ParseJson(DeviceJson(i, silent.port(), 1, app), &error);
    devices.push_back(host.Create());
    devices.back()->Init(std::weak_ptr<QRMController>(), i, config);
    devices.back()->InitSetting(config);
  }
  const unsigned sent = silent.Await(n, std::chrono::seconds(5));
  const auto start = Clock::now();
  devices.clear();
  const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  errors.Restore();
  Result("destroy_devices", n);
  Result("destroy_first_requests_seen", sent);
  Result("destroy_ms_total", ms);
  Result("destroy_ms_per_device", ms / n);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (argc < 2) {
    std::cerr << "usage: fleet_bench memory|threads|destroy [options] (see the source)"
              << std::endl;
    return 2;
  }
  o.mode = argv[1];
  for (int i = 2; i < argc; i += 2) {
    const std::string flag = argv[i];
    if (i + 1 >= argc) {
      std::cerr << "fleet_bench: " << flag << " needs a value" << std::endl;
      return 2;
    }
    const char* v = argv[i + 1];
    if (flag == "--plugin") {
      o.plugin = v;
    } else if (flag == "--port") {
      o.port = static_cast<unsigned>(std::atoi(v));
    } else if (flag == "--devices") {
      o.devices = static_cast<unsigned>(std::atoi(v));
    } else if (flag == "--mode") {
      o.b_mode = std::atoi(v);
    } else if (flag == "--rounds") {
      o.rounds = static_cast<unsigned>(std::atoi(v));
    } else if (flag == "--reserve-mib") {
      o.reserve_mib = std::atol(v);
    } else if (flag == "--units") {
      o.units = static_cast<unsigned>(std::atoi(v));
    } else if (flag == "--seconds") {
      o.seconds = std::atof(v);
    } else if (flag == "--max-repetitions") {
      o.repetitions = static_cast<unsigned>(std::atoi(v));
    } else if (flag == "--cycles") {
      o.cycles = static_cast<size_t>(std::atoi(v));
    } else if (flag == "--agent-pid") {
      o.agent_pid = std::atol(v);
    } else if (flag == "--settings") {
      o.settings = v;
    } else if (flag == "--address") {
      o.address = static_cast<unsigned>(std::atoi(v));
    } else if (flag == "--delay-ms") {
      o.delay_ms = std::atof(v);
    } else if (flag == "--dark") {
      o.dark = static_cast<unsigned>(std::atoi(v));
    } else {
      std::cerr << "fleet_bench: unknown option " << flag << std::endl;
      return 2;
    }
  }
  if (o.mode != "memory" && o.mode != "threads" && o.mode != "destroy") {
    std::cerr << "fleet_bench: unknown mode " << o.mode << std::endl;
    return 2;
  }
  if (o.mode == "threads" && (o.devices > 5000 || o.units > 255 || o.seconds > 3600)) {
    std::cerr << "fleet_bench: at most 5000 devices, 255 unit addresses and 3600 s" << std::endl;
    return 2;
  }
  if (!SilenceStdout()) {
    std::perror("fleet_bench: redirecting standard output");
    return 1;
  }
  if (o.mode == "memory") return Memory(o);
  return o.mode == "threads" ? Threads(o) : Destroy(o);
}
