#include "snmp/exchange.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>

#include <net-snmp/library/large_fd_set.h>

#include "snmp/icmp_errors.h"
#include "snmp/usm_lock.h"

namespace {

// Without a wake-up descriptor a stop is seen by polling, at this interval.
constexpr auto kStopPollInterval = std::chrono::milliseconds(20);
// ppoll() takes at most this long a wait at a time; a longer one is simply taken again.
constexpr auto kLongestWait = std::chrono::hours(1);

timespec ToTimespec(std::chrono::microseconds us) {
  timespec ts;
  ts.tv_sec = static_cast<time_t>(us.count() / 1000000);
  ts.tv_nsec = static_cast<long>(us.count() % 1000000) * 1000;
  return ts;
}

std::chrono::microseconds FromTimeval(const timeval& tv) {
  return std::chrono::seconds(tv.tv_sec) + std::chrono::microseconds(tv.tv_usec);
}

// False once net-snmp has closed the session's transport (a stream peer dropped the
// connection): from then on only snmp_sess_close may see the session.
bool TransportOpen(void* session) {
  const netsnmp_transport* transport = snmp_sess_transport(session);
  return transport != nullptr && transport->sock >= 0;
}

// An SNMPv3 session's messages are built and parsed against net-snmp's process-wide USM
// tables: its send, read and time-out handling run inside the USM guard (snmp/usm_lock.h),
// which the wait itself never holds.
bool TouchesUsm(void* session) {
  const netsnmp_session* own = snmp_sess_session(session);
  return own != nullptr && own->version == SNMP_VERSION_3;
}

}  // namespace

Exchange::Exchange(const StopSignal& stop) : stop_(stop) {
  netsnmp_large_fd_set_init(&fds_, FD_SETSIZE);
}

Exchange::~Exchange() {
  ReleaseResponse();
  netsnmp_large_fd_set_cleanup(&fds_);
}

void Exchange::ReleaseResponse() {
  if (answer_ != nullptr) snmp_free_pdu(answer_);
  answer_ = nullptr;
}

int Exchange::Run(void* session, netsnmp_pdu* request, netsnmp_pdu** response,
                  Clock::time_point deadline) {
  *response = nullptr;
  state_ = State{};
  unreachable_[0] = '\0';
  attempted_ = false;
  netsnmp_session* own = session != nullptr ? snmp_sess_session(session) : nullptr;
  if (own == nullptr || !TransportOpen(session)) {
    snmp_free_pdu(request);
    return STAT_ERROR;
  }
  own->callback = &Exchange::Input;
  own->callback_magic = this;
  UsmGuard send_guard(false);
  if (own->version == SNMP_VERSION_3 && !send_guard.Acquire(stop_)) {
    snmp_free_pdu(request);  // not sent: still the caller's
    return kStopped;
  }
  if (snmp_sess_async_send(session, request, nullptr, nullptr) == 0) {
    snmp_free_pdu(request);  // not sent: still the caller's
    return STAT_ERROR;
  }
  state_.reqid = request->reqid;  // the request waits in the session's list until answered
  state_.waiting = true;
  send_guard.Release();

  int cut = 0;
  while (state_.waiting && cut == 0) cut = WaitOnce(session, &fds_, deadline);
  if (cut != 0) return cut;
  if (state_.taken) *response = answer_;
  return state_.status;
}

int Exchange::WaitOnce(void* session, netsnmp_large_fd_set* fds, Clock::time_point deadline) {
  if (!TransportOpen(session)) {  // closed under the wait: net-snmp must not free the session
    state_.status = STAT_ERROR;
    state_.waiting = false;
    return 0;
  }
  int count = 0;
  NETSNMP_LARGE_FD_ZERO(fds);
  int block = 1;  // net-snmp lowers it when a time-out is pending and then sets `timeout`
  timeval timeout{0, 0};
  snmp_sess_select_info2_flags(session, &count, fds, &timeout, &block, NETSNMP_SELECT_NOALARMS);
  if (block == 1) {  // no request pending: net-snmp gave the request up, nothing will answer it
    state_.waiting = false;
    if (state_.status == STAT_SUCCESS && !state_.taken) {
      state_.status = STAT_ERROR;
      if (netsnmp_session* own = snmp_sess_session(session)) own->s_snmp_errno = SNMPERR_GENERR;
    }
    return 0;
  }
  // A single session's one descriptor is its transport's socket, which net-snmp has just put
  // into `fds` for snmp_sess_read2; the wait watches it and the stop signal's descriptor.
  const int wake = stop_.fd();
  pollfd watched[2] = {{snmp_sess_transport(session)->sock, POLLIN, 0}, {wake, POLLIN, 0}};
  const auto now = Clock::now();
  auto wait = std::chrono::duration_cast<std::chrono::microseconds>(
      std::clamp<Clock::duration>(deadline - now, Clock::duration::zero(), kLongestWait));
  // A resend that could not be sent leaves its request due at once in net-snmp: the next
  // attempt still waits out the full time-out of the one that failed.
  Clock::time_point due = now;
  if (block == 0) {
    due = now + FromTimeval(timeout);
    if (attempted_) due = std::max(due, next_attempt_);
    wait = std::min(wait, std::chrono::duration_cast<std::chrono::microseconds>(due - now));
  }
  if (wake < 0) wait = std::min<std::chrono::microseconds>(wait, kStopPollInterval);
  const timespec ts = ToTimespec(wait);

  const int ready = ppoll(watched, wake >= 0 ? 2 : 1, &ts, nullptr);
  UsmGuard guard(false);
  if (ready > 0) {
    if (watched[1].revents != 0) return kStopped;
    // An ICMP error about the peer: read before the data, which the socket's error would
    // otherwise fail.
    if ((watched[0].revents & POLLERR) != 0 &&
        ReadUnreachable(session, unreachable_, sizeof unreachable_)) {
      return kUnreachable;
    }
    // Whatever the socket reports (data, an error, a closed connection) is net-snmp's to read,
    // as select() would have reported it readable.
    if (TouchesUsm(session) && !guard.Acquire(stop_)) return kStopped;
    snmp_sess_read2(session, fds);
  } else if (ready < 0 && errno != EINTR) {
    state_.status = STAT_ERROR;
    state_.waiting = false;
  }
  // Resends or times out whatever has expired, also while datagrams keep arriving.
  if (state_.waiting && ready >= 0 && block == 0 && Clock::now() >= due && TransportOpen(session)) {
    if (TouchesUsm(session) && !guard.Acquire(stop_)) return kStopped;
    snmp_sess_timeout(session);
    const netsnmp_session* own = snmp_sess_session(session);
    attempted_ = true;
    next_attempt_ = Clock::now() + std::chrono::microseconds(own != nullptr ? own->timeout : 0);
  }
  guard.Release();
  if (!state_.waiting) return 0;
  if (stop_.raised()) return kStopped;
  if (Clock::now() >= deadline) return kPastDeadline;
  return 0;
}

// net-snmp's callback for the session, mirroring its synchronous call's own
// (snmp_synch_input), except that a retry (NETSNMP_CALLBACK_OP_RESEND, which that call never
// sees) is not an answer, and a response is taken over instead of copied. The library-wide
// error variables it also sets are left alone: this runs on many threads at once.
int Exchange::Input(int op, netsnmp_session* session, int reqid, netsnmp_pdu* pdu, void* magic) {
  Exchange* exchange = static_cast<Exchange*>(magic);
  State* state = &exchange->state_;
  // A retry is not an answer; a request that has had its end keeps it (net-snmp may call back
  // again about it: after its last notInTimeWindow report some releases call the security
  // error first and then hand the report over, when the request is gone).
  if (op == NETSNMP_CALLBACK_OP_RESEND || state->ended) return 1;
  if (reqid != state->reqid && pdu != nullptr && pdu->command != SNMP_MSG_REPORT) return 0;

  state->waiting = false;
  state->ended = true;
  if (op == NETSNMP_CALLBACK_OP_RECEIVED_MESSAGE && pdu != nullptr) {
    if (pdu->command == SNMP_MSG_REPORT) {
      const int report = snmpv3_get_report_type(pdu);
      if (SNMPV3_IGNORE_UNAUTH_REPORTS || report == SNMPERR_NOT_IN_TIME_WINDOW) {
        // net-snmp resends the request while it has attempts left, and otherwise ends it with
        // a security error: not the end yet.
        state->waiting = true;
        state->ended = false;
      }
      state->status = STAT_ERROR;
      session->s_snmp_errno = report;
    } else if (pdu->command == SNMP_MSG_RESPONSE) {
      // The response moves into the Exchange's own record (a blank one, as net-snmp allocates
      // it, at the first answer); net-snmp goes on with, and frees, what that record held: the
      // previous answer, or nothing.
      if (exchange->answer_ == nullptr) {
        exchange->answer_ = static_cast<netsnmp_pdu*>(std::calloc(1, sizeof(netsnmp_pdu)));
      }
      if (exchange->answer_ == nullptr) {
        state->status = STAT_ERROR;
        session->s_snmp_errno = SNMPERR_MALLOC;
      } else {
        std::swap(*exchange->answer_, *pdu);
        state->taken = true;
        state->status = STAT_SUCCESS;
        session->s_snmp_errno = SNMPERR_SUCCESS;
      }
    } else {
      state->status = STAT_ERROR;
      session->s_snmp_errno = SNMPERR_PROTOCOL;
      return 0;
    }
  } else if (op == NETSNMP_CALLBACK_OP_TIMED_OUT) {
    state->status = STAT_TIMEOUT;
    session->s_snmp_errno = SNMPERR_TIMEOUT;
  } else if (op == NETSNMP_CALLBACK_OP_SEC_ERROR) {
    if (pdu != nullptr && pdu->command == SNMP_MSG_REPORT) {  // the report that ended it
      state->status = STAT_ERROR;
      session->s_snmp_errno = snmpv3_get_report_type(pdu);
    } else if (state->status == STAT_SUCCESS) {  // an error already reported stays
      state->status = STAT_ERROR;
      session->s_snmp_errno = SNMPERR_GENERR;
    }
  } else if (op == NETSNMP_CALLBACK_OP_DISCONNECT) {
    state->status = STAT_ERROR;
    session->s_snmp_errno = SNMPERR_ABORT;
  } else if (op == NETSNMP_CALLBACK_OP_SEND_FAILED) {
    state->status = STAT_ERROR;
  } else {  // not an end of the exchange
    state->waiting = true;
    state->ended = false;
  }
  return 1;
}
