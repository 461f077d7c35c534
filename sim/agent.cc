#include "sim/agent.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/library/snmp_impl.h>

#include "sim/responder.h"

namespace pdusim {

namespace {

constexpr size_t kMaxDatagram = 65507;  // largest UDP payload over IPv4
constexpr long kTooBig = 1;
// A BER sequence header claiming 4 GiB of content, then text: no SNMP parser accepts it.
const char kGarbage[] = "\x30\x84\xff\xff\xff\xff pdusim garbage";

struct PduDeleter {
  void operator()(netsnmp_pdu* pdu) const { snmp_free_pdu(pdu); }
};
using PduPtr = std::unique_ptr<netsnmp_pdu, PduDeleter>;

// A zeroed PDU. Allocated here rather than by snmp_pdu_create, which draws request ids from
// net-snmp's unlocked global counter that client threads in the same process also use.
PduPtr NewPdu() { return PduPtr(static_cast<netsnmp_pdu*>(std::calloc(1, sizeof(netsnmp_pdu)))); }

bool Decode(const uint8_t* data, size_t size, const std::string& community, PduPtr* out,
            Request* request) {
  u_char name[256];
  size_t name_len = sizeof name;
  long version = -1;
  size_t length = size;
  u_char* rest = snmp_comstr_parse(const_cast<u_char*>(data), &length, name, &name_len, &version);
  if (rest == nullptr || version != SNMP_VERSION_2c) return false;
  if (std::string(reinterpret_cast<char*>(name), name_len) != community) return false;
  PduPtr pdu = NewPdu();
  if (!pdu) return false;
  pdu->version = version;
  if (snmp_pdu_parse(pdu.get(), rest, &length) != SNMP_ERR_NOERROR) return false;
  switch (pdu->command) {
    case SNMP_MSG_GET:
      request->command = Request::Command::kGet;
      break;
    case SNMP_MSG_GETNEXT:
      request->command = Request::Command::kGetNext;
      break;
    case SNMP_MSG_GETBULK:
      request->command = Request::Command::kGetBulk;
      break;
    case SNMP_MSG_SET:
      request->command = Request::Command::kSet;
      break;
    default:
      return false;
  }
  for (auto* v = pdu->variables; v != nullptr; v = v->next_variable) {
    request->oids.emplace_back(v->name, v->name + v->name_length);
  }
  request->non_repeaters = pdu->non_repeaters;
  request->max_repetitions = pdu->max_repetitions;
  *out = std::move(pdu);
  return true;
}

// The 4 bytes of a bare float, big-endian.
std::string BareFloatBytes(const Binding& b) {
  return std::string{char(b.bare_bits >> 24), char(b.bare_bits >> 16), char(b.bare_bits >> 8),
                     char(b.bare_bits)};
}

void AddBinding(netsnmp_pdu* pdu, const Binding& b) {
  std::vector<oid> name(b.oid.begin(), b.oid.end());
  if (b.exception != 0) {
    snmp_pdu_add_variable(pdu, name.data(), name.size(), b.exception, nullptr, 0);
    return;
  }
  if (b.bare_float) {
    // Encoded as a 4-byte OCTET STRING, retagged after encoding (see PatchBareFloats).
    const std::string bytes = BareFloatBytes(b);
    snmp_pdu_add_variable(pdu, name.data(), name.size(), ASN_OCTET_STR, bytes.data(), bytes.size());
    return;
  }
  const Value& v = b.value;
  switch (v.type) {
    case Value::Type::kInteger: {
      long n = long(v.number);
      snmp_pdu_add_variable(pdu, name.data(), name.size(), ASN_INTEGER, &n, sizeof n);
      break;
    }
    case Value::Type::kCounter32:
    case Value::Type::kGauge32:
    case Value::Type::kTimeTicks: {
      u_long n = u_long(v.number);
      snmp_pdu_add_variable(pdu, name.data(), name.size(), u_char(v.type), &n, sizeof n);
      break;
    }
    case Value::Type::kOctetString:
    case Value::Type::kIpAddress:
    case Value::Type::kOpaque:
      snmp_pdu_add_variable(pdu, name.data(), name.size(), u_char(v.type), v.bytes.data(),
                            v.bytes.size());
      break;
  }
}

// Turns the OCTET STRING tag of each bare_float binding into the bare application-8 tag 0x48.
void PatchBareFloats(const Reply& reply, std::string* wire) {
  for (const Binding& b : reply.bindings) {
    if (!b.bare_float) continue;
    std::vector<oid> name(b.oid.begin(), b.oid.end());
    u_char buf[300];
    size_t room = sizeof buf;
    u_char* end = asn_build_objid(buf, &room, ASN_OBJECT_ID, name.data(), name.size());
    if (end == nullptr) continue;
    std::string pattern(reinterpret_cast<char*>(buf), size_t(end - buf));
    size_t objid_len = pattern.size();
    pattern += std::string("\x04\x04", 2) + BareFloatBytes(b);
    size_t at = wire->find(pattern);
    if (at != std::string::npos) (*wire)[at + objid_len] = char(0x48);
  }
}

// The response datagram, or "" when net-snmp could not encode it.
std::string Encode(const netsnmp_pdu& request, const Reply& reply, long reqid,
                   const std::string& community) {
  PduPtr pdu = NewPdu();
  if (!pdu) return "";
  pdu->version = SNMP_VERSION_2c;
  pdu->command = SNMP_MSG_RESPONSE;
  pdu->reqid = reqid;
  pdu->errstat = reply.error_status;
  pdu->errindex = reply.error_index;
  pdu->community = static_cast<u_char*>(std::malloc(community.size() + 1));
  if (pdu->community == nullptr) return "";
  std::memcpy(pdu->community, community.c_str(), community.size() + 1);
  pdu->community_len = community.size();
  if (reply.echo_request) {
    pdu->variables = request.variables ? snmp_clone_varbind(request.variables) : nullptr;
  } else {
    for (const Binding& b : reply.bindings) AddBinding(pdu.get(), b);
  }
  // Forward encoding whatever net-snmp's reverse-encoding default is: the message then starts at
  // the buffer's start and snmp_build leaves its length in buf_len.
  pdu->flags |= UCD_MSG_FLAG_FORWARD_ENCODE;
  netsnmp_session session{};
  session.version = SNMP_VERSION_2c;
  size_t buf_len = kMaxDatagram + 4096, offset = 0;
  u_char* buf = static_cast<u_char*>(std::malloc(buf_len));
  if (buf == nullptr) return "";
  std::string wire;
  if (snmp_build(&buf, &buf_len, &offset, &session, pdu.get()) == 0) {
    wire.assign(reinterpret_cast<const char*>(buf), buf_len);
  }
  std::free(buf);
  PatchBareFloats(reply, &wire);
  return wire;
}

}  // namespace

Agent::Agent(Dataset data, std::string community)
    : community_(std::move(community)), data_(std::make_shared<const Dataset>(std::move(data))) {}

Agent::~Agent() { Stop(); }

bool Agent::Start(uint16_t port, std::string* error, Loopback loopback) {
  const bool v6 = loopback == Loopback::kIPv6;
  const std::string where = std::string(v6 ? "[::1]:" : "127.0.0.1:") + std::to_string(port);
  auto fail = [&](const std::string& what) {
    if (error) *error = what + ": " + std::strerror(errno);
    if (sock_ >= 0) close(sock_);
    sock_ = -1;
    return false;
  };
  if (thread_.joinable()) {
    if (error) *error = "agent already running";
    return false;
  }
  ipv6_ = v6;
  sock_ = socket(v6 ? AF_INET6 : AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (sock_ < 0) return fail("socket");
  sockaddr_storage addr{};
  socklen_t len = 0;
  if (v6) {
    auto* a = reinterpret_cast<sockaddr_in6*>(&addr);
    a->sin6_family = AF_INET6;
    a->sin6_port = htons(port);
    a->sin6_addr = in6addr_loopback;
    len = sizeof *a;
  } else {
    auto* a = reinterpret_cast<sockaddr_in*>(&addr);
    a->sin_family = AF_INET;
    a->sin_port = htons(port);
    a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    len = sizeof *a;
  }
  // One socket serves every simulated unit: a fleet of devices starting together sends a
  // burst of first requests that the default receive buffer would partly drop.
  const int rcvbuf = 4 << 20;
  setsockopt(sock_, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
  if (bind(sock_, reinterpret_cast<sockaddr*>(&addr), len) != 0) return fail("bind " + where);
  if (getsockname(sock_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    return fail("getsockname");
  }
  if (pipe2(wake_, O_CLOEXEC) != 0) return fail("pipe");
  port_ = ntohs(v6 ? reinterpret_cast<sockaddr_in6*>(&addr)->sin6_port
                   : reinterpret_cast<sockaddr_in*>(&addr)->sin_port);
  thread_ = std::thread(&Agent::Serve, this);
  return true;
}

void Agent::Stop() {
  if (!thread_.joinable()) return;
  char byte = 1;
  while (write(wake_[1], &byte, 1) < 0 && errno == EINTR) {
  }
  thread_.join();
  for (int* fd : {&sock_, &wake_[0], &wake_[1], &other_port_sock_, &other_address_sock_}) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
}

void Agent::SetFaults(const Faults& faults) {
  std::lock_guard<std::mutex> lock(mu_);
  faults_ = faults;
}

Faults Agent::faults() const {
  std::lock_guard<std::mutex> lock(mu_);
  return faults_;
}

void Agent::SetDataset(Dataset data) {
  auto shared = std::make_shared<const Dataset>(std::move(data));
  std::lock_guard<std::mutex> lock(mu_);
  data_ = std::move(shared);
}

void Agent::ResetCounters() {
  requests_ = 0;
  responses_ = 0;
}

bool Agent::Pause(unsigned ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return true;
    pollfd wake{wake_[0], POLLIN, 0};
    int rc = poll(&wake, 1, int(left.count()));
    if (rc > 0) return false;
    if (rc < 0 && errno != EINTR) return false;
  }
}

void Agent::Serve() {
  std::vector<uint8_t> buf(65536);
  for (;;) {
    pollfd fds[2] = {{sock_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents != 0) return;
    if ((fds[0].revents & POLLIN) == 0) continue;
    sockaddr_storage peer{};
    socklen_t peer_len = sizeof peer;
    ssize_t n =
        recvfrom(sock_, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(&peer), &peer_len);
    if (n > 0) Handle(buf.data(), size_t(n), &peer, peer_len);
  }
}

int Agent::AnswerSocket(Faults::AnswerFrom from) {
  if (from == Faults::AnswerFrom::kAgentPort) return sock_;
  const bool other_address = from == Faults::AnswerFrom::kOtherAddress && !ipv6_;
  int& fd = other_address ? other_address_sock_ : other_port_sock_;
  if (fd >= 0) return fd;
  fd = socket(ipv6_ ? AF_INET6 : AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_storage addr{};
  socklen_t len = 0;
  if (ipv6_) {
    auto* a = reinterpret_cast<sockaddr_in6*>(&addr);
    a->sin6_family = AF_INET6;
    a->sin6_addr = in6addr_loopback;
    len = sizeof *a;
  } else {
    auto* a = reinterpret_cast<sockaddr_in*>(&addr);
    a->sin_family = AF_INET;
    a->sin_addr.s_addr = htonl(other_address ? 0x7f000002 : INADDR_LOOPBACK);
    len = sizeof *a;
  }
  // Another address answers from the agent's own port, as an agent bound to the any-address
  // does; another port of the same address from a free one.
  if (other_address) reinterpret_cast<sockaddr_in*>(&addr)->sin_port = htons(port_);
  if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0) {
    reinterpret_cast<sockaddr_in*>(&addr)->sin_port = 0;  // taken: any port of that address
    if (!other_address || bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0) {
      close(fd);
      fd = -1;
    }
  }
  return fd >= 0 ? fd : sock_;
}

RequestShape Agent::last_request() const {
  std::lock_guard<std::mutex> lock(mu_);
  return last_request_;
}

void Agent::Handle(const uint8_t* data, size_t size, const void* peer, unsigned peer_len) {
  PduPtr pdu;
  Request request;
  if (!Decode(data, size, community_, &pdu, &request)) return;
  const uint64_t number = ++requests_;
  Faults f;
  std::shared_ptr<const Dataset> dataset;
  {
    std::lock_guard<std::mutex> lock(mu_);
    f = faults_;
    dataset = data_;
    last_request_.bulk = request.command == Request::Command::kGetBulk;
    last_request_.nonrepeaters = request.non_repeaters;
    last_request_.repetitions = request.max_repetitions;
    last_request_.bindings = request.oids.size();
  }
  if (f.silent || (f.silent_after > 0 && number > f.silent_after)) return;
  if (f.delay_ms > 0 && !Pause(f.delay_ms)) return;

  Reply reply;
  const uint64_t first_error = std::max<uint64_t>(f.error_at, 1);
  if (f.error_status != 0 && number >= first_error &&
      (f.error_count == 0 || number - first_error < f.error_count)) {
    reply.error_status = f.error_status;
    reply.error_index = 1;
    reply.echo_request = true;
  } else {
    reply = Respond(*dataset, f, request);
  }
  long reqid = pdu->reqid;
  if (f.mangle == Faults::Mangle::kWrongRequestId) reqid ^= 0x40000000;
  std::string wire = Encode(*pdu, reply, reqid, community_);
  // Too large for one datagram: a GETBULK drops trailing bindings, anything else is tooBig.
  while (wire.size() > kMaxDatagram && request.command == Request::Command::kGetBulk &&
         reply.bindings.size() > 1) {
    reply.bindings.resize(reply.bindings.size() / 2);
    wire = Encode(*pdu, reply, reqid, community_);
  }
  if (wire.empty() || wire.size() > kMaxDatagram) {
    reply = Reply{kTooBig, 0, false, {}};
    wire = Encode(*pdu, reply, reqid, community_);
  }
  if (f.mangle == Faults::Mangle::kTruncated) wire.resize(wire.size() / 2);

  const int from = AnswerSocket(f.answer_from);
  auto send = [&](const char* bytes, size_t n) {
    return sendto(from, bytes, n, 0, static_cast<const sockaddr*>(peer), socklen_t(peer_len));
  };
  if (f.garbage != Faults::Garbage::kNone) send(kGarbage, sizeof kGarbage - 1);
  if (f.garbage == Faults::Garbage::kInstead || wire.empty()) return;
  ++responses_;  // counted before sending, so a client that has its answer sees the count
  send(wire.data(), wire.size());
}

}  // namespace pdusim
