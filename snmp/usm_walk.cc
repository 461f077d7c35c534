#include "snmp/usm_walk.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "util/console_line.h"
#include "snmp/exchange_failure.h"
#include "snmp/usm_key.h"

namespace {

using ShareKey = std::pair<std::string, std::string>;  // engine ID, user name

// Overwrites every key a user entry holds, before net-snmp frees it.
void WipeUser(struct usmUser* user) {
  WipeSecret(user->authKey, user->authKeyLen);
  WipeSecret(user->privKey, user->privKeyLen);
  WipeSecret(user->authKeyKu, user->authKeyKuLen);
  WipeSecret(user->privKeyKu, user->privKeyKuLen);
}

// The engine ID each peer gave at its last discovery; only touched inside the USM guard.
std::map<std::string, std::string>* PeerEngines() {
  static std::map<std::string, std::string> engines;
  return &engines;
}

void ForgetEngineTimes(const std::string& engine) {
  if (engine.empty()) return;
  std::string copy = engine;  // free_enginetime takes a non-const pointer
  free_enginetime(reinterpret_cast<unsigned char*>(copy.data()), copy.size());
}

void ReportLocalisationFailure() {
  ConsoleLine(std::cout, "snmp get error " + std::to_string(STAT_ERROR));
  ConsoleLine(std::cout, "snmpbulkwalk: the keys could not be localised for the agent");
}

}  // namespace

// The master keys and protocols a walk brings for a user, as its session holds them: walks
// with equal sets have net-snmp localise equal keys for an engine, so they can share an entry.
struct UsmKeySet {
  std::vector<oid> auth_protocol;
  std::vector<oid> priv_protocol;
  unsigned char auth_key[USM_AUTH_KU_LEN] = {};
  size_t auth_key_length = 0;
  unsigned char priv_key[USM_PRIV_KU_LEN] = {};
  size_t priv_key_length = 0;

  UsmKeySet() = default;
  UsmKeySet(const UsmKeySet&) = delete;
  UsmKeySet& operator=(const UsmKeySet&) = delete;
  ~UsmKeySet() { Wipe(); }

  void From(const netsnmp_session& s) {
    auth_protocol.assign(s.securityAuthProto, s.securityAuthProto + s.securityAuthProtoLen);
    priv_protocol.assign(s.securityPrivProto, s.securityPrivProto + s.securityPrivProtoLen);
    auth_key_length = std::min(s.securityAuthKeyLen, sizeof auth_key);
    std::memcpy(auth_key, s.securityAuthKey, auth_key_length);
    priv_key_length = std::min(s.securityPrivKeyLen, sizeof priv_key);
    std::memcpy(priv_key, s.securityPrivKey, priv_key_length);
  }
  void CopyFrom(const UsmKeySet& o) {
    auth_protocol = o.auth_protocol;
    priv_protocol = o.priv_protocol;
    std::memcpy(auth_key, o.auth_key, sizeof auth_key);
    auth_key_length = o.auth_key_length;
    std::memcpy(priv_key, o.priv_key, sizeof priv_key);
    priv_key_length = o.priv_key_length;
  }
  bool Equals(const UsmKeySet& o) const {
    return auth_protocol == o.auth_protocol && priv_protocol == o.priv_protocol &&
           auth_key_length == o.auth_key_length && priv_key_length == o.priv_key_length &&
           std::memcmp(auth_key, o.auth_key, auth_key_length) == 0 &&
           std::memcmp(priv_key, o.priv_key, priv_key_length) == 0;
  }
  void Wipe() {
    WipeSecret(auth_key, sizeof auth_key);
    WipeSecret(priv_key, sizeof priv_key);
    auth_key_length = priv_key_length = 0;
  }
};

struct UsmUserShare {
  ShareKey key;
  struct usmUser* user = nullptr;  // in net-snmp's table while walks > 0
  UsmKeySet keys;                  // what `user` was made from
  int walks = 0;
  // A walk is making or removing the entry in net-snmp's table (under the USM guard, without
  // the shares' lock): nobody else comes in, and the share stays, until it is done.
  bool busy = false;
  std::deque<uint64_t> waiting;  // walks waiting to use the entry, in arrival order
};

namespace {

struct Shares {
  std::mutex mutex;  // never held while waiting for the USM guard
  std::condition_variable changed;
  std::map<ShareKey, std::unique_ptr<UsmUserShare>> by_key;
  uint64_t next_ticket = 0;
};

Shares& TheShares() {
  static Shares shares;
  return shares;
}

}  // namespace

bool UsmWalk::Enter(const StopSignal& stop) {
  if (stop.raised()) return false;
  stop_ = &stop;
  if (!guard_.Acquire(stop)) return false;
  entered_ = true;
  return true;
}

bool UsmWalk::Ready(void* open_session, Exchange* exchange, Exchange::Clock::time_point deadline,
                    const std::string& peer) {
  if (!entered_) return true;
  netsnmp_session* session = snmp_sess_session(open_session);
  if (session == nullptr) {  // not an open session: nothing can be sent on it
    ConsoleLine(std::cout, "snmp get error " + std::to_string(STAT_ERROR));
    return false;
  }
  // Discovery is this walk's own exchange: net-snmp's own probe, which it would otherwise send
  // from inside the first request, waits without a stop and holds the guard all along.
  session->flags |= SNMP_FLAGS_DONT_PROBE;
  // The engine's boots and time are learnt afresh at every walk: the ones net-snmp keeps cannot
  // be trusted across a restart, and after one with a lower boot count it would throw the
  // agent's reports away until the agent's uptime passed the cached one. Those of the engine
  // the peer gave last time are forgotten before discovery, which then teaches them as it does
  // a fresh process (no exchange more). A walk of another device on the same engine loses
  // nothing: an answer in flight is still accepted, and a request built meanwhile is answered
  // with a time-window report and resent at once, as net-snmp does for any such report. (An
  // engine new to the peer keeps what net-snmp knows of it from other peers for this walk.)
  ForgetEngineTimes((*PeerEngines())[peer]);
  guard_.Release();
  if (session->securityEngineIDLen == 0 && !Discover(open_session, exchange, deadline, peer)) {
    return false;
  }
  {
    UsmGuard guard(false);
    if (!guard.Acquire(*stop_)) return false;
    (*PeerEngines())[peer].assign(reinterpret_cast<const char*>(session->securityEngineID),
                                  session->securityEngineIDLen);
  }
  return UseUserEntry(session);
}

bool UsmWalk::Discover(void* open_session, Exchange* exchange, Exchange::Clock::time_point deadline,
                       const std::string& peer) {
  netsnmp_session* session = snmp_sess_session(open_session);
  // net-snmp's probe: a GET without bindings from the user "" without authentication, which
  // the agent answers with an unknownEngineID report that carries its engine ID.
  netsnmp_pdu* probe = snmp_pdu_create(SNMP_MSG_GET);
  char* nobody = strdup("");
  int status = STAT_ERROR;
  netsnmp_pdu* response = nullptr;
  if (probe != nullptr && nobody != nullptr) {
    probe->version = SNMP_VERSION_3;
    probe->securityName = nobody;
    probe->securityNameLen = 0;
    probe->securityLevel = SNMP_SEC_LEVEL_NOAUTH;
    probe->securityModel = USM_SEC_MODEL_NUMBER;
    status = exchange->Run(open_session, probe, &response, deadline);
  } else {
    if (probe != nullptr) snmp_free_pdu(probe);
    free(nobody);
    session->s_snmp_errno = SNMPERR_MALLOC;
  }
  exchange->ReleaseResponse();  // an answer to the probe is never used
  if (status == Exchange::kStopped || status == Exchange::kPastDeadline) return false;
  // net-snmp takes the engine ID from the agent's report into the session.
  if (session->securityEngineIDLen != 0) return true;
  if (status == Exchange::kUnreachable) {  // the line a walk's request gives for it
    ConsoleLine(std::cout, std::string("snmp walk stopped as the unit is out of reach: ") +
                               exchange->unreachable() + " (peer " + peer + ")");
  } else if (status == STAT_TIMEOUT) {
    ConsoleLine(std::cerr, "Timeout: No Response from " + peer);
  } else {
    // An answer without an engine ID (a response instead of a report) is as net-snmp's own
    // probe judges it.
    if (status == STAT_SUCCESS) session->s_snmp_errno = SNMPERR_INVALID_MSG;
    ConsoleLine(std::cout, "snmp get error " + std::to_string(STAT_ERROR));
    ReportExchangeFailureReason(open_session, STAT_ERROR);
  }
  return false;
}

#if QRM_NETSNMP_SESSION_USER
// net-snmp 5.9.5 and later: snmp_sess_open marks the session to keep its own user entry, which
// net-snmp frees with the session; no entry of the process-wide table is made or shared.
bool UsmWalk::UseUserEntry(netsnmp_session* session) {
  UsmGuard guard(false);
  if (!guard.Acquire(*stop_)) return false;
  if (usm_create_user_from_session(session) == SNMPERR_SUCCESS) return true;
  ReportLocalisationFailure();
  return false;
}
#else
// Up to net-snmp 5.9.4 the user entry is looked up in the process-wide table by engine ID and
// user name for every message, so walks with the same pair share one entry (see the header).
// The shares' lock orders the walks; the entry itself is made under the USM guard alone.
bool UsmWalk::UseUserEntry(netsnmp_session* session) {
  Shares& shares = TheShares();
  UsmKeySet mine;
  mine.From(*session);
  ShareKey key(std::string(reinterpret_cast<const char*>(session->securityEngineID),
                           session->securityEngineIDLen),
               std::string(session->securityName, session->securityNameLen));
  std::unique_lock<std::mutex> lock(shares.mutex);
  auto found = shares.by_key.find(key);
  if (found == shares.by_key.end()) {
    found = shares.by_key.emplace(key, std::make_unique<UsmUserShare>()).first;
    found->second->key = key;
  }
  UsmUserShare* share = found->second.get();
  const uint64_t ticket = shares.next_ticket++;
  share->waiting.push_back(ticket);
  auto admitted = [&] {
    return share->waiting.front() == ticket && !share->busy &&
           (share->walks == 0 || share->keys.Equals(mine));
  };
  // wait_for, not wait: see snmp/usm_lock.cc. Every change is notified.
  while (!admitted() && !stop_->raised()) shares.changed.wait_for(lock, std::chrono::seconds(1));
  const bool in = admitted();
  for (auto it = share->waiting.begin(); it != share->waiting.end(); ++it) {
    if (*it == ticket) {
      share->waiting.erase(it);
      break;
    }
  }
  const bool joined = in && share->walks > 0;  // the entry holds these keys already
  if (joined) {
    ++share->walks;
    share_ = share;
  }
  if (!in || joined) {
    if (!in && share->walks == 0 && !share->busy && share->waiting.empty()) {
      shares.by_key.erase(key);
    }
    lock.unlock();
    shares.changed.notify_all();  // the next in line may bring the same keys, or find it free
    return in;
  }

  // The first walk on the entry makes it; the others wait until it is made.
  share->busy = true;
  share->keys.CopyFrom(mine);
  lock.unlock();
  enum class Outcome { kMade, kForeign, kFailed, kStopped } outcome;
  struct usmUser* user = nullptr;
  {
    UsmGuard guard(false);
    if (!guard.Acquire(*stop_)) {
      outcome = Outcome::kStopped;
    } else if (usm_get_user(session->securityEngineID, session->securityEngineIDLen,
                            session->securityName) != nullptr) {
      // An entry that no walk made belongs to someone else in the process (the host's own
      // SNMPv3 users): net-snmp uses it as it is, and it stays.
      outcome = Outcome::kForeign;
    } else if (usm_create_user_from_session(session) == SNMPERR_SUCCESS) {
      outcome = Outcome::kMade;
      user = usm_get_user(session->securityEngineID, session->securityEngineIDLen,
                          session->securityName);
    } else {
      outcome = Outcome::kFailed;
    }
  }
  lock.lock();
  share->busy = false;
  if (outcome == Outcome::kMade) {
    share->user = user;
    share->walks = 1;
    share_ = share;
  } else {
    share->keys.Wipe();
    if (share->waiting.empty()) shares.by_key.erase(key);
  }
  lock.unlock();
  shares.changed.notify_all();
  if (outcome == Outcome::kFailed) ReportLocalisationFailure();
  return outcome == Outcome::kMade || outcome == Outcome::kForeign;
}
#endif

void UsmWalk::ForgetKeys(void* open_session) {
  if (!entered_) return;
  guard_.Acquire();
  netsnmp_session* session = snmp_sess_session(open_session);
  if (session == nullptr) return;
  WipeSessionKeys(session);
#if QRM_NETSNMP_SESSION_USER
  if (session->sessUser != nullptr) WipeUser(session->sessUser);
#endif
}

void UsmWalk::Leave() {
  if (!entered_) return;
  entered_ = false;
  guard_.Release();
  if (share_ == nullptr) return;
  UsmUserShare* share = share_;
  share_ = nullptr;
  Shares& shares = TheShares();
  struct usmUser* user = nullptr;  // to remove, when this was the last walk using it
  {
    std::lock_guard<std::mutex> lock(shares.mutex);
    if (--share->walks == 0) {
      user = share->user;
      share->user = nullptr;
      share->busy = user != nullptr;
      if (user == nullptr) {
        share->keys.Wipe();
        if (share->waiting.empty()) {
          const ShareKey key = share->key;  // erase must not read the key it destroys
          shares.by_key.erase(key);
        }
      }
    }
  }
  if (user != nullptr) {
    {
      UsmGuard guard;  // the keys leave the table whatever else happens: no stop here
      usm_remove_user(user);
      WipeUser(user);
      usm_free_user(user);
    }
    std::lock_guard<std::mutex> lock(shares.mutex);
    share->busy = false;
    share->keys.Wipe();
    if (share->walks == 0 && share->waiting.empty()) {
      const ShareKey key = share->key;
      shares.by_key.erase(key);
    }
  }
  shares.changed.notify_all();
}

void UsmWalk::WakeWaiters() {
  UsmGuard::WakeWaiters();
  Shares& shares = TheShares();
  { std::lock_guard<std::mutex> lock(shares.mutex); }
  shares.changed.notify_all();
}
