#include "device/SNMP_MARLUXA_AC_POWER.h"

#include <chrono>
#include <cstring>
#include <iostream>

#include "device/alarm_catalogue.h"
#include "device/exchange_failure.h"
#include "device/signal_id.h"
#include "device/usm_key.h"
#include "device/usm_walk.h"
#include "device/value_store.h"
#include "frame/config_value.h"
#include "frame/console_line.h"
#include "frame/round_failure.h"

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
  StopSampling();
  // Wait for a walk that a host thread may still be running on this object.
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
  {
    std::lock_guard<std::mutex> lock(m_stateMutex);
    m_stop = true;
  }
  m_wake.notify_all();
  UsmWalk::WakeWaiters();
  if (m_thread && m_thread->joinable()) m_thread->join();
}

bool SNMP_MARLUXA_AC_POWER::InitSetting(const Json::Value& config) {
  auto round = RoundLock();
  SetRecordId(m_data, m_id);
  const Json::Value* app = ConfigMember(config, "appSetting");
  if (app != nullptr) {
    std::string text;
    const Json::Value* use = ConfigMember(*app, "use_thread");
    if (use != nullptr && ConfigText(*use, &text)) m_useThread = LeadingInt(text);
  }
  m_settings = ReadWalkSettings(app);
  Frame::InitSetting(config);

  ApplySessionSettings();
  m_peer = m_ip;
  m_session.peername = m_peer.data();
  m_rootLength = kRootLength;
  m_root[m_rootLength++] = m_address;

  if (m_useThread != 0 && !m_thread) {
    try {
      m_thread = std::make_unique<std::thread>([this] { sample_data(nullptr); });
    } catch (...) {  // no thread to be had: the host's RefreshStatus calls drive the device
      m_useThread = 0;
      ReportCurrentException(
          "SNMP_MARLUXA_AC_POWER: sampling thread not started, walking on "
          "RefreshStatus instead");
    }
  }
  return true;
}

int SNMP_MARLUXA_AC_POWER::process_data(int, unsigned char*, int) { return 0; }

int SNMP_MARLUXA_AC_POWER::RefreshStatus() {
  if (m_useThread != 0 || m_thread) return 0;
  try {
    do_sample();
  } catch (...) {  // a host service threw inside the round: the host's thread goes on
    ReportCurrentException("SNMP_MARLUXA_AC_POWER: round failed");
  }
  return 0;
}

void SNMP_MARLUXA_AC_POWER::sample_data(void*) {
  std::unique_lock<std::mutex> lock(m_stateMutex);
  while (!m_stop) {
    lock.unlock();
    try {
      do_sample();
    } catch (...) {  // nothing may end the host's process from this thread: sample on
      ReportCurrentException("SNMP_MARLUXA_AC_POWER: round failed");
    }
    lock.lock();
    m_wake.wait_for(lock, std::chrono::seconds(kPauseSeconds), [this] { return m_stop.load(); });
  }
}

void SNMP_MARLUXA_AC_POWER::do_sample() {
  ConsoleLine(std::cout, "SNMP_MARLUXA_AC_POWER::do_sample");
  auto round = RoundLock();
  if (m_ip.empty()) return;
  if (m_settings.snmp_version == 0) {  // a half-made configuration never sends anything
    ConsoleLine(std::cerr,
                "snmpbulkwalk: no session opened: appSetting cannot form one (see InitSetting)");
    return;
  }
  UsmWalk usm;  // SNMPv3 only: the process's turn at net-snmp's USM, until after the close
  if (m_settings.snmp_version == 3 && !usm.Enter(m_stop)) return;
  m_openSession = snmp_sess_open(&m_session);
  if (m_openSession == nullptr) {
    snmp_sess_perror("snmpbulkwalk", &m_session);
    return;
  }
  std::memcpy(m_oid, m_root, m_rootLength * sizeof(oid));
  m_oidLength = m_rootLength;
  m_repetitions = m_settings.max_repetitions;

  bool running = usm.Ready(m_openSession);  // SNMPv3: engine discovery, a failed exchange
  for (int exchanges = 0; running; ++exchanges) {
    if (m_stop) break;  // the device is being destroyed
    if (exchanges == kMaxExchanges) {
      ConsoleLine(std::cout,
                  "snmp walk stopped after " + std::to_string(kMaxExchanges) + " exchanges");
      break;
    }
    running = Exchange();
  }

  usm.ForgetKeys(m_openSession);
  snmp_sess_close(m_openSession);
  m_openSession = nullptr;
  usm.Leave();
  RoundDone();
}

bool SNMP_MARLUXA_AC_POWER::Exchange() {
  m_lastSampleTime = boost::posix_time::second_clock::local_time();
  m_request = snmp_pdu_create(SNMP_MSG_GETBULK);
  if (m_settings.max_repetitions > 0) {
    m_request->non_repeaters = 0;
    m_request->max_repetitions = m_repetitions;
  } else {
    m_request->non_repeaters = 1;
    m_request->max_repetitions = 100;
  }
  snmp_add_null_var(m_request, m_oid, m_oidLength);
  const int status = snmp_sess_synch_response(m_openSession, m_request, &m_response);
  m_request = nullptr;  // the library owns (and has freed) the request

  bool more = false;
  if (status != STAT_SUCCESS || m_response == nullptr) {
    if (status == STAT_TIMEOUT) {
      ConsoleLine(std::cerr, std::string("Timeout: No Response from ") + m_session.peername);
    } else {
      ConsoleLine(std::cout, "snmp get error " + std::to_string(status));
    }
    ReportExchangeFailureReason(m_openSession, status);
  } else if (m_response->errstat == SNMP_ERR_TOOBIG && m_settings.max_repetitions > 0 &&
             m_repetitions > 1) {
    m_repetitions /= 2;
    ConsoleLine(std::cout,
                "snmp tooBig: max_repetitions reduced to " + std::to_string(m_repetitions));
    more = true;  // resend from the same OID
  } else {
    more = TakeResponse(*m_response);
  }
  if (m_response != nullptr) {
    snmp_free_pdu(m_response);
    m_response = nullptr;
  }
  return more;
}

bool SNMP_MARLUXA_AC_POWER::TakeResponse(const netsnmp_pdu& response) {
  if (response.errstat != SNMP_ERR_NOERROR || response.variables == nullptr) {
    ConsoleLine(std::cout, "snmp response error " + std::to_string(response.errstat));
    return false;
  }
  bool more = true;
  for (m_var = response.variables; m_var != nullptr; m_var = m_var->next_variable) {
    if (!InsideRoot(m_var->name, m_var->name_length, m_root, m_rootLength)) {
      more = false;
      continue;
    }
    StoreBinding(m_data, *m_var, m_root, m_rootLength);
    if (IsExceptionValue(m_var->type)) {
      more = false;
    } else if (m_var->next_variable == nullptr) {
      // An OID that does not increase would make the walk repeat itself; one longer than the
      // continuation buffer cannot be asked for (net-snmp's decoder never yields one, but a
      // binding list can carry any length).
      if (m_var->name_length > MAX_OID_LEN ||
          snmp_oid_compare(m_var->name, m_var->name_length, m_oid, m_oidLength) <= 0) {
        more = false;
      } else {
        std::memcpy(m_oid, m_var->name, m_var->name_length * sizeof(oid));
        m_oidLength = m_var->name_length;
      }
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
