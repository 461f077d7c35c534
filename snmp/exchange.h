// One SNMP request and its answer on an open single session, in a wait that a stop request or
// a deadline cuts short.
//
// Run makes this Exchange the session's own callback and hands the request to
// snmp_sess_async_send with no callback of its own: net-snmp tells a dropped stream connection
// only to the session's callback, and it keeps a request whose resend failed (for its next
// attempt) only when the request has no callback of its own. Run then waits in ppoll() over
// the session's socket (a single session's one descriptor) and the stop signal's, passing data
// to snmp_sess_read2 and expired time-outs to snmp_sess_timeout. One request is in flight at a
// time, with the session's own time-out and retries: a retry is not an answer, and the wait goes on
// until
//   - a RESPONSE arrives: STAT_SUCCESS, and the response itself in *response (taken from
//     net-snmp as it arrived, not copied). The response stays the Exchange's: it is valid until
//     the next Run, ReleaseResponse or the Exchange's end, and the caller never frees it;
//   - a REPORT arrives: STAT_ERROR, and the session's s_snmp_errno holds the report's type (an
//     SNMPv3 unknown user or authentication failure, say); after notInTimeWindow net-snmp
//     resends with the agent's time and the wait goes on, until it gives the request up (its
//     attempts spent). A report ends its request once: whatever net-snmp tells about the
//     request after that (in whichever order its releases call back) changes nothing, and a
//     wait never goes on for a request net-snmp no longer holds;
//   - every attempt has timed out: STAT_TIMEOUT. A resend that cannot be sent counts as an
//     attempt that went unanswered: the attempts after it are still made, each a full time-out
//     after the one before, so an unanswered request ends after timeout x (retries + 1);
//   - the request cannot be sent at all, the peer drops a stream connection, the answer is
//     another kind of PDU, there is no memory to take the answer, or the wait fails:
//     STAT_ERROR;
//   - the kernel reports the peer unreachable (an ICMP error about a datagram sent to it, on a
//     session whose socket asked for them: snmp/icmp_errors.h): kUnreachable, at once, with the
//     kernel's word in unreachable() ("port unreachable at 127.0.0.1:1161 (ICMP from
//     127.0.0.1)");
//   - the stop signal is raised: kStopped, at once;
//   - the deadline passes: kPastDeadline.
// These are the outcomes net-snmp's synchronous call gives, plus the last three. The request may
// be any PDU: SNMPv3 engine discovery runs through Run too. On an SNMPv3 session the send, read
// and time-out calls run inside the USM guard (snmp/usm_lock.h); the wait itself never does,
// and a stop raised while waiting for the guard's turn ends the exchange (kStopped) as well.
//
// The answer is kept in one PDU record of the Exchange's own, made at the first answer after
// ReleaseResponse (no memory for it is the one case of "no memory to take the answer"): taking
// the next answer hands the previous one's contents to net-snmp, which frees them with the
// message it has just read. So an exchange allocates nothing of its own, and an answer is held
// until a later one replaces it or ReleaseResponse frees it (the walk calls it at its end).
//
// After a dropped connection net-snmp has closed the session's transport and would free the
// session inside its next snmp_sess_select_info2_flags: the session must then only be closed
// with snmp_sess_close, once. Run never touches such a session again (it returns STAT_ERROR at
// once). After kUnreachable, kStopped or kPastDeadline the request stays pending in the session,
// and closing the session frees it without calling back. net-snmp calls the session's callback only
// inside Run, so the session may outlive this Exchange as long as Run is not called on it again.
#pragma once

#include <chrono>

#include "snmp/net_snmp.h"
#include "util/stop_signal.h"

class Exchange {
 public:
  using Clock = std::chrono::steady_clock;

  static constexpr int kStopped = -1;
  static constexpr int kPastDeadline = -2;
  static constexpr int kUnreachable = -3;

  explicit Exchange(const StopSignal& stop);
  Exchange(const Exchange&) = delete;
  Exchange& operator=(const Exchange&) = delete;
  ~Exchange();

  // Sends `request` on `session` (the request is net-snmp's or freed from here on) and waits
  // as described above. *response is null unless the result is STAT_SUCCESS; it is the
  // Exchange's (see above).
  int Run(void* session, netsnmp_pdu* request, netsnmp_pdu** response, Clock::time_point deadline);

  // Frees the last answer, and the record that held it, now.
  void ReleaseResponse();

  // After kUnreachable: what the kernel said. Empty otherwise.
  const char* unreachable() const { return unreachable_; }

 private:
  // What net-snmp's callback leaves for Run, as its synchronous call keeps it.
  struct State {
    bool waiting = false;
    bool taken = false;  // a response was taken into answer_ in this Run
    bool ended = false;  // the request has had its end (an answer, a final report, a time-out)
    int status = STAT_SUCCESS;
    long reqid = 0;
  };

  static int Input(int op, netsnmp_session* session, int reqid, netsnmp_pdu* pdu, void* magic);
  // Waits for the session's descriptors or the stop signal until net-snmp's next time-out or
  // the deadline, and hands what happened to net-snmp. Returns 0, kStopped or kPastDeadline.
  int WaitOnce(void* session, netsnmp_large_fd_set* fds, Clock::time_point deadline);

  const StopSignal& stop_;
  State state_;
  netsnmp_pdu* answer_ = nullptr;  // the last answer taken, or null
  char unreachable_[128] = "";
  netsnmp_large_fd_set fds_;  // the wait's descriptors, kept from one exchange to the next
  // The earliest time the next attempt may be made: a full time-out after the last one, sent
  // or not. Before the first retry, no bound of its own.
  Clock::time_point next_attempt_;
  bool attempted_ = false;
};
