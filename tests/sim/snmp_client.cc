#include <algorithm>
#include "tests/sim/snmp_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <mutex>

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/library/snmp_impl.h>

namespace simtest {

namespace {

Bound Convert(const netsnmp_variable_list* v) {
  Bound b;
  b.oid.assign(v->name, v->name + v->name_length);
  b.type = v->type;
  switch (v->type) {
    case ASN_INTEGER:
    case ASN_COUNTER:
    case ASN_GAUGE:
    case ASN_TIMETICKS:
      b.integer = *v->val.integer;
      break;
    case ASN_OPAQUE_FLOAT:
      std::memcpy(&b.float_bits, v->val.floatVal, sizeof b.float_bits);
      break;
    case ASN_OCTET_STR:
    case ASN_OPAQUE:
    case ASN_IPADDRESS:
      b.bytes.assign(reinterpret_cast<const char*>(v->val.string), v->val_len);
      break;
    default:
      break;
  }
  return b;
}

void Fill(const netsnmp_pdu* pdu, Result* out) {
  out->reqid = pdu->reqid;
  out->errstat = pdu->errstat;
  out->errindex = pdu->errindex;
  for (auto* v = pdu->variables; v != nullptr; v = v->next_variable) {
    out->bindings.push_back(Convert(v));
  }
}

}  // namespace

void InitNetSnmp() {
  static std::once_flag once;
  std::call_once(once, [] {
    setenv("MIBS", "", 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_PERSIST_STATE, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_LOAD, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_SAVE, 1);
    init_snmp("sim_test");
  });
}

Client::Client(uint16_t port, int timeout_ms, const std::string& community) {
  InitNetSnmp();
  netsnmp_session s;
  snmp_sess_init(&s);
  std::string peer = "udp:127.0.0.1:" + std::to_string(port);
  s.peername = const_cast<char*>(peer.c_str());
  s.version = SNMP_VERSION_2c;
  s.community = reinterpret_cast<u_char*>(const_cast<char*>(community.c_str()));
  s.community_len = community.size();
  s.timeout = long(timeout_ms) * 1000;
  s.retries = 0;
  session_ = snmp_sess_open(&s);  // copies what it needs
}

Client::~Client() {
  if (session_ != nullptr) snmp_sess_close(session_);
}

Result Client::Get(const std::vector<Oid>& oids) { return Exchange(SNMP_MSG_GET, 0, 0, oids); }

Result Client::GetNext(const std::vector<Oid>& oids) {
  return Exchange(SNMP_MSG_GETNEXT, 0, 0, oids);
}

Result Client::GetBulk(long non_repeaters, long max_repetitions, const std::vector<Oid>& oids) {
  return Exchange(SNMP_MSG_GETBULK, non_repeaters, max_repetitions, oids);
}

Result Client::Exchange(int command, long non_repeaters, long max_repetitions,
                        const std::vector<Oid>& oids) {
  Result result;
  if (session_ == nullptr) return result;
  netsnmp_pdu* pdu = snmp_pdu_create(command);
  if (command == SNMP_MSG_GETBULK) {
    pdu->non_repeaters = non_repeaters;
    pdu->max_repetitions = max_repetitions;
  }
  for (const Oid& o : oids) {
    std::vector<oid> name(o.begin(), o.end());
    snmp_add_null_var(pdu, name.data(), name.size());
  }
  netsnmp_pdu* response = nullptr;
  result.status = snmp_sess_synch_response(session_, pdu, &response);
  if (result.status == STAT_SUCCESS && response != nullptr) Fill(response, &result);
  if (response != nullptr) snmp_free_pdu(response);
  return result;
}

std::string BuildBulkRequest(long reqid, long non_repeaters, long max_repetitions, const Oid& o,
                             const std::string& community) {
  InitNetSnmp();
  netsnmp_pdu* pdu = snmp_pdu_create(SNMP_MSG_GETBULK);
  pdu->version = SNMP_VERSION_2c;
  pdu->reqid = reqid;
  pdu->non_repeaters = non_repeaters;
  pdu->max_repetitions = max_repetitions;
  pdu->community = reinterpret_cast<u_char*>(strdup(community.c_str()));
  pdu->community_len = community.size();
  pdu->flags |= UCD_MSG_FLAG_FORWARD_ENCODE;  // the message starts at the buffer's start
  std::vector<oid> name(o.begin(), o.end());
  snmp_add_null_var(pdu, name.data(), name.size());
  netsnmp_session session{};
  session.version = SNMP_VERSION_2c;
  size_t len = 65536, offset = 0;
  u_char* buf = static_cast<u_char*>(std::malloc(len));
  std::string wire;
  if (snmp_build(&buf, &len, &offset, &session, pdu) == 0) {
    wire.assign(reinterpret_cast<char*>(buf), len);
  }
  std::free(buf);
  snmp_free_pdu(pdu);
  return wire;
}

std::vector<std::string> RawExchange(uint16_t port, const std::string& request, int quiet_ms) {
  std::vector<std::string> got;
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return got;
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (sendto(fd, request.data(), request.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) ==
      ssize_t(request.size())) {
    std::string buf(65536, '\0');
    for (int i = 0; i < 8; ++i) {
      // The first datagram may be slow on a loaded or emulated machine; after it, `quiet_ms`
      // of silence means the agent has sent everything.
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, got.empty() ? std::max(quiet_ms, 2000) : quiet_ms) <= 0) break;
      ssize_t n = recv(fd, &buf[0], buf.size(), 0);
      if (n < 0) break;
      got.push_back(buf.substr(0, size_t(n)));
    }
  }
  close(fd);
  return got;
}

bool ParseResponse(const std::string& wire, Result* out) {
  std::string copy = wire;
  u_char community[256];
  size_t community_len = sizeof community;
  long version = -1;
  size_t length = copy.size();
  u_char* rest = snmp_comstr_parse(reinterpret_cast<u_char*>(&copy[0]), &length, community,
                                   &community_len, &version);
  if (rest == nullptr || version != SNMP_VERSION_2c) return false;
  netsnmp_pdu* pdu = static_cast<netsnmp_pdu*>(std::calloc(1, sizeof(netsnmp_pdu)));
  pdu->version = version;
  bool ok =
      snmp_pdu_parse(pdu, rest, &length) == SNMP_ERR_NOERROR && pdu->command == SNMP_MSG_RESPONSE;
  if (ok) {
    *out = Result{};
    out->status = STAT_SUCCESS;
    Fill(pdu, out);
  }
  snmp_free_pdu(pdu);
  return ok;
}

}  // namespace simtest
