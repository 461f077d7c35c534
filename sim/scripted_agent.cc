#include "sim/scripted_agent.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace pdusim {

const std::vector<uint32_t> kUnknownEngineIds = {1, 3, 6, 1, 6, 3, 15, 1, 1, 4, 0};
const std::vector<uint32_t> kNotInTimeWindows = {1, 3, 6, 1, 6, 3, 15, 1, 1, 2, 0};

namespace {

// --- reading ---------------------------------------------------------------------------------

struct Tlv {
  uint8_t tag = 0;
  size_t content = 0;  // offset of the content
  size_t length = 0;
  size_t end() const { return content + length; }
};

bool ReadTlv(const uint8_t* d, size_t at, size_t end, Tlv* t) {
  if (at + 2 > end) return false;
  t->tag = d[at];
  size_t pos = at + 2;
  size_t length = d[at + 1];
  if (length & 0x80) {
    const size_t octets = length & 0x7f;
    if (octets == 0 || octets > 4 || pos + octets > end) return false;
    length = 0;
    for (size_t i = 0; i < octets; ++i) length = (length << 8) | d[pos + i];
    pos += octets;
  }
  if (length > end - pos) return false;
  t->content = pos;
  t->length = length;
  return true;
}

bool ReadInteger(const uint8_t* d, const Tlv& t, long* out) {
  if (t.tag != 0x02 || t.length == 0 || t.length > sizeof(long)) return false;
  long v = (d[t.content] & 0x80) ? -1 : 0;
  for (size_t i = 0; i < t.length; ++i)
    v = static_cast<long>((static_cast<unsigned long>(v) << 8) | d[t.content + i]);
  *out = v;
  return true;
}

std::string Text(const uint8_t* d, const Tlv& t) {
  return std::string(reinterpret_cast<const char*>(d + t.content), t.length);
}

// The PDU at `at`: request id, and the first binding's name.
bool ReadPdu(const uint8_t* d, size_t at, size_t end, RequestIds* out) {
  Tlv pdu, id, field, list, binding, name;
  if (!ReadTlv(d, at, end, &pdu) || (pdu.tag & 0xe0) != 0xa0) return false;
  out->pdu = pdu.tag;
  if (!ReadTlv(d, pdu.content, pdu.end(), &id) || !ReadInteger(d, id, &out->request_id)) {
    return false;
  }
  size_t pos = id.end();
  for (int i = 0; i < 2; ++i, pos = field.end()) {
    if (!ReadTlv(d, pos, pdu.end(), &field)) return false;
  }
  out->oid.clear();
  if (ReadTlv(d, pos, pdu.end(), &list) && list.tag == 0x30 &&
      ReadTlv(d, list.content, list.end(), &binding) && binding.tag == 0x30 &&
      ReadTlv(d, binding.content, binding.end(), &name) && name.tag == 0x06 && name.length > 0) {
    const uint8_t first = d[name.content];
    out->oid = {static_cast<uint32_t>(first / 40), static_cast<uint32_t>(first % 40)};
    uint32_t sub = 0;
    for (size_t i = name.content + 1; i < name.end(); ++i) {
      sub = (sub << 7) | (d[i] & 0x7f);
      if ((d[i] & 0x80) == 0) {
        out->oid.push_back(sub);
        sub = 0;
      }
    }
  }
  return true;
}

// --- writing ---------------------------------------------------------------------------------

std::string Tag(uint8_t tag, const std::string& content) {
  std::string out(1, static_cast<char>(tag));
  const size_t n = content.size();
  if (n < 0x80) {
    out += static_cast<char>(n);
  } else if (n < 0x100) {
    out += '\x81';
    out += static_cast<char>(n);
  } else {
    out += '\x82';
    out += static_cast<char>(n >> 8);
    out += static_cast<char>(n & 0xff);
  }
  return out + content;
}

std::string Integer(long v) {
  std::string bytes;
  for (int i = static_cast<int>(sizeof v) - 1; i >= 0; --i) {
    bytes += static_cast<char>((static_cast<unsigned long>(v) >> (8 * i)) & 0xff);
  }
  // The shortest two's complement form.
  while (bytes.size() > 1 &&
         ((bytes[0] == 0 && !(bytes[1] & 0x80)) || (bytes[0] == '\xff' && (bytes[1] & 0x80)))) {
    bytes.erase(0, 1);
  }
  return Tag(0x02, bytes);
}

std::string Oid(const std::vector<uint32_t>& oid) {
  std::string bytes;
  if (oid.size() >= 2) bytes += static_cast<char>(oid[0] * 40 + oid[1]);
  for (size_t i = 2; i < oid.size(); ++i) {
    std::string sub(1, static_cast<char>(oid[i] & 0x7f));
    for (uint32_t v = oid[i] >> 7; v != 0; v >>= 7) {
      sub.insert(sub.begin(), static_cast<char>(0x80 | (v & 0x7f)));
    }
    bytes += sub;
  }
  return Tag(0x06, bytes);
}

std::string Pdu(uint8_t tag, long request_id, const std::vector<uint32_t>& oid,
                const std::string& value) {
  const std::string binding = Tag(0x30, Oid(oid) + value);
  return Tag(tag, Integer(request_id) + Integer(0) + Integer(0) + Tag(0x30, binding));
}

std::string V3Message(const RequestIds& r, const std::string& engine, long boots, long time,
                      const std::string& pdu) {
  const std::string global =
      Tag(0x30, Integer(r.msg_id) + Integer(65507) + Tag(0x04, std::string(1, '\0')) + Integer(3));
  const std::string security = Tag(0x30, Tag(0x04, engine) + Integer(boots) + Integer(time) +
                                             Tag(0x04, r.user) + Tag(0x04, "") + Tag(0x04, ""));
  const std::string scoped = Tag(0x30, Tag(0x04, engine) + Tag(0x04, "") + pdu);
  return Tag(0x30, Integer(3) + global + Tag(0x04, security) + scoped);
}

}  // namespace

bool ReadRequest(const uint8_t* d, size_t size, RequestIds* out) {
  *out = RequestIds();
  Tlv message, version, next;
  long v = 0;
  if (!ReadTlv(d, 0, size, &message) || message.tag != 0x30 ||
      !ReadTlv(d, message.content, message.end(), &version) || !ReadInteger(d, version, &v)) {
    return false;
  }
  out->version = static_cast<int>(v);
  if (!ReadTlv(d, version.end(), message.end(), &next)) return false;
  if (v == 0 || v == 1) {
    if (next.tag != 0x04) return false;
    out->community = Text(d, next);
    return ReadPdu(d, next.end(), message.end(), out);
  }
  if (v != 3 || next.tag != 0x30) return false;
  Tlv id, security, scoped, field;
  if (!ReadTlv(d, next.content, next.end(), &id) || !ReadInteger(d, id, &out->msg_id) ||
      !ReadTlv(d, next.end(), message.end(), &security) || security.tag != 0x04) {
    return false;
  }
  Tlv params, engine;
  if (ReadTlv(d, security.content, security.end(), &params) && params.tag == 0x30 &&
      ReadTlv(d, params.content, params.end(), &engine) && engine.tag == 0x04) {
    out->engine = Text(d, engine);
    size_t pos = engine.end();
    for (int i = 0; i < 3 && ReadTlv(d, pos, params.end(), &field); ++i, pos = field.end()) {
      if (i == 2 && field.tag == 0x04) out->user = Text(d, field);
    }
  }
  if (!ReadTlv(d, security.end(), message.end(), &scoped) || scoped.tag != 0x30) return false;
  size_t pos = scoped.content;
  for (int i = 0; i < 2; ++i, pos = field.end()) {
    if (!ReadTlv(d, pos, scoped.end(), &field)) return false;
  }
  return ReadPdu(d, pos, scoped.end(), out);
}

std::string V2cResponse(const RequestIds& r, const std::vector<uint32_t>& oid,
                        const std::string& value) {
  return Tag(0x30, Integer(1) + Tag(0x04, r.community) + Pdu(0xa2, r.request_id, oid, value));
}

std::string V3Report(const RequestIds& r, const std::string& engine, long boots, long time,
                     const std::vector<uint32_t>& oid) {
  return V3Message(r, engine, boots, time,
                   Pdu(0xa8, r.request_id, oid, Tag(0x41, std::string(1, '\x01'))));
}

std::string V3Response(const RequestIds& r, const std::string& engine, long boots, long time,
                       const std::vector<uint32_t>& oid, const std::string& value) {
  return V3Message(r, engine, boots, time, Pdu(0xa2, r.request_id, oid, value));
}

ScriptedAgent::ScriptedAgent(Script script) : script_(std::move(script)) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sock_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  other_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  socklen_t length = sizeof a;
  if (sock_ < 0 || other_ < 0 || bind(sock_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      bind(other_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      getsockname(sock_, reinterpret_cast<sockaddr*>(&a), &length) != 0) {
    return;
  }
  port_ = ntohs(a.sin_port);
  thread_ = std::thread([this] { Serve(); });
}

ScriptedAgent::~ScriptedAgent() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  for (int fd : {sock_, other_}) {
    if (fd >= 0) close(fd);
  }
}

void ScriptedAgent::Serve() {
  std::vector<char> buffer(65536);
  while (!stop_) {
    pollfd p{sock_, POLLIN, 0};
    if (poll(&p, 1, 20) <= 0) continue;
    sockaddr_storage from{};
    socklen_t from_length = sizeof from;
    const ssize_t n = recvfrom(sock_, buffer.data(), buffer.size(), MSG_DONTWAIT,
                               reinterpret_cast<sockaddr*>(&from), &from_length);
    if (n < 0) continue;
    ++received_;
    for (const Datagram& d : script_(std::string(buffer.data(), static_cast<size_t>(n)))) {
      sendto(d.from_other_port ? other_ : sock_, d.bytes.data(), d.bytes.size(), 0,
             reinterpret_cast<const sockaddr*>(&from), from_length);
    }
  }
}

}  // namespace pdusim
