// exchange_cpu: CPU and context switches per exchange of the default walk (one GETBULK with
// non-repeaters 1 and max-repetitions 100 per leaf), for the plug-in, for a floor client and
// for any other walker run as a child process.
//
//   exchange_cpu floor --port PORT [--address A] [--community TEXT]
//       The floor client: one walk of unit A's subtree at 127.0.0.1:PORT with an unconnected UDP
//       socket and one sendto, poll and recvfrom per exchange, sending the request bytes a
//       net-snmp client sends (encoded here by hand, no library) and decoding no more of the
//       answer than the walk needs to go on: what the kernel costs per exchange, plus a few
//       hundred instructions.
//
//   exchange_cpu floor-fleet --port PORT [--threads N] [--units U] [--seconds S]
//       N floor clients on threads of their own, client i walking unit ((i - 1) mod U) + 1, each
//       walk followed by a 5 s pause, as own-thread devices are scheduled, for S seconds.
//
//   exchange_cpu devices --port PORT [--devices N] [--units U] [--seconds S] [--plugin PATH]
//       N own-thread devices of the real plug-in module (default request, b_mode 2), device i
//       walking unit ((i - 1) mod U) + 1, on their own schedule for S seconds.
//
//   exchange_cpu run [--units U --seconds S] -- COMMAND ARGS...
//       Runs COMMAND with standard output on /dev/null and reports its CPU time and context
//       switches. With --units, runs U copies at once for S seconds, copy i with every "{}" in
//       ARGS replaced by i, each starting again 5 s after it ended.
//
// Results are "RESULT key value" lines on standard output (the devices' own lines go to
// /dev/null): exchanges, cpu_us (user + system, the whole process or its children, over the
// measured window) and csw (voluntary + involuntary context switches). Exchanges of the devices
// are counted as the datagrams their sessions send (sendmsg, interposed here), of the floor
// clients as they make them; a child's exchanges are not known here. Exit status 0, 1 when a
// walk or a command failed, 2 on bad arguments.
#include <arpa/inet.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/plugin_host.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kPause = std::chrono::seconds(5);  // between two walks of a device
const std::vector<unsigned> kUnitRoot = {1, 3, 6, 1, 4, 1, 61333, 1, 1, 4};

std::atomic<long> g_sent{0};  // datagrams sent through sendmsg by this process

void Result(const char* key, double value) { std::printf("RESULT %s %.15g\n", key, value); }

struct Usage {
  double cpu_us = 0;
  double csw = 0;       // voluntary and involuntary
  double csw_wait = 0;  // voluntary: the thread waited
};

Usage Of(const rusage& u) {
  Usage r;
  r.cpu_us = static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e6 +
             static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec);
  r.csw = static_cast<double>(u.ru_nvcsw + u.ru_nivcsw);
  r.csw_wait = static_cast<double>(u.ru_nvcsw);
  return r;
}

Usage Self() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return Of(u);
}

void Report(double exchanges, const Usage& before, const Usage& after) {
  Result("exchanges", exchanges);
  Result("cpu_us", after.cpu_us - before.cpu_us);
  Result("csw", after.csw - before.csw);
  Result("csw_wait", after.csw_wait - before.csw_wait);
  if (exchanges > 0) {
    Result("cpu_us_per_exchange", (after.cpu_us - before.cpu_us) / exchanges);
    Result("csw_per_exchange", (after.csw - before.csw) / exchanges);
    Result("csw_wait_per_exchange", (after.csw_wait - before.csw_wait) / exchanges);
  }
}

// ---- the floor client's BER: what a GETBULK needs, nothing more ------------------------------

// Builds a message back to front in a fixed buffer, as net-snmp does: contents first, then the
// header that wraps them. No allocation.
class Reverse {
 public:
  std::size_t size() const { return sizeof buffer_ - start_; }
  const unsigned char* data() const { return buffer_ + start_; }
  bool ok() const { return ok_; }
  void Byte(unsigned char b) {
    if (start_ == 0)
      ok_ = false;
    else
      buffer_[--start_] = b;
  }
  // Wraps everything written since the mark `end_size` (a size() before) into tag + length.
  void Wrap(unsigned char tag, std::size_t end_size) {
    const std::size_t n = size() - end_size;
    if (n < 0x80) {
      Byte(static_cast<unsigned char>(n));
    } else {
      int octets = 0;
      for (std::size_t rest = n; rest != 0; rest >>= 8, ++octets) {
        Byte(static_cast<unsigned char>(rest));
      }
      Byte(static_cast<unsigned char>(0x80 | octets));
    }
    Byte(tag);
  }
  void Integer(long v) {  // two's complement, fewest bytes
    const std::size_t mark = size();
    do {
      Byte(static_cast<unsigned char>(v));
      v >>= 8;
    } while (!((v == 0 && !(data()[0] & 0x80)) || (v == -1 && (data()[0] & 0x80))));
    Wrap(0x02, mark);
  }
  void ObjectId(const unsigned* name, std::size_t length) {
    const std::size_t mark = size();
    for (std::size_t i = length; i-- > 2;) {
      unsigned v = name[i];
      Byte(static_cast<unsigned char>(v & 0x7f));
      for (v >>= 7; v != 0; v >>= 7) Byte(static_cast<unsigned char>(0x80 | (v & 0x7f)));
    }
    Byte(static_cast<unsigned char>(name[0] * 40 + name[1]));
    Wrap(0x06, mark);
  }

 private:
  unsigned char buffer_[1024];
  std::size_t start_ = sizeof buffer_;
  bool ok_ = true;
};

void GetBulk(const std::string& community, long reqid, const std::vector<unsigned>& from,
             Reverse* out) {
  const std::size_t message = out->size();
  {
    const std::size_t pdu = out->size();
    const std::size_t list = out->size();
    const std::size_t binding = out->size();
    out->Byte(0x00);  // NULL
    out->Byte(0x05);
    out->ObjectId(from.data(), from.size());
    out->Wrap(0x30, binding);
    out->Wrap(0x30, list);
    out->Integer(100);  // max-repetitions
    out->Integer(1);    // non-repeaters
    out->Integer(reqid);
    out->Wrap(0xA5, pdu);
  }
  const std::size_t text = out->size();
  for (std::size_t i = community.size(); i-- > 0;) {
    out->Byte(static_cast<unsigned char>(community[i]));
  }
  out->Wrap(0x04, text);
  out->Integer(1);  // SNMPv2c
  out->Wrap(0x30, message);
}

// Reads the element at m[*at] (tag and definite length); false when it runs past `end`.
bool Element(const unsigned char* m, std::size_t* at, std::size_t end, unsigned char* tag,
             std::size_t* length) {
  if (*at + 2 > end) return false;
  *tag = m[*at];
  std::size_t n = m[*at + 1];
  std::size_t pos = *at + 2;
  if (n & 0x80) {
    const std::size_t octets = n & 0x7f;
    if (octets == 0 || octets > 2 || pos + octets > end) return false;
    n = 0;
    for (std::size_t i = 0; i < octets; ++i) n = (n << 8) | m[pos + i];
    pos += octets;
  }
  if (pos + n > end) return false;
  *at = pos;
  *length = n;
  return true;
}

long ReadInteger(const unsigned char* m, std::size_t at, std::size_t length) {
  long v = (length > 0 && (m[at] & 0x80)) ? -1 : 0;
  for (std::size_t i = 0; i < length; ++i) v = (v << 8) | m[at + i];
  return v;
}

enum class Step { kMore, kEnd, kBad };

// Takes a Response: its request id, and the last binding's OID into *next. kEnd when that
// binding leaves the unit's subtree or holds an exception value.
Step ReadResponse(const unsigned char* m, std::size_t size, long* reqid,
                  const std::vector<unsigned>& root, std::vector<unsigned>* next) {
  unsigned char tag;
  std::size_t at = 0, length;
  if (!Element(m, &at, size, &tag, &length) || tag != 0x30) return Step::kBad;
  for (int skip = 0; skip < 2; ++skip) {  // version, community
    if (!Element(m, &at, size, &tag, &length)) return Step::kBad;
    at += length;
  }
  if (!Element(m, &at, size, &tag, &length) || tag != 0xA2) return Step::kBad;
  if (!Element(m, &at, size, &tag, &length) || tag != 0x02) return Step::kBad;
  *reqid = ReadInteger(m, at, length);
  at += length;
  if (!Element(m, &at, size, &tag, &length) || tag != 0x02) return Step::kBad;
  if (ReadInteger(m, at, length) != 0) return Step::kBad;  // an error status ends the walk
  at += length;
  if (!Element(m, &at, size, &tag, &length)) return Step::kBad;
  at += length;
  if (!Element(m, &at, size, &tag, &length) || tag != 0x30) return Step::kBad;
  const std::size_t list_end = at + length;
  std::size_t name_at = 0, name_length = 0;
  unsigned char value_tag = 0;
  while (at < list_end) {
    if (!Element(m, &at, list_end, &tag, &length) || tag != 0x30) return Step::kBad;
    const std::size_t binding_end = at + length;
    if (!Element(m, &at, binding_end, &tag, &length) || tag != 0x06 || length == 0) {
      return Step::kBad;
    }
    name_at = at;
    name_length = length;
    at += length;
    if (!Element(m, &at, binding_end, &value_tag, &length)) return Step::kBad;
    at = binding_end;
  }
  if (name_length == 0) return Step::kBad;
  next->clear();
  next->push_back(m[name_at] / 40);
  next->push_back(m[name_at] % 40);
  unsigned v = 0;
  for (std::size_t i = 1; i < name_length; ++i) {
    v = (v << 7) | (m[name_at + i] & 0x7f);
    if (!(m[name_at + i] & 0x80)) {
      next->push_back(v);
      v = 0;
    }
  }
  const bool inside =
      next->size() > root.size() && std::equal(root.begin(), root.end(), next->begin());
  if (!inside || (value_tag >= 0x80 && value_tag <= 0x82)) return Step::kEnd;
  return Step::kMore;
}

// One walk of unit `address`: the exchanges it made, or -1 when an answer did not come within
// 2 s or could not be read.
long FloorWalk(int sock, const sockaddr_in& agent, const std::string& community, unsigned address,
               long* reqid, std::atomic<long>* made) {
  std::vector<unsigned> root = kUnitRoot;
  root.push_back(address);
  std::vector<unsigned> from = root, next;
  from.reserve(128);
  next.reserve(128);
  unsigned char buffer[65536];
  for (long exchanges = 1; exchanges <= 100000; ++exchanges) {
    const long id = ++*reqid & 0x7fffffff;
    Reverse request;
    GetBulk(community, id, from, &request);
    if (!request.ok() ||
        sendto(sock, request.data(), request.size(), 0, reinterpret_cast<const sockaddr*>(&agent),
               sizeof agent) != static_cast<ssize_t>(request.size())) {
      return -1;
    }
    made->fetch_add(1, std::memory_order_relaxed);
    // Datagrams with another request id are dropped, as a client does (at most 100 of them).
    for (int datagrams = 0;; ++datagrams) {
      if (datagrams == 100) return -1;
      pollfd p{sock, POLLIN, 0};
      if (poll(&p, 1, 2000) != 1) return -1;
      const ssize_t got = recvfrom(sock, buffer, sizeof buffer, 0, nullptr, nullptr);
      if (got <= 0) return -1;
      long answered = -1;
      const Step step = ReadResponse(buffer, static_cast<std::size_t>(got), &answered, root, &next);
      if (answered != id) continue;
      if (step == Step::kBad) return -1;
      if (step == Step::kEnd) return exchanges;
      break;
    }
    from.swap(next);
  }
  return -1;
}

int OpenFloorSocket() { return socket(AF_INET, SOCK_DGRAM, 0); }

sockaddr_in Loopback(unsigned port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

// ---- options -----------------------------------------------------------------------------------

struct Options {
  unsigned port = 0;
  unsigned address = 1;
  unsigned count = 200;  // threads or devices
  unsigned units = 0;
  double seconds = 17;
  std::string community = "Tormelix@2027q";
  std::string plugin = QRM_DEFAULT_PLUGIN;
  std::vector<std::string> command;
};

bool Parse(int argc, char** argv, Options* o) {
  for (int i = 2; i < argc; ++i) {
    const std::string flag = argv[i];
    if (flag == "--") {
      o->command.assign(argv + i + 1, argv + argc);
      return !o->command.empty();
    }
    if (i + 1 >= argc) return false;
    const char* value = argv[++i];
    if (flag == "--port") {
      o->port = static_cast<unsigned>(std::atoi(value));
    } else if (flag == "--address") {
      o->address = static_cast<unsigned>(std::atoi(value));
    } else if (flag == "--threads" || flag == "--devices") {
      o->count = static_cast<unsigned>(std::atoi(value));
    } else if (flag == "--units") {
      o->units = static_cast<unsigned>(std::atoi(value));
    } else if (flag == "--seconds") {
      o->seconds = std::atof(value);
    } else if (flag == "--community") {
      o->community = value;
    } else if (flag == "--plugin") {
      o->plugin = value;
    } else {
      return false;
    }
  }
  return true;
}

unsigned UnitOf(const Options& o, unsigned i) {
  const unsigned units = o.units != 0 ? o.units : std::min(o.count, 255u);
  return (i % units) + 1;
}

// ---- subcommands -------------------------------------------------------------------------------

int Floor(const Options& o) {
  if (o.port == 0) return 2;
  const int sock = OpenFloorSocket();
  if (sock < 0) return 1;
  long reqid = static_cast<long>(getpid()) << 12;
  std::atomic<long> made{0};
  const Usage before = Self();
  const long exchanges = FloorWalk(sock, Loopback(o.port), o.community, o.address, &reqid, &made);
  const Usage after = Self();
  close(sock);
  if (exchanges < 0) {
    std::cerr << "exchange_cpu: the floor walk failed" << std::endl;
    return 1;
  }
  Report(static_cast<double>(exchanges), before, after);
  return 0;
}

// Waits until `deadline` or until `stop` is set, whichever comes first.
void PauseUntil(Clock::time_point deadline, const std::atomic<bool>& stop) {
  while (!stop.load() && Clock::now() < deadline) {
    std::this_thread::sleep_for(
        std::min<Clock::duration>(deadline - Clock::now(), std::chrono::milliseconds(100)));
  }
}

int FloorFleet(const Options& o) {
  if (o.port == 0 || o.count == 0) return 2;
  std::atomic<bool> stop{false};
  std::atomic<long> exchanges{0}, failed{0};
  const sockaddr_in agent = Loopback(o.port);
  std::vector<std::thread> threads;
  const Usage before = Self();
  const auto start = Clock::now();
  for (unsigned i = 0; i < o.count; ++i) {
    threads.emplace_back([&, i] {
      const int sock = OpenFloorSocket();
      if (sock < 0) {
        ++failed;
        return;
      }
      long reqid = static_cast<long>(i) << 20;
      while (!stop.load()) {
        if (FloorWalk(sock, agent, o.community, UnitOf(o, i), &reqid, &exchanges) < 0) ++failed;
        PauseUntil(Clock::now() + kPause, stop);
      }
      close(sock);
    });
  }
  PauseUntil(
      start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(o.seconds)),
      stop);
  const Usage after = Self();
  const long made = exchanges.load();
  stop = true;
  for (auto& t : threads) t.join();
  Report(static_cast<double>(made), before, after);
  Result("failed_walks", static_cast<double>(failed.load()));
  return 0;
}

int Devices(const Options& o) {
  if (o.port == 0 || o.count == 0) return 2;
  // The devices' lines go to /dev/null; results keep standard output.
  std::fflush(stdout);
  const int report = dup(STDOUT_FILENO);
  const int null_fd = open("/dev/null", O_WRONLY);
  if (report < 0 || null_fd < 0 || dup2(null_fd, STDOUT_FILENO) < 0) return 1;
  close(null_fd);
  PluginHost host;
  std::string error;
  if (!host.Load(o.plugin, &error)) {
    std::cerr << "exchange_cpu: " << error << std::endl;
    return 1;
  }
  std::vector<std::unique_ptr<QRMSocketDevice>> devices;
  const long sent_before = g_sent.load();
  const Usage before = Self();
  for (unsigned i = 0; i < o.count; ++i) {
    const Json::Value config =
        ParseJson(DeviceJson(i + 1, o.port, UnitOf(o, i), R"("b_mode":2,"use_thread":1)"), &error);
    devices.push_back(host.Create());
    devices.back()->Init(std::weak_ptr<QRMController>(), static_cast<int>(i + 1), config);
    devices.back()->InitSetting(config);
  }
  std::this_thread::sleep_for(std::chrono::duration<double>(o.seconds));
  const Usage after = Self();
  const long sent = g_sent.load() - sent_before;
  devices.clear();
  std::fflush(stdout);
  dup2(report, STDOUT_FILENO);
  close(report);
  Report(static_cast<double>(sent), before, after);
  return 0;
}

// Starts COMMAND (with "{}" replaced by `unit`) as a child whose standard output is /dev/null;
// its process id, or -1 when no child could be made.
pid_t Spawn(const std::vector<std::string>& command, unsigned unit) {
  std::vector<std::string> args;
  for (std::string a : command) {
    for (std::size_t at; (at = a.find("{}")) != std::string::npos;) {
      a.replace(at, 2, std::to_string(unit));
    }
    args.push_back(a);
  }
  const pid_t pid = fork();
  if (pid != 0) return pid;
  const int null_fd = open("/dev/null", O_WRONLY);
  if (null_fd >= 0) dup2(null_fd, STDOUT_FILENO);
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  execvp(argv[0], argv.data());
  _exit(127);
}

int Run(const Options& o) {
  if (o.units == 0) {
    const pid_t pid = Spawn(o.command, 0);
    int status = 0;
    rusage u{};
    if (pid < 0 || wait4(pid, &status, 0, &u) != pid) return 1;
    const Usage used = Of(u);
    Result("cpu_us", used.cpu_us);
    Result("csw", used.csw);
    Result("csw_wait", used.csw_wait);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 1;
  }
  // U copies, each started again 5 s after it ended, until the window closes.
  const auto start = Clock::now();
  const auto end =
      start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(o.seconds));
  std::vector<pid_t> running(o.units, 0);
  std::vector<Clock::time_point> due(o.units, start);
  Usage total;
  long runs = 0, failed = 0;
  for (;;) {
    const auto now = Clock::now();
    bool any = false;
    for (unsigned i = 0; i < o.units; ++i) {
      if (running[i] == 0 && now < end && now >= due[i]) {
        running[i] = Spawn(o.command, i + 1);
        if (running[i] < 0) return 1;
      }
      any = any || running[i] != 0;
    }
    if (!any && now >= end) break;
    int status = 0;
    rusage u{};
    const pid_t pid = wait4(-1, &status, WNOHANG, &u);
    if (pid <= 0) {
      usleep(2000);
      continue;
    }
    for (unsigned i = 0; i < o.units; ++i) {
      if (running[i] != pid) continue;
      running[i] = 0;
      due[i] = Clock::now() + kPause;
      const Usage used = Of(u);
      total.cpu_us += used.cpu_us;
      total.csw += used.csw;
      total.csw_wait += used.csw_wait;
      ++runs;
      if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) ++failed;
    }
  }
  Result("runs", static_cast<double>(runs));
  Result("failed_runs", static_cast<double>(failed));
  Result("cpu_us", total.cpu_us);
  Result("csw", total.csw);
  Result("csw_wait", total.csw_wait);
  return failed == 0 ? 0 : 1;
}

}  // namespace

// Counts the datagrams the plug-in's sessions send (net-snmp's UDP transport sends with
// sendmsg), then sends as the C library does.
extern "C" ssize_t sendmsg(int fd, const msghdr* message, int flags) {
  using SendMsg = ssize_t (*)(int, const msghdr*, int);
  static const SendMsg next = reinterpret_cast<SendMsg>(dlsym(RTLD_NEXT, "sendmsg"));
  g_sent.fetch_add(1, std::memory_order_relaxed);
  return next(fd, message, flags);
}

int main(int argc, char** argv) {
  Options o;
  std::string mode = argc > 1 ? argv[1] : "";
  if (!Parse(argc, argv, &o)) mode.clear();
  if (mode == "floor") return Floor(o);
  if (mode == "floor-fleet") return FloorFleet(o);
  if (mode == "devices") return Devices(o);
  if (mode == "run" && !o.command.empty()) return Run(o);
  std::cerr << "usage: exchange_cpu floor|floor-fleet|devices|run [options] (see the source)"
            << std::endl;
  return 2;
}
