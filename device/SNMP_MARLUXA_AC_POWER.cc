#include "device/SNMP_MARLUXA_AC_POWER.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <iostream>

#include "alarms/alarm_catalogue.h"
#include "alarms/signal_id.h"
#include "device/schedule_setting.h"
#include "device/value_store.h"
#include "device/walk_notes.h"
#include "util/config_value.h"
#include "util/console_line.h"
#include "frame/round_failure.h"
#include "snmp/bare_floats.h"
#include "snmp/exchange_failure.h"
#include "snmp/icmp_errors.h"
#include "snmp/net_snmp_log.h"
#include "snmp/oid_text.h"
#include "snmp/peer_filter.h"
#include "snmp/udp_peer.h"
#include "snmp/udp_receive.h"
#include "snmp/usm_key.h"
#include "snmp/usm_walk.h"

namespace {
const oid kWalkRoot[SNMP_MARLUXA_AC_POWER::kRootLength] = {1, 3, 6, 1, 4, 1, 61333, 1, 1, 4};
}  // namespace

SNMP_MARLUXA_AC_POWER::SNMP_MARLUXA_AC_POWER() {
  std::memset(m_root, 0, sizeof m_root);
  std::memset(m_oid, 0, sizeof m_oid);
  std::memcpy(m_root, kWalkRoot, sizeof kWalkRoot);
  m_rootLength = kRootLength;
  m_type = "snmp_marluxa_ac_power";
  EnsureNetSnmpReady();
  snmp_sess_init(&m_session);
  m_session.version = SNMP_VERSION_2c;
  ApplySessionSettings();
}

SNMP_MARLUXA_AC_POWER::~SNMP_MARLUXA_AC_POWER() {
  // The stop stays raised: a walk that a host thread may still run on this object ends at
  // once too, and the round lock below waits for it to leave.
  std::lock_guard<std::mutex> schedule(m_scheduleMutex);
  m_stop.Raise();
  UsmWalk::WakeWaiters();
  if (m_thread && m_thread->joinable()) m_thread->join();
  auto round = RoundLock();
  WipeSessionKeys(&m_session);
}

void SNMP_MARLUXA_AC_POWER::ApplySessionSettings() {
  m_community = m_settings.community;  // the template points into the device's own copy
  m_session.community = reinterpret_cast<u_char*>(m_community.data());
  m_session.community_len = m_community.size();
  m_session.timeout = m_settings.timeout_us;
  m_session.retries = m_settings.retries;
  PrepareSessionTemplate(m_settings.snmp_version, &m_settings.v3, &m_session);
}

void SNMP_MARLUXA_AC_POWER::StopSampling() {
  if (!m_thread) return;
  m_stop.Raise();
  UsmWalk::WakeWaiters();
  if (m_thread->joinable()) m_thread->join();
  m_thread.reset();
  m_stop.Clear();
}

void SNMP_MARLUXA_AC_POWER::EndSampling() {
  std::lock_guard<std::mutex> schedule(m_scheduleMutex);
  StopSampling();
}

bool SNMP_MARLUXA_AC_POWER::InitSetting(const Json::Value& config) {
  std::lock_guard<std::mutex> schedule(m_scheduleMutex);
  int use_thread = m_useThread;
  ReadUseThread(config, &use_thread);
  // Before the round lock, which the sampling thread's walk holds: the walk ends at once.
  if (use_thread == 0) StopSampling();
  auto round = RoundLock();
  m_useThread = use_thread;
  SetRecordId(m_data, m_id);
  // The frame first: it takes the host's `ip`, which the settings lines name.
  Frame::InitSetting(config);
  const Json::Value* app = ConfigMember(config, "appSetting");
  m_settings = ReadWalkSettings(app, PeerSuffix());
  m_suggestedFastRequest = false;

  ApplySessionSettings();
  m_peer = m_ip;
  m_session.peername = m_peer.data();
  m_peerRefusal.clear();
  m_udpPeer = UdpPeer();
  if (!m_peer.empty()) {
    const PeerRefusal refusal = ParseUdpPeer(m_peer, &m_udpPeer);
    if (refusal.kind != PeerRefusal::Kind::kNone) {
      m_peerRefusal = refusal.walk_reason;
      ConsoleLine(std::cout, "ip: " + QuoteText(m_peer) + refusal.why +
                                 "; no session, the device does not walk");
    }
  }
  m_rootLength = kRootLength;
  m_root[m_rootLength++] = m_address;

  if (m_useThread != 0 && !m_thread) {
    try {
      m_thread = std::make_unique<SamplingThread>([this] { sample_data(nullptr); });
    } catch (...) {  // no thread to be had: the host's RefreshStatus calls drive the device
      m_useThread = 0;
      ReportFailure(
          "SNMP_MARLUXA_AC_POWER: sampling thread not started, walking on RefreshStatus "
          "instead");
    }
  }
  return true;
}

std::string SNMP_MARLUXA_AC_POWER::PeerSuffix() const {
  if (m_ip.empty()) return std::string();
  // Shown as configured; quoted (escaped and cut) only when it could not stand in a line as it is.
  bool plain = m_ip.size() <= kLongestPeerShown;
  for (char c : m_ip) plain = plain && static_cast<unsigned char>(c) >= 0x20 && c != 0x7f;
  return " (peer " + (plain ? m_ip : QuoteText(m_ip)) + ")";
}

int SNMP_MARLUXA_AC_POWER::process_data(int, unsigned char*, int) { return 0; }

int SNMP_MARLUXA_AC_POWER::RefreshStatus() {
  // m_useThread is non-zero whenever a sampling thread exists; m_thread itself belongs to
  // InitSetting and the destructor.
  if (m_useThread != 0) return 0;
  try {
    do_sample();
  } catch (...) {  // a host service threw inside the round: the host's thread goes on
    ReportRoundFailure();
  }
  return 0;
}

void SNMP_MARLUXA_AC_POWER::ReportRoundFailure() noexcept {
  auto round = RoundLock();  // the peer name changes only under it
  ReportFailure("SNMP_MARLUXA_AC_POWER: round failed");
}

void SNMP_MARLUXA_AC_POWER::sample_data(void*) {
  while (!m_stop.raised()) {
    try {
      do_sample();
    } catch (...) {  // nothing may end the host's process from this thread: sample on
      ReportRoundFailure();
    }
    m_stop.WaitFor(std::chrono::seconds(kPauseSeconds));
  }
}

void SNMP_MARLUXA_AC_POWER::do_sample() {
  ConsoleLine(std::cout, "SNMP_MARLUXA_AC_POWER::do_sample");
  auto round = RoundLock();
  if (m_ip.empty() || m_stop.raised()) return;
  const NetSnmpLogPeer log_peer(m_ip, PeerSuffix());  // net-snmp's lines name the peer
  if (m_settings.snmp_version == 0) {  // a half-made configuration never sends anything
    ConsoleLine(std::cerr,
                "snmpbulkwalk: no session opened: appSetting cannot form one (see InitSetting)" +
                    PeerSuffix());
    EndRound(false);
    return;
  }
  if (!m_peerRefusal.empty()) {  // a peer the walk does not take: nothing is sent
    ConsoleLine(std::cerr, "snmpbulkwalk: no session opened: " + m_peerRefusal +
                               " (see InitSetting)" + PeerSuffix());
    EndRound(false);
    return;
  }
  // A host name is resolved here, before the USM guard, so that net-snmp opens the session on
  // an address and never waits for a resolver itself.
  std::string numeric_peer;
  if (!ResolvePeer(&numeric_peer)) {
    EndRound(false);
    return;
  }
  UsmWalk usm;  // SNMPv3 only: net-snmp's USM around the open, discovery, user entry, close
  if (m_settings.snmp_version == 3 && !usm.Enter(m_stop)) return;
  if (!numeric_peer.empty()) m_session.peername = numeric_peer.data();
  m_openSession = OpenWalkSession(&m_session);
  m_session.peername = m_peer.data();
  if (m_openSession == nullptr) {
    snmp_sess_perror("snmpbulkwalk", &m_session);
    usm.Leave();
    EndRound(false);
    return;
  }
  UseDirectUdpReceive(m_openSession);  // first: the bare-float reading wraps it
  ReadBareFloats(m_openSession);
  PeerFilter filter;  // answers only from the peer's address (or any of the unit's) and port
  filter.Install(m_openSession, m_settings.answers_from_any_address);
  ReceiveIcmpErrors(m_openSession);  // a closed port or an unreachable host ends the exchange
  std::memcpy(m_oid, m_root, m_rootLength * sizeof(oid));
  m_oidLength = m_rootLength;
  m_repetitions = m_settings.max_repetitions;
  m_answered = false;
  m_found = false;
  m_reachedEnd = false;

  // SNMPv3: engine discovery first, the walk's first exchange, which fails as any does.
  const auto started = Exchange::Clock::now();
  auto progress = started;  // when the walk last moved on
  auto next_note = started + m_stillRunningEvery;
  bool more = usm.Ready(m_openSession, &m_exchange, progress + m_progressBound, m_peer);
  const int discovery = m_settings.snmp_version == 3 ? 1 : 0;
  // One clock reading per exchange, taken as it ends, serves both the progress bound and the
  // time of the progress.
  auto now = Exchange::Clock::now();
  for (int exchanges = discovery; more && !m_stop.raised(); ++exchanges) {
    if (exchanges == kMaxExchanges) {
      ConsoleLine(std::cout, "snmp walk stopped after " + std::to_string(kMaxExchanges) +
                                 " exchanges" + PeerSuffix());
      more = false;
    } else if (now - progress >= m_progressBound) {
      ConsoleLine(std::cout, "snmp walk stopped after " + std::to_string(m_progressBound.count()) +
                                 " ms without progress" + PeerSuffix());
      more = false;
    } else {
      const unsigned advances = m_advances;
      more = ExchangeOnce(progress + m_progressBound);
      now = Exchange::Clock::now();
      if (m_advances != advances) progress = now;
      if (more && !m_stop.raised() && now >= next_note) {  // a slow walk says so, now and then
        const oid leaf = m_oidLength > m_rootLength ? m_oid[m_rootLength] : 0;
        ConsoleLine(std::cout, StillRunningLine(now - started, leaf, exchanges + 1) + PeerSuffix());
        next_note = now + m_stillRunningEvery;
      }
      if (more && !m_stop.raised() && !m_suggestedFastRequest && m_advances != advances &&
          m_settings.max_repetitions == 0 && now - started >= m_suggestFastRequestAfter) {
        m_suggestedFastRequest = true;  // and what would make it quicker, once
        ConsoleLine(std::cout, FastRequestLine(now - started, exchanges + 1) + PeerSuffix());
      }
    }
  }
  if (m_reachedEnd && !m_found && !m_stop.raised()) {
    ConsoleLine(std::cout,
                "snmp walk found nothing under " + OidText(m_root, m_rootLength) + PeerSuffix());
  }
  if (filter.dropped() > 0) {
    // Answers from the peer's port at another address come from the unit itself, most likely:
    // the line names the setting that takes them.
    const std::string key =
        filter.dropped_from_other_address() == 0
            ? std::string()
            : "; " + std::to_string(filter.dropped_from_other_address()) +
                  " came from the peer's port at another address, which appSetting." +
                  kAnswersFromAnyAddressKey + " 1 would take";
    ConsoleLine(std::cout, "snmp walk dropped " + std::to_string(filter.dropped()) +
                               (filter.dropped() == 1 ? " answer from " : " answers from ") +
                               filter.first_source() + ", not from the peer " + filter.peer() +
                               key + PeerSuffix());
  }
  filter.Remove();
  const netsnmp_session* open = snmp_sess_session(m_openSession);
  const bool discovered = open != nullptr && open->securityEngineIDLen != 0;

  m_exchange.ReleaseResponse();
  usm.ForgetKeys(m_openSession);
  snmp_sess_close(m_openSession);
  m_openSession = nullptr;
  usm.Leave();
  if (m_settings.snmp_version == 3 && !discovered && !m_answered && !m_stop.raised()) {
    ReportSnmpv2cOnly(numeric_peer.empty() ? m_peer : numeric_peer);
  }
  EndRound(m_answered);
}

void SNMP_MARLUXA_AC_POWER::ReportSnmpv2cOnly(std::string peer) {
  netsnmp_session probe;
  snmp_sess_init(&probe);
  probe.version = SNMP_VERSION_2c;
  probe.peername = peer.data();
  probe.community = reinterpret_cast<u_char*>(m_community.data());
  probe.community_len = m_community.size();
  probe.timeout = std::min(m_settings.timeout_us, kSnmpv2cProbeUs);
  probe.retries = 0;
  void* session = OpenWalkSession(&probe);
  if (session == nullptr) return;
  UseDirectUdpReceive(session);
  PeerFilter filter;
  filter.Install(session);
  int status = STAT_ERROR;
  netsnmp_pdu* response = nullptr;
  if (netsnmp_pdu* request = snmp_pdu_create(SNMP_MSG_GETNEXT)) {
    if (snmp_add_null_var(request, m_root, m_rootLength) != nullptr) {
      status = m_exchange.Run(session, request, &response,
                              Exchange::Clock::now() + std::chrono::microseconds(probe.timeout) +
                                  std::chrono::seconds(1));
    } else {
      snmp_free_pdu(request);
    }
  }
  filter.Remove();
  m_exchange.ReleaseResponse();
  snmp_sess_close(session);
  if (status != STAT_SUCCESS) return;
  ConsoleLine(std::cout,
              "snmp walk: the unit answers SNMPv2c but not SNMPv3 (no answer to engine "
              "discovery): set appSetting.snmp_version 2, or turn SNMPv3 on at the unit" +
                  PeerSuffix());
}

void SNMP_MARLUXA_AC_POWER::EndRound(bool answered) {
  if (m_stop.raised()) return;  // the device is stopping: it publishes nothing more
  // No answer at all in this walk: the unit is out of reach, whatever leaf 1 said last.
  if (!answered) SetSlot(m_data, 1, 0.0f);
  RoundDone();
}

bool SNMP_MARLUXA_AC_POWER::ResolvePeer(std::string* numeric_peer) {
  const UdpPeer& peer = m_udpPeer;
  if (peer.host.empty()) return true;  // a port alone: net-snmp's "any" address
  if (peer.domain != UdpPeer::Domain::kIPv6 && IsNumericAddress(peer.host, false)) return true;
  if (peer.domain != UdpPeer::Domain::kIPv4 && IsNumericAddress(peer.host, true)) {
    // Without udp6: net-snmp would look the address up as an IPv4 host name first.
    if (peer.domain == UdpPeer::Domain::kEither) {
      *numeric_peer = NumericPeerName(peer, peer.host, true);
    }
    return true;
  }
  const HostResolver::Family family =
      peer.domain == UdpPeer::Domain::kIPv4   ? HostResolver::Family::kIPv4
      : peer.domain == UdpPeer::Domain::kIPv6 ? HostResolver::Family::kIPv6
                                              : HostResolver::Family::kIPv4ThenIPv6;
  // As long as one request may wait for its answer: the time-out times the attempts.
  const auto bound = std::chrono::microseconds(m_settings.timeout_us) * (m_settings.retries + 1);
  const HostResolver::Result found =
      m_resolver.Resolve(peer.host, family, m_stop, Exchange::Clock::now() + bound);
  const std::string bound_text =
      "no answer within " +
      std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(bound).count()) + " ms";
  const std::string name = "host name " + QuoteText(peer.host) + " did not resolve: ";
  switch (found.outcome) {
    case HostResolver::Result::Outcome::kAddress:
      if (found.last_good) {  // a late or failed lookup: the name's last address, still young
        const long long seconds =
            std::chrono::duration_cast<std::chrono::seconds>(found.age).count();
        ConsoleLine(std::cerr, "snmpbulkwalk: " + name +
                                   (found.reason.empty() ? bound_text : found.reason) +
                                   "; using its last address " + found.address + ", found " +
                                   std::to_string(seconds) + " s ago" + PeerSuffix());
      }
      *numeric_peer = NumericPeerName(peer, found.address, found.ipv6);
      return true;
    case HostResolver::Result::Outcome::kStopped:
      return false;
    case HostResolver::Result::Outcome::kTimedOut:
    case HostResolver::Result::Outcome::kFailed:
      break;
  }
  const std::string reason =
      found.outcome == HostResolver::Result::Outcome::kTimedOut ? bound_text : found.reason;
  ConsoleLine(std::cerr, "snmpbulkwalk: no session opened: " + name + reason + PeerSuffix());
  return false;
}

void SNMP_MARLUXA_AC_POWER::ReportStuckOid(const netsnmp_variable_list& var,
                                           const char* why) const {
  ConsoleLine(std::cout, "snmp walk stopped at OID " + OidText(var.name, var.name_length) + ": " +
                             why + PeerSuffix());
}

bool SNMP_MARLUXA_AC_POWER::ExchangeOnce(Exchange::Clock::time_point deadline) {
  m_lastSampleTime = m_sampleClock.Now();
  int status = STAT_ERROR;  // also when there is no memory for the request
  m_request = snmp_pdu_create(SNMP_MSG_GETBULK);
  if (m_request != nullptr && snmp_add_null_var(m_request, m_oid, m_oidLength) != nullptr) {
    if (m_settings.max_repetitions > 0) {
      m_request->non_repeaters = 0;
      m_request->max_repetitions = m_repetitions;
    } else {
      m_request->non_repeaters = 1;
      m_request->max_repetitions = 100;
    }
    status = m_exchange.Run(m_openSession, m_request, &m_response, deadline);
  } else {
    snmp_free_pdu(m_request);
    if (netsnmp_session* open = snmp_sess_session(m_openSession)) {
      open->s_snmp_errno = SNMPERR_MALLOC;  // the reason an SNMPv3 walk reports
    }
  }
  m_request = nullptr;  // the library owns (or has freed) the request

  bool more = false;
  if (status == Exchange::kStopped || status == Exchange::kPastDeadline) {
    more = true;  // cut short: the walk's own checks of the stop and the progress bound end it
  } else if (status == Exchange::kUnreachable) {  // the kernel says no agent can answer
    ConsoleLine(std::cout, std::string("snmp walk stopped as the unit is out of reach: ") +
                               m_exchange.unreachable() + PeerSuffix());
  } else if (status != STAT_SUCCESS || m_response == nullptr) {
    if (status == STAT_TIMEOUT) {
      ConsoleLine(std::cerr, std::string("Timeout: No Response from ") + m_session.peername);
    } else {
      ConsoleLine(std::cout, "snmp get error " + std::to_string(status));
    }
    ReportExchangeFailureReason(m_openSession, status);
  } else {
    m_answered = true;
    if (m_response->errstat == SNMP_ERR_TOOBIG && m_settings.max_repetitions > 0 &&
        m_repetitions > 1) {
      m_repetitions /= 2;
      ConsoleLine(std::cout, "snmp tooBig: max_repetitions reduced to " +
                                 std::to_string(m_repetitions) + PeerSuffix());
      more = true;  // resend from the same OID
    } else {
      more = TakeResponse(*m_response);
    }
  }
  m_response = nullptr;  // the exchange's, freed with the next answer or at the walk's end
  return more;
}

bool SNMP_MARLUXA_AC_POWER::TakeResponse(const netsnmp_pdu& response) {
  if (response.errstat != SNMP_ERR_NOERROR || response.variables == nullptr) {
    ConsoleLine(std::cout,
                "snmp response error " + std::to_string(response.errstat) + PeerSuffix());
    return false;
  }
  bool more = true;
  for (m_var = response.variables; m_var != nullptr; m_var = m_var->next_variable) {
    if (!InsideRoot(m_var->name, m_var->name_length, m_root, m_rootLength)) {
      more = false;
      m_reachedEnd = true;
      continue;
    }
    StoreBinding(m_data, *m_var, m_root, m_rootLength);
    if (IsExceptionValue(m_var->type)) {
      more = false;
      m_reachedEnd = true;
      continue;
    }
    m_found = true;
    if (m_var->next_variable != nullptr) continue;
    // An OID that does not increase would make the walk repeat itself; one longer than the
    // continuation buffer cannot be asked for (net-snmp's decoder never yields one, but a
    // binding list can carry any length).
    if (m_var->name_length > MAX_OID_LEN) {
      ReportStuckOid(*m_var, "too long to continue from");
      more = false;
    } else if (snmp_oid_compare(m_var->name, m_var->name_length, m_oid, m_oidLength) <= 0) {
      ReportStuckOid(*m_var, "it does not increase");
      more = false;
    } else {
      std::memcpy(m_oid, m_var->name, m_var->name_length * sizeof(oid));
      m_oidLength = m_var->name_length;
      ++m_advances;
    }
  }
  return more;
}

void SNMP_MARLUXA_AC_POWER::RunCheckThreshold() {
  if (m_mode != 2) return;
  const std::string& category = AlarmCategory();
  std::string id;  // both fit the small-string buffer: no allocation
  std::string id2;
  for (const AlarmEntry& entry : AlarmCatalogue()) {
    const unsigned short c = m_signalNo;
    FormatSignalId(c, &id);
    id2 = id;
    const float v = Slot(m_data, entry.slot);
    const bool alarm = !(v == entry.normal);  // exact; -0 equals 0; NaN is an alarm
    m_signalNo = static_cast<unsigned short>(c + 1);
    QRMVDevice::CheckThresholdBool(2, id, id2, category, entry.name, alarm, c);
  }
}
