#include "tests/interop/interop_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace interop {

namespace {

using Clock = std::chrono::steady_clock;

sockaddr_in Loopback(uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

uint16_t BoundPort(int fd) {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) return 0;
  return ntohs(a.sin_port);
}

std::string ShellQuote(const std::string& s) {
  std::string out = "'";
  for (char c : s) {
    if (c == '\'') {
      out += "'\\''";
    } else {
      out += c;
    }
  }
  return out + "'";
}

}  // namespace

bool Executable(const std::string& path) { return access(path.c_str(), X_OK) == 0; }

bool WriteFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  out.close();
  return static_cast<bool>(out);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

uint16_t FreeUdpPort() {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) return 0;
  sockaddr_in a = Loopback(0);
  uint16_t port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) port = BoundPort(fd);
  close(fd);
  return port;
}

int RunCommand(const std::string& command, int limit_s, std::string* out) {
  const std::string line =
      "timeout -k 2 " + std::to_string(limit_s) + " /bin/sh -c " + ShellQuote(command);
  out->clear();
  FILE* p = popen(line.c_str(), "r");
  if (p == nullptr) return -1;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out->append(buf, n);
  const int status = pclose(p);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

UdpRelay::UdpRelay(uint16_t agent_port) {
  front_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  upstream_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (front_ < 0 || upstream_ < 0) return;
  sockaddr_in front = Loopback(0);
  sockaddr_in agent = Loopback(agent_port);
  if (bind(front_, reinterpret_cast<sockaddr*>(&front), sizeof front) != 0) return;
  if (connect(upstream_, reinterpret_cast<sockaddr*>(&agent), sizeof agent) != 0) return;
  port_ = BoundPort(front_);
  if (port_ != 0) thread_ = std::thread([this] { Serve(); });
}

UdpRelay::~UdpRelay() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  if (front_ >= 0) close(front_);
  if (upstream_ >= 0) close(upstream_);
}

void UdpRelay::Serve() {
  sockaddr_in client{};
  socklen_t client_len = 0;
  std::vector<unsigned char> buf(65536);
  while (!stop_) {
    pollfd fds[2] = {{front_, POLLIN, 0}, {upstream_, POLLIN, 0}};
    // A short poll keeps the stop flag's latency low; each turn handles at most one datagram
    // per socket, so the loop always comes back to the flag.
    if (poll(fds, 2, 20) <= 0) continue;
    if (fds[0].revents & POLLIN) {
      sockaddr_in from{};
      socklen_t from_len = sizeof from;
      const ssize_t n = recvfrom(front_, buf.data(), buf.size(), MSG_DONTWAIT,
                                 reinterpret_cast<sockaddr*>(&from), &from_len);
      if (n >= 0) {
        client = from;
        client_len = from_len;
        ++requests_;
        (void)send(upstream_, buf.data(), static_cast<size_t>(n), 0);
      }
    }
    // An ICMP "port unreachable" shows as POLLERR; recv consumes it (and fails), so the loop
    // does not spin on it.
    if (fds[1].revents & (POLLIN | POLLERR)) {
      const ssize_t n = recv(upstream_, buf.data(), buf.size(), MSG_DONTWAIT);
      if (n >= 0 && client_len != 0) {
        ++answers_;
        (void)sendto(front_, buf.data(), static_cast<size_t>(n), 0,
                     reinterpret_cast<sockaddr*>(&client), client_len);
      }
    }
  }
}

std::vector<WalkLine> ParseWalk(const std::string& text) {
  std::vector<WalkLine> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] != '.') continue;
    const size_t eq = line.find(" = ");
    if (eq == std::string::npos) continue;
    WalkLine w;
    bool numeric = true;
    std::string sub;
    std::istringstream parts(line.substr(1, eq - 1));
    while (std::getline(parts, sub, '.')) {
      if (sub.empty() || sub.find_first_not_of("0123456789") != std::string::npos) {
        numeric = false;
        break;
      }
      w.oid.push_back(static_cast<uint32_t>(std::stoul(sub)));
    }
    if (!numeric || w.oid.empty()) continue;
    std::string rest = line.substr(eq + 3);
    if (rest.rfind("No more variables", 0) == 0 || rest.rfind("No Such", 0) == 0) continue;
    // The value of an Opaque float is labelled twice: "Opaque: Float: 1.500000".
    static const char* const kTwoLevel = "Opaque: Float: ";
    if (rest.rfind(kTwoLevel, 0) == 0) {
      w.type = "Opaque: Float";
      w.value = rest.substr(std::strlen(kTwoLevel));
    } else if (const size_t colon = rest.find(": ");
               colon != std::string::npos && rest.find(' ') >= colon) {
      w.type = rest.substr(0, colon);
      w.value = rest.substr(colon + 2);
    } else {
      w.value = rest;
    }
    lines.push_back(std::move(w));
  }
  return lines;
}

ExternalAgent::~ExternalAgent() { process_.Stop(); }

std::string ExternalAgent::Log() const {
  return ReadFile(dir_.path() + "/agent.out") + ReadFile(dir_.path() + "/snmpd.log");
}

bool ExternalAgent::StartSnmpd(const std::string& override_lines, const std::string& probe_oid,
                               std::string* error) {
  return LaunchSnmpd(std::string("rocommunity ") + kCommunity + " 127.0.0.1\n" +
                         "view all included .1\n" + override_lines,
                     probe_oid, error);
}

bool ExternalAgent::StartSnmpdV3(const std::string& user_lines, const std::string& override_lines,
                                 const std::string& probe_oid, const std::string& probe_security,
                                 std::string* error) {
  probe_security_ = probe_security;
  return LaunchSnmpd("view all included .1\n" + user_lines + override_lines, probe_oid, error);
}

bool ExternalAgent::RestartSnmpdV3(const std::string& user_lines, const std::string& override_lines,
                                   const std::string& probe_oid, const std::string& probe_security,
                                   const std::string& engine_id, unsigned boots,
                                   std::string* error) {
  if (!dir_.ok()) {
    *error = "no temporary directory";
    return false;
  }
  process_.Stop();
  fixed_port_ = port_;
  probe_security_ = probe_security;
  const std::string persist = dir_.path() + "/persist";
  std::error_code ec;
  std::filesystem::remove_all(persist, ec);
  std::filesystem::create_directory(persist);
  if (!WriteFile(dir_.path() + "/snmpd.conf", "engineID " + engine_id + "\nview all included .1\n" +
                                                  user_lines + override_lines)) {
    *error = "cannot write snmpd.conf";
    return false;
  }
  if (boots == 0) {
    conf_path_.clear();
    return Launch(SnmpdArgv, probe_oid, error);
  }
  // snmpd reads its boot count from its persistent state only when it reads configuration
  // folders (no -C); the only folder it is given is that state's own. The count belongs to the
  // engine ID it was saved with (net-snmp's text engine IDs: 80001f88 04 and the text).
  std::string hex = "0x80001f8804";
  static const char kDigits[] = "0123456789abcdef";
  for (unsigned char c : engine_id) {
    hex += kDigits[c >> 4];
    hex += kDigits[c & 15];
  }
  if (!WriteFile(persist + "/snmpd.conf",
                 "engineBoots " + std::to_string(boots) + "\noldEngineID " + hex + "\n")) {
    *error = "cannot write the persistent state";
    return false;
  }
  conf_path_ = persist;
  return Launch(
      [](const std::string& dir, uint16_t port) {
        std::vector<std::string> argv = SnmpdArgv(dir, port);
        argv.erase(std::find(argv.begin(), argv.end(), "-C"));
        return argv;
      },
      probe_oid, error);
}

bool ExternalAgent::LaunchSnmpd(const std::string& conf, const std::string& probe_oid,
                                std::string* error) {
  if (!dir_.ok()) {
    *error = "no temporary directory";
    return false;
  }
  if (!WriteFile(dir_.path() + "/snmpd.conf", conf)) {
    *error = "cannot write snmpd.conf";
    return false;
  }
  std::filesystem::create_directory(dir_.path() + "/persist");
  return Launch(SnmpdArgv, probe_oid, error);
}

std::vector<std::string> ExternalAgent::SnmpdArgv(const std::string& dir, uint16_t port) {
  // -C: none of the system's configuration files, only -c CONF.
  return std::vector<std::string>{kSnmpd,
                                  "-f",
                                  "-Lf",
                                  dir + "/snmpd.log",
                                  "-C",
                                  "-c",
                                  dir + "/snmpd.conf",
                                  "-p",
                                  dir + "/snmpd.pid",
                                  "udp:127.0.0.1:" + std::to_string(port)};
}

const char* ExternalAgent::Snmpsimd() {
  static const char* const kOld = "/usr/bin/snmpsimd";
  static const char* const kNew = "/usr/bin/snmpsim-command-responder";
  return Executable(kOld) || !Executable(kNew) ? kOld : kNew;
}

bool ExternalAgent::StartSnmpsim(const std::string& snmprec, const std::string& probe_oid,
                                 std::string* error) {
  if (!dir_.ok()) {
    *error = "no temporary directory";
    return false;
  }
  const std::string data = dir_.path() + "/data";
  const std::string cache = dir_.path() + "/cache";
  std::filesystem::create_directory(data);
  std::filesystem::create_directory(cache);
  if (!WriteFile(data + "/" + kCommunity + ".snmprec", snmprec)) {
    *error = "cannot write the .snmprec file";
    return false;
  }
  // Run as root, snmpsimd drops to nobody before it reads its data: the data must be
  // readable, and the index cache writable, by that user.
  chmod(dir_.path().c_str(), 0755);
  chmod(data.c_str(), 0755);
  chmod((data + "/" + kCommunity + ".snmprec").c_str(), 0644);
  chmod(cache.c_str(), 0777);
  return Launch(
      [](const std::string& dir, uint16_t port) {
        std::vector<std::string> argv{
            Snmpsimd(), "--data-dir=" + dir + "/data", "--cache-dir=" + dir + "/cache",
            "--agent-udpv4-endpoint=127.0.0.1:" + std::to_string(port), "--logging-method=stderr"};
        if (geteuid() == 0) {
          argv.push_back("--process-user=nobody");
          argv.push_back("--process-group=nogroup");
        }
        return argv;
      },
      probe_oid, error);
}

bool ExternalAgent::Launch(ArgvFor argv_for, const std::string& probe_oid, std::string* error) {
  const std::string& dir = dir_.path();
  const std::vector<std::string> env{"PATH=/usr/sbin:/usr/bin:/sbin:/bin",
                                     "HOME=" + dir,
                                     "MIBS=",
                                     "SNMPCONFPATH=" + (conf_path_.empty() ? dir : conf_path_),
                                     "SNMP_PERSISTENT_DIR=" + dir + "/persist",
                                     "LANG=C.UTF-8"};
  std::string why;
  for (int attempt = 0; attempt < 3; ++attempt) {
    const uint16_t port = fixed_port_ != 0 ? fixed_port_ : FreeUdpPort();
    if (port == 0) {
      why = "no free UDP port";
      continue;
    }
    if (!process_.StartAgent(argv_for(dir, port), env, dir + "/agent.out", &why)) continue;
    // Probe until the agent answers, it exits (another process took the port), or 60 s pass.
    const std::string probe =
        "MIBS= SNMP_PERSISTENT_DIR=" + dir + "/client /usr/bin/snmpget " + probe_security_ +
        " -On -t 0.3 -r 0 127.0.0.1:" + std::to_string(port) + " " + probe_oid + " 2>&1";
    const auto end = Clock::now() + std::chrono::seconds(60);
    for (int tries = 0; tries < 600 && Clock::now() < end; ++tries) {
      if (!process_.Running()) break;
      std::string out;
      if (RunCommand(probe, 5, &out) == 0 && out.find(probe_oid + " = ") != std::string::npos) {
        port_ = port;
        return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    why = process_.Running() ? "did not answer within 60 s on port " + std::to_string(port)
                             : "exited on port " + std::to_string(port);
    process_.Stop();
  }
  *error = why + "\n--- agent output ---\n" + Log();
  return false;
}

}  // namespace interop
