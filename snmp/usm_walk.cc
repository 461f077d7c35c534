#include "snmp/usm_walk.h"

#include <chrono>
#include <condition_variable>
#include <iostream>
#include <mutex>
#include <string>

#include "snmp/exchange_failure.h"
#include "snmp/usm_key.h"
#include "frame/console_line.h"

namespace {

struct Turns {
  std::mutex mutex;
  std::condition_variable changed;
  bool held = false;
};

Turns& TheTurns() {
  static Turns turns;
  return turns;
}

// Overwrites every key a user entry holds, before net-snmp frees it.
void WipeUser(struct usmUser* user) {
  WipeSecret(user->authKey, user->authKeyLen);
  WipeSecret(user->privKey, user->privKeyLen);
  WipeSecret(user->authKeyKu, user->authKeyKuLen);
  WipeSecret(user->privKeyKu, user->privKeyKuLen);
}

}  // namespace

bool UsmWalk::Enter(const StopSignal& stop) {
  Turns& turns = TheTurns();
  std::unique_lock<std::mutex> lock(turns.mutex);
  // wait_for, not wait: condition_variable::wait(unique_lock&) would raise the plug-in's
  // libstdc++ requirement (GLIBCXX_3.4.30) above what the rest of it needs. Every change of the
  // predicate is notified, so the period only bounds a wait that nothing ends.
  while (turns.held && !stop.raised()) turns.changed.wait_for(lock, std::chrono::seconds(60));
  if (stop.raised()) return false;
  turns.held = true;
  held_ = true;
  return true;
}

bool UsmWalk::Ready(void* open_session) {
  if (!held_) return true;
  netsnmp_session* session = snmp_sess_session(open_session);
  if (session == nullptr) {  // not an open session: nothing can be sent on it
    ConsoleLine(std::cout, "snmp get error " + std::to_string(STAT_ERROR));
    return false;
  }
  if (session->securityEngineIDLen == 0) {
    struct snmp_secmod_def* usm = find_sec_mod(USM_SEC_MODEL_NUMBER);
    if (usm == nullptr || usm->probe_engineid == nullptr ||
        usm->probe_engineid(static_cast<struct session_list*>(open_session), session) !=
            SNMPERR_SUCCESS ||
        session->securityEngineIDLen == 0) {
      if (session->s_snmp_errno == SNMPERR_TIMEOUT) {
        ConsoleLine(std::cerr, std::string("Timeout: No Response from ") + session->peername);
      } else {
        ConsoleLine(std::cout, "snmp get error " + std::to_string(STAT_ERROR));
        ReportExchangeFailureReason(open_session, STAT_ERROR);
      }
      return false;
    }
  }
  // An entry for this engine and user that the walk did not make belongs to someone else in
  // the process; net-snmp then uses it as it is, and it stays.
  const bool existed = usm_get_user(session->securityEngineID, session->securityEngineIDLen,
                                    session->securityName) != nullptr;
  if (usm_create_user_from_session(session) != SNMPERR_SUCCESS) {
    ConsoleLine(std::cout, "snmp get error " + std::to_string(STAT_ERROR));
    ConsoleLine(std::cout, "snmpbulkwalk: the keys could not be localised for the agent");
    return false;
  }
  if (!existed) {
    user_ = usm_get_user(session->securityEngineID, session->securityEngineIDLen,
                         session->securityName);
  }
  return true;
}

void UsmWalk::ForgetKeys(void* open_session) {
  netsnmp_session* session = held_ ? snmp_sess_session(open_session) : nullptr;
  if (session != nullptr) WipeSessionKeys(session);
}

void UsmWalk::Leave() {
  if (!held_) return;
  if (user_ != nullptr) {
    usm_remove_user(user_);
    WipeUser(user_);
    usm_free_user(user_);
    user_ = nullptr;
  }
  held_ = false;
  Turns& turns = TheTurns();
  {
    std::lock_guard<std::mutex> lock(turns.mutex);
    turns.held = false;
  }
  turns.changed.notify_all();
}

void UsmWalk::WakeWaiters() {
  Turns& turns = TheTurns();
  { std::lock_guard<std::mutex> lock(turns.mutex); }
  turns.changed.notify_all();
}
