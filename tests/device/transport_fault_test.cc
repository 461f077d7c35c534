// Transport and send faults of a walk, in one table: a stream peer that drops the connection or
// holds a request, a full listen queue, datagrams the kernel refuses to send, allocations that
// fail. Then the UDP forms of `ip` against a real agent on loopback (IPv4 and IPv6), and the
// forms that are refused.
//
// Sends and allocations fail through interposers of this test binary (sendto, sendmsg, calloc),
// armed for the calling thread only: the host-driven walks run on the test thread, while the
// simulator's own thread allocates and sends undisturbed.
#include <dlfcn.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <memory>
#include <regex>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "device/schedule_setting.h"
#include "sim/agent.h"
#include "sim/dataset.h"
#include "tests/support/device_probe.h"
#include "tests/support/recording_observer.h"
#include "tests/support/silent_peer.h"
#include "tests/support/test_util.h"

// The interposers run uninstrumented: the sanitizers' runtimes call calloc themselves, also
// while a thread starts and before their own state for that thread exists. They keep to
// compiler builtins for the same reason.
#define QRM_UNINSTRUMENTED __attribute__((no_sanitize("address", "thread", "undefined")))

namespace {

// What the interposers do on the thread that armed them; all zero: nothing.
struct Faults {
  int send_fail_at = 0;  // the Nth datagram sent fails with send_errno
  int send_errno = 0;
  int sends = 0;
  std::size_t calloc_size = 0;  // the Nth calloc of one object of this size returns null
  int calloc_fail_at = 0;
  int callocs = 0;
};
thread_local Faults t_faults;

using CallocFunction = void* (*)(std::size_t, std::size_t);
CallocFunction g_calloc = nullptr;  // read and written with __atomic builtins only
thread_local bool t_resolving = false;
// calloc's answers while the next calloc is being looked up (dlsym may allocate): never freed.
alignas(16) unsigned char g_early[4096];
std::size_t g_early_used = 0;  // __atomic builtins only

QRM_UNINSTRUMENTED bool FailThisSend() {
  Faults& f = t_faults;
  if (f.send_fail_at == 0 || ++f.sends != f.send_fail_at) return false;
  errno = f.send_errno;
  return true;
}

}  // namespace

extern "C" QRM_UNINSTRUMENTED ssize_t sendto(int fd, const void* buffer, std::size_t length,
                                             int flags, const sockaddr* to, socklen_t to_length) {
  using F = ssize_t (*)(int, const void*, std::size_t, int, const sockaddr*, socklen_t);
  static const F next = reinterpret_cast<F>(dlsym(RTLD_NEXT, "sendto"));
  if (FailThisSend()) return -1;
  return next(fd, buffer, length, flags, to, to_length);
}

extern "C" QRM_UNINSTRUMENTED ssize_t sendmsg(int fd, const msghdr* message, int flags) {
  using F = ssize_t (*)(int, const msghdr*, int);
  static const F next = reinterpret_cast<F>(dlsym(RTLD_NEXT, "sendmsg"));
  if (FailThisSend()) return -1;
  return next(fd, message, flags);
}

extern "C" QRM_UNINSTRUMENTED void* calloc(std::size_t count, std::size_t size) noexcept {
  CallocFunction next = __atomic_load_n(&g_calloc, __ATOMIC_ACQUIRE);
  if (next == nullptr) {
    if (t_resolving) {
      const std::size_t bytes = (count * size + 15) / 16 * 16;
      const std::size_t at = __atomic_fetch_add(&g_early_used, bytes, __ATOMIC_RELAXED);
      return at + bytes <= sizeof g_early ? g_early + at : nullptr;
    }
    t_resolving = true;
    next = reinterpret_cast<CallocFunction>(dlsym(RTLD_NEXT, "calloc"));
    t_resolving = false;
    __atomic_store_n(&g_calloc, next, __ATOMIC_RELEASE);
  }
  Faults& f = t_faults;
  if (f.calloc_fail_at != 0 && count == 1 && size == f.calloc_size &&
      ++f.callocs == f.calloc_fail_at) {
    return nullptr;
  }
  return next(count, size);
}

namespace {

// Arms the interposers for the calling thread until it goes out of scope.
class ArmedFaults {
 public:
  explicit ArmedFaults(const Faults& f) { t_faults = f; }
  ~ArmedFaults() { t_faults = Faults(); }
  ArmedFaults(const ArmedFaults&) = delete;
  ArmedFaults& operator=(const ArmedFaults&) = delete;
};

// A TCP listener on 127.0.0.1, the far end of a stream transport. kClose accepts one
// connection, reads one request and closes it; kHold reads one request and keeps the connection
// without answering; kFullQueue never accepts, and the one connection it makes itself fills its
// listen queue (backlog 0), so that any further connect waits. Every wait is bounded.
class TcpPeer {
 public:
  enum class Mode { kClose, kHold, kFullQueue };

  explicit TcpPeer(Mode mode) {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof a;
    if (listener_ < 0 || bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        listen(listener_, 0) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &length) != 0) {
      return;
    }
    port_ = ntohs(a.sin_port);
    if (mode == Mode::kFullQueue) {
      filler_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      if (connect(filler_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) port_ = 0;
      return;
    }
    thread_ = std::thread([this, mode] { Serve(mode); });
  }
  ~TcpPeer() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    for (int fd : {connection_, filler_, listener_}) {
      if (fd >= 0) close(fd);
    }
  }
  TcpPeer(const TcpPeer&) = delete;
  TcpPeer& operator=(const TcpPeer&) = delete;

  bool ok() const { return port_ != 0; }
  unsigned short port() const { return port_; }
  bool read_request() const { return read_request_; }

 private:
  // Waits up to 20 s, in 20 ms steps, for `fd` to become readable; false on a stop.
  bool Readable(int fd) {
    for (int i = 0; i < 1000 && !stop_; ++i) {
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, 20) > 0) return true;
    }
    return false;
  }
  void Serve(Mode mode) {
    if (!Readable(listener_)) return;
    connection_ = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (connection_ < 0) return;
    char request[2048];
    if (!Readable(connection_) || recv(connection_, request, sizeof request, 0) <= 0) return;
    read_request_ = true;
    if (mode == Mode::kClose) {
      close(connection_);
      connection_ = -1;
    }
  }

  int listener_ = -1;
  int filler_ = -1;
  int connection_ = -1;  // the serving thread's, until the destructor has joined it
  unsigned short port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<bool> read_request_{false};
  std::thread thread_;
};

// A device whose session template can name a stream transport past InitSetting's check of
// `ip`: how a walk meets a dropped connection, should such a transport ever get through.
class StreamProbe : public DeviceProbe {
 public:
  // The sampling thread ends before this object's destruction begins, as for every subclass.
  ~StreamProbe() override { EndSampling(); }

  // Configures the device host-driven, points its session template at `peer` (which must
  // outlive the device), and only then starts the sampling thread the configuration asks for,
  // as InitSetting would, so that it walks `peer` from its first walk on. (Holding the round
  // lock across InitSetting instead would take the device's locks in the opposite order.)
  void ConfigureWithPeer(const Json::Value& config, const std::string& peer) {
    Json::Value host_driven = config;
    host_driven["appSetting"]["use_thread"] = 0;
    InitSetting(host_driven);
    m_session.peername = const_cast<char*>(peer.c_str());
    int use_thread = 0;
    if (ReadUseThread(config, &use_thread) && use_thread != 0) {
      m_useThread = use_thread;
      m_thread = std::make_unique<SamplingThread>([this] { sample_data(nullptr); });
    }
  }
};

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// `text` without the " (ICMP from ADDRESS)" of an unreachable line: the kernel names the
// error's sender, but qemu's user-mode emulation does not pass it on, and the line then leaves
// it out.
std::string WithoutIcmpSender(const std::string& text) {
  return std::regex_replace(text, std::regex(R"( \(ICMP from [^)]*\))"), "");
}

// `text` with each %p replaced by `port`.
std::string WithPort(std::string text, unsigned short port) {
  for (std::size_t at = text.find("%p"); at != std::string::npos; at = text.find("%p", at)) {
    text.replace(at, 2, std::to_string(port));
  }
  return text;
}

// A UDP port of `loopback` (127.0.0.1 or ::1) that nothing listens on: bound once, then closed.
unsigned short ClosedPort(bool ipv6) {
  const int fd = socket(ipv6 ? AF_INET6 : AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in6 a{};
  socklen_t length = ipv6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
  if (ipv6) {
    a.sin6_family = AF_INET6;
    a.sin6_addr = in6addr_loopback;
  } else {
    auto* a4 = reinterpret_cast<sockaddr_in*>(&a);
    a4->sin_family = AF_INET;
    a4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  }
  unsigned short port = 0;
  if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&a), length) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length) == 0) {
    port = ntohs(a.sin6_port);  // sin_port sits where sin6_port does
  }
  if (fd >= 0) close(fd);
  return port;
}

const char kBanner[] = "SNMP_MARLUXA_AC_POWER::do_sample\n";

// kTcpClose and kTcpHold are walked past InitSetting's check (tcp:127.0.0.1:PORT); kTcpFullQueue
// is configured as tcp:127.0.0.1:PORT and refused; kClosedUdp6 as udp6:[::1]:PORT; the others as
// 127.0.0.1:PORT. kClosedUdp and kClosedUdp6 are ports nothing listens on.
enum class Peer { kAgent, kSilentUdp, kTcpClose, kTcpHold, kTcpFullQueue, kClosedUdp, kClosedUdp6 };
enum class Drive { kHost, kOwnThreadDestroyed };

struct FaultCase {
  const char* name;
  Peer peer;
  Drive drive;
  const char* app;  // appSetting members
  Faults faults;    // armed around a host-driven walk
  // Host-driven: what the walk prints after its banner, and all it prints on standard error (%p:
  // the peer's port, in both). Own thread (destroyed once its peer has the request, after its round
  // when the peer drops the connection, or at once when nothing can connect; within 2 s): a part of
  // standard output, or "" for a walk that must end without a line of its own. An `err` without
  // a line end is the start of its one line.
  const char* out;
  const char* err;
  // Host-driven: the rounds published. Own thread: the most it may publish before the stop (a
  // refused walk may finish its round before the destruction begins, or not).
  int rounds;
  int reached;         // requests (agent) or datagrams (silent peer) that reached the peer
  double min_seconds;  // a host-driven walk that must wait out its attempts
};

Faults SendFails(int at, int error) {
  Faults f;
  f.send_fail_at = at;
  f.send_errno = error;
  return f;
}

Faults CallocFails(std::size_t size, int at) {
  Faults f;
  f.calloc_size = size;
  f.calloc_fail_at = at;
  return f;
}

constexpr std::size_t kPdu = sizeof(netsnmp_pdu);
constexpr std::size_t kBinding = sizeof(netsnmp_variable_list);
// kLong: a walk that waited out its attempt would take a minute, far beyond any bound below.
const char kLong[] = R"("timeout_ms":60000,"retries":0)";
const char kLongOwn[] = R"("timeout_ms":60000,"retries":0,"use_thread":1)";
const char kLongV3[] =
    R"("timeout_ms":60000,"retries":0,"snmp_version":3,"username":"u","security_level":"noAuthNoPriv")";
const char kThree[] = R"("timeout_ms":200,"retries":2)";  // three attempts of 200 ms
// One attempt long enough for the agent's answer however busy the machine is.
const char kOne[] = R"("timeout_ms":1000,"retries":0)";
const char kFailed[] = "snmp get error 1\nrvSize is 0\n";
const char kTimedOut[] = "Timeout: No Response from 127.0.0.1:%p\n";
const char kNotUdp[] =
    "snmpbulkwalk: no session opened: ip is not UDP (see InitSetting) (peer tcp:127.0.0.1:%p)\n";

// clang-format off
const FaultCase kFaultCases[] = {
    // A stream peer that reads one request and drops the connection: the exchange ends at once
    // with its round, and the session is closed once. One that holds the request: a stop ends
    // the walk at once.
    {"stream peer drops the connection, host-driven",
     Peer::kTcpClose, Drive::kHost, kLong, {}, kFailed, "", 1, 0, 0},
    {"stream peer drops the connection, own thread destroyed after it",
     Peer::kTcpClose, Drive::kOwnThreadDestroyed, kLongOwn, {}, kFailed, "", 1, 0, 0},
    {"stream peer holds the request, own thread destroyed mid-walk",
     Peer::kTcpHold, Drive::kOwnThreadDestroyed, kLongOwn, {}, "", "", 0, 0, 0},
    // Stream transports are refused: nothing connects, so a full listen queue cannot hold a stop.
    {"full listen queue, host-driven: refused, nothing sent, the unit out of reach",
     Peer::kTcpFullQueue, Drive::kHost, kLong, {}, "rvSize is 0\n", kNotUdp, 1, 0, 0},
    {"full listen queue, own thread destroyed at once",
     Peer::kTcpFullQueue, Drive::kOwnThreadDestroyed, kLongOwn, {}, "", "", 1, 0, 0},
    // The first datagram refused by the kernel: the exchange fails at once, nothing leaves.
    {"first send fails with ENETUNREACH",
     Peer::kSilentUdp, Drive::kHost, kThree, SendFails(1, ENETUNREACH), kFailed, "", 1, 0, 0},
    {"first send fails with EPERM",
     Peer::kSilentUdp, Drive::kHost, kThree, SendFails(1, EPERM), kFailed, "", 1, 0, 0},
    // A resend refused by the kernel is one unanswered attempt: the third attempt still goes
    // out, and the request times out after 3 x 200 ms.
    {"resend fails with ENETUNREACH",
     Peer::kSilentUdp, Drive::kHost, kThree, SendFails(2, ENETUNREACH), "rvSize is 0\n", kTimedOut,
     1, 2, 0.58},
    {"resend fails with EPERM",
     Peer::kSilentUdp, Drive::kHost, kThree, SendFails(2, EPERM), "rvSize is 0\n", kTimedOut,
     1, 2, 0.58},
    // A walk's PDU allocations, in order: its request, net-snmp's parse of the response, the
    // exchange's own for taking the response over, the next request.
    // The session's transport, allocated as the session opens: a failed open, in net-snmp's
    // words, and the round of a unit out of reach.
    {"no memory for the session's transport",
     Peer::kAgent, Drive::kHost, kOne, CallocFails(sizeof(netsnmp_transport), 1), "rvSize is 0\n",
     "snmpbulkwalk: Unknown host (127.0.0.1:%p)", 1, 0, 0},
    {"no memory for the request",
     Peer::kAgent, Drive::kHost, kOne, CallocFails(kPdu, 1), kFailed, "", 1, 0, 0},
    {"no memory for net-snmp's parse of the response: the answer is lost",
     Peer::kAgent, Drive::kHost, kOne, CallocFails(kPdu, 2), "rvSize is 0\n",
     "pdu failed to be created (peer 127.0.0.1:%p)\n" /* net-snmp's log */ "Timeout: No Response from 127.0.0.1:%p\n",
     1, 1, 0},
    {"no memory to take the response over",
     Peer::kAgent, Drive::kHost, kOne, CallocFails(kPdu, 3), kFailed, "", 1, 1, 0},
    {"no memory for the second request",
     Peer::kAgent, Drive::kHost, kOne, CallocFails(kPdu, 4), kFailed, "", 1, 1, 0},
    {"no memory for the request's binding",
     Peer::kAgent, Drive::kHost, kOne, CallocFails(kBinding, 1), kFailed, "", 1, 0, 0},
    // A closed port is known at once (the kernel's ICMP port unreachable): the walk ends in a
    // moment, not after its minute-long attempt, and says so, over IPv4 and IPv6.
    {"closed port",
     Peer::kClosedUdp, Drive::kHost, kLong, {},
     "snmp walk stopped as the unit is out of reach: port unreachable at 127.0.0.1:%p (ICMP from 127.0.0.1) "
     "(peer 127.0.0.1:%p)\nrvSize is 0\n", "", 1, 0, 0},
    {"closed port, SNMPv3: at engine discovery",
     Peer::kClosedUdp, Drive::kHost, kLongV3, {},
     "snmp walk stopped as the unit is out of reach: port unreachable at 127.0.0.1:%p (ICMP from "
     "127.0.0.1) (peer 127.0.0.1:%p)\nrvSize is 0\n", "", 1, 0, 0},
    {"closed port over IPv6",
     Peer::kClosedUdp6, Drive::kHost, kLong, {},
     "snmp walk stopped as the unit is out of reach: port unreachable at [::1]:%p (ICMP from ::1) "
     "(peer udp6:[::1]:%p)\nrvSize is 0\n", "", 1, 0, 0},
};
// clang-format on

TEST(TransportFaults, EachFaultIsAFailedExchangeOrOpenNeverACrashOrAHold) {
  pdusim::Agent agent(pdusim::Dataset::DefaultUnit({1}));
  std::string error;
  ASSERT_TRUE(agent.Start(0, &error)) << error;
  for (const FaultCase& c : kFaultCases) {
    SCOPED_TRACE(c.name);
    std::unique_ptr<TcpPeer> tcp;
    std::unique_ptr<SilentUdpPeer> udp;
    unsigned short port = agent.port();
    if (c.peer == Peer::kSilentUdp) {
      udp = std::make_unique<SilentUdpPeer>();
      ASSERT_TRUE(udp->ok());
      port = udp->port();
    } else if (c.peer == Peer::kClosedUdp || c.peer == Peer::kClosedUdp6) {
      port = ClosedPort(c.peer == Peer::kClosedUdp6);
      ASSERT_NE(port, 0);
    } else if (c.peer != Peer::kAgent) {
      tcp = std::make_unique<TcpPeer>(c.peer == Peer::kTcpClose  ? TcpPeer::Mode::kClose
                                      : c.peer == Peer::kTcpHold ? TcpPeer::Mode::kHold
                                                                 : TcpPeer::Mode::kFullQueue);
      ASSERT_TRUE(tcp->ok());
      port = tcp->port();
    }
    agent.ResetCounters();
    const bool stream = c.peer == Peer::kTcpClose || c.peer == Peer::kTcpHold;
    const std::string ip = (stream || c.peer == Peer::kTcpFullQueue ? "tcp:127.0.0.1:"
                            : c.peer == Peer::kClosedUdp6           ? "udp6:[::1]:"
                                                                    : "127.0.0.1:") +
                           std::to_string(port);
    // A stream peer walked past the check is configured with a UDP ip first.
    const std::string config_ip = stream ? "127.0.0.1:" + std::to_string(port) : ip;
    const Json::Value config =
        Parse(R"({"ip":")" + config_ip + R"(","address":1,"appSetting":{)" + c.app + "}}");
    auto obs = std::make_shared<RecordingObserver>();
    auto d = std::make_unique<StreamProbe>();
    AttachHostObserver(d.get(), obs);

    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    if (stream) {
      d->ConfigureWithPeer(config, ip);
    } else {
      d->InitSetting(config);
    }
    const auto start = std::chrono::steady_clock::now();
    double seconds = 0;
    if (c.drive == Drive::kHost) {
      ArmedFaults armed(c.faults);
      d->RefreshStatus();
      seconds = SecondsSince(start);
    } else {
      if (c.peer == Peer::kTcpClose) {
        EXPECT_TRUE(WaitFor([&] { return obs->Count("SendSP") == 1; }));
      } else if (c.peer == Peer::kTcpHold) {
        EXPECT_TRUE(WaitFor([&] { return tcp->read_request(); }));
      }
      const auto destroying = std::chrono::steady_clock::now();
      d.reset();
      EXPECT_LT(SecondsSince(destroying), 30.0) << "the stop waited for the walk";
    }
    const std::string err = testing::internal::GetCapturedStderr();
    std::string out = testing::internal::GetCapturedStdout();

    if (c.peer == Peer::kTcpFullQueue) {
      EXPECT_NE(out.find("ip: \"" + ip + "\" is not UDP ("), std::string::npos) << out;
    }
    if (c.drive == Drive::kHost) {
      // The lines of the walk: the banner, then exactly these.
      const std::size_t banner = out.find(kBanner);
      ASSERT_NE(banner, std::string::npos) << out;
      EXPECT_EQ(WithoutIcmpSender(out.substr(banner + sizeof kBanner - 1)),
                WithoutIcmpSender(WithPort(c.out, port)));
      const std::string want = WithPort(c.err, port);
      if (want.empty() || want.back() == '\n') {
        EXPECT_EQ(err, want);
      } else {  // the start of net-snmp's line, whose end says what errno was left
        EXPECT_EQ(err.rfind(want, 0), 0u) << err;
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
      }
      EXPECT_LT(seconds, 30.0) << "the walk waited beyond its attempts";
      EXPECT_GE(seconds, c.min_seconds) << "an attempt was not waited out";
    } else if (*c.out != '\0') {
      EXPECT_NE(out.find(c.out), std::string::npos) << out;
    } else {  // stopped: the walk ends without a line of its own
      EXPECT_EQ(out.find("snmp get error"), std::string::npos) << out;
      EXPECT_EQ(err.find("Timeout"), std::string::npos) << err;
    }
    if (c.drive == Drive::kHost) {
      EXPECT_EQ(obs->Count("SendSP"), static_cast<std::size_t>(c.rounds));
    } else {
      EXPECT_LE(obs->Count("SendSP"), static_cast<std::size_t>(c.rounds));
    }
    if (c.peer == Peer::kAgent) {
      EXPECT_EQ(agent.requests(), static_cast<uint64_t>(c.reached));
    } else if (udp) {
      EXPECT_EQ(udp->Drain(), c.reached);
    } else if (stream) {
      EXPECT_TRUE(tcp->read_request());
    }
  }
}

// The UDP forms of `ip` walk a real agent on 127.0.0.1 or ::1 (a host name is looked up by the
// walk first); every other transport, and a UDP peer the walk cannot use, is refused in one line
// naming `ip` (quoted, escaped and cut where it cannot stand as it is) and the reason, and each
// walk then ends as a failed open does: nothing sent, no round. A name with a NUL is never sent
// cut short at it (here it would reach the agent), a port outside 1 to 65535 is never sent to.
TEST(TransportForms, UdpFormsWalkTheAgentAndOtherTransportsAreRefused) {
  pdusim::Agent agent4(pdusim::Dataset::DefaultUnit({1}));
  pdusim::Agent agent6(pdusim::Dataset::DefaultUnit({1}));
  std::string error;
  ASSERT_TRUE(agent4.Start(0, &error)) << error;
  ASSERT_TRUE(agent6.Start(0, &error, pdusim::Agent::Loopback::kIPv6)) << error;
  const std::string p4 = std::to_string(agent4.port());
  const std::string p6 = std::to_string(agent6.port());
  const std::string huge(200000, 'h'), range = ": the port must be a number from 1 to 65535, not ";
  const char kNoPort[] = "ip has no usable port";
  const struct {
    std::string ip;        // as the device file writes it
    pdusim::Agent* agent;  // null: refused
    std::string why = " is not UDP (ADDRESS[:PORT], udp:ADDRESS[:PORT] or udp6:[ADDRESS]:PORT)";
    std::string walk = "ip is not UDP";  // the failed open's reason
  } forms[] = {
      // clang-format off
      {"127.0.0.1:" + p4, &agent4},         {"udp:127.0.0.1:" + p4, &agent4},
      {"UDP:127.0.0.1:" + p4, &agent4},     {"localhost:" + p4, &agent4},
      {"udp6:[::1]:" + p6, &agent6},        {"Udp6:[::1]:" + p6, &agent6},
      {"[::1]:" + p6, &agent6},             {"quic:127.0.0.1:" + p4, nullptr},
      {"tcp:127.0.0.1:" + p4, nullptr},     {"TCP:127.0.0.1:" + p4, nullptr},
      {"tcp6:[::1]:" + p6, nullptr},        {"unix:/tmp/qrm-no-agent", nullptr},
      {"/tmp/qrm-no-agent", nullptr},       {"tls:127.0.0.1:" + p4, nullptr},
      {"dtlsudp:127.0.0.1:" + p4, nullptr}, {"ssh:127.0.0.1:" + p4, nullptr},
      {"ipv6:[::1]:" + p6, nullptr},        {"alias:unit", nullptr},
      {"std:/bin/true", nullptr},
      // clang-format on
      {"127.0.0.1:" + p4 + "\\u0000:9", nullptr,
       " contains a NUL character at byte " + std::to_string(11 + p4.size()),
       "ip contains a NUL character"},
      {"127.0.0.1:70000", nullptr, range + "70000", kNoPort},
      {"udp6:[::1]:0", nullptr, range + "0", kNoPort},
      {"127.0.0.1:-1", nullptr, range + "\"-1\"", kNoPort},
      {"10.0.5.21:snmp", nullptr, range + "\"snmp\"", kNoPort},
      {"127.0.0.1:00" + p4, nullptr, range + "\"00" + p4 + "\"", kNoPort},
      {"::1", nullptr, " is an IPv6 address: write it udp6:[ADDRESS] or udp6:[ADDRESS]:PORT",
       "ip is an IPv6 address without udp6:"},
      {huge, nullptr, ": the host name is longer than 253 bytes", "ip names no usable host"},
      // What is wrong is named: white space anywhere, an unclosed bracket.
      {"127.0.0.1:" + p4 + " ", nullptr,
       " contains white space at byte " + std::to_string(11 + p4.size()) +
           " (an address or host name has none)",
       "ip contains white space"},
      {" 127.0.0.1", nullptr, " contains white space at byte 1 (an address or host name has none)",
       "ip contains white space"},
      {"udp6:[::1:" + p6, nullptr, ": the address after '[' has no closing ']'",
       "ip is not in a form the walk reads"},
  };
  for (const auto& form : forms) {
    SCOPED_TRACE(form.ip.substr(0, 80));
    agent4.ResetCounters();
    agent6.ResetCounters();
    auto obs = std::make_shared<RecordingObserver>();
    DeviceProbe d;
    AttachHostObserver(&d, obs);
    testing::internal::CaptureStdout();
    d.InitSetting(Parse(R"({"ip":")" + form.ip +
                        R"(","address":1,"appSetting":{"timeout_ms":2000,"retries":0,)"
                        R"("max_repetitions":100}})"));
    const std::string configured = testing::internal::GetCapturedStdout();
    SetSlot(d.data(), 1, 1.0f);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    d.RefreshStatus();
    const std::string err = testing::internal::GetCapturedStderr();
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string quoted = form.ip == huge ? "\"" + huge.substr(0, 64) + "...\" (200000 bytes)"
                                               : "\"" + form.ip + "\"";
    if (form.agent != nullptr) {
      EXPECT_EQ(configured, "");
      EXPECT_EQ(err, "");
      EXPECT_EQ(form.agent->requests(), 13u) << "the fast walk of the whole unit";
      EXPECT_EQ(Slot(d.data(), 2), 1.0f);
      EXPECT_EQ(Slot(d.data(), 607), 16.0f);
      EXPECT_EQ(obs->Count("SendSP"), 1u);
    } else {
      EXPECT_EQ(configured,
                "ip: " + quoted + form.why + "; no session, the device does not walk\n");
      EXPECT_EQ(out, std::string(kBanner) + "rvSize is 0\n") << "with the round";
      const bool plain = form.ip.size() < 256 && form.ip.find("\\u") == std::string::npos;
      EXPECT_EQ(err.substr(0, 500), "snmpbulkwalk: no session opened: " + form.walk +
                                        " (see InitSetting) (peer " + (plain ? form.ip : quoted) +
                                        ")\n");
      EXPECT_EQ(agent4.requests() + agent6.requests(), 0u);
      EXPECT_EQ(obs->Count("SendSP"), 1u) << "out of reach: the communication alarm";
      EXPECT_EQ(Slot(d.data(), 1), 0.0f);
    }
  }
  // Accepted as they are, not walked here (no agent on port 161): an address or a host name
  // alone, and one over IPv6.
  for (const char* ip : {"127.0.0.1", "pdu7", "pdu7:1161", "udp6:pdu7", "udp6:[::1]"}) {
    DeviceProbe d;
    testing::internal::CaptureStdout();
    d.InitSetting(Parse(std::string(R"({"ip":")") + ip + R"(","address":1})"));
    EXPECT_EQ(testing::internal::GetCapturedStdout().find("is not UDP"), std::string::npos) << ip;
  }
}

}  // namespace
