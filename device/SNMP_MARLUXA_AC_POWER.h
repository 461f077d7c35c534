// SNMP_MARLUXA_AC_POWER: one AC power-distribution unit read over SNMPv2c (or, as an opt-in,
// SNMPv3 with the user-based security model).
//
// Construction prepares (but does not open) a session template and the walk root
// 1.3.6.1.4.1.61333.1.1.4. InitSetting copies the device id into the record, reads the frame
// and session settings (device/app_settings.h), sets the peer name to the host's target address
// (UDP over IPv4 or IPv6 only, with a port from 1 to 65535 and no NUL character, as
// snmp/udp_peer.h says; anything else is refused in one line naming `ip` and the reason, and
// every walk then ends as a failed open does, without sending anything) and appends the
// device address byte to the root (always rebuilt from the 10-element root, so a repeated
// call never grows it). With appSetting.use_thread non-zero the device samples on its own
// thread (walk, 5 s pause, repeat), started once, after the first configuration is complete;
// otherwise each RefreshStatus runs one walk on the caller's thread. A later InitSetting with
// use_thread 0 stops that thread (a walk in flight ends at once, without a round) and hands
// the device back to the host; a non-zero value after that starts it again. There is never
// more than one sampling thread.
//
// do_sample is one walk. A device without `ip` does nothing more than its banner line: it is
// not configured to watch anything, and publishes no round. A host name in `ip` is looked up
// first (snmp/host_resolver.h) within the time one request may wait, and the session is opened
// on the address it gave; a name that does not resolve ends the walk as a failed open does, in
// one line. A walk that cannot reach the unit at all (a name that does not resolve, a peer or
// settings refused at InitSetting, a session that does not open) ends with the round of a
// silent walk: slot 1 = 0, the communication alarm, every other slot as it was. The session
// takes answers only from the peer's address and port (snmp/peer_filter.h), or with
// appSetting.answers_from_any_address 1 from the peer's port at any address; the walk names
// where others came from, and the key when they came from the peer's port. The kernel's ICMP
// errors about the peer (a closed port, an unreachable host) end the exchange at once
// (snmp/icmp_errors.h): "snmp walk stopped as the unit is out of reach: port unreachable at
// ADDRESS:PORT (ICMP from A)", and the round reports the unit out of reach as a silent walk
// does. Then GETBULK requests from the root onwards, each continuing from the previous
// response's last OID, storing INTEGER and float values (opaque or bare 0x48)
// by leaf number; a walk that runs longer than kStillRunningEvery says how far it got, at that
// interval, and a walk on the default request that runs longer than kSuggestFastRequestAfter says
// once per configuration how long the fast request would likely take (device/walk_notes.h). It ends
// at the end of the subtree, at an exception value, at a failed exchange or error response, at an
// OID that does not increase (or is too long to continue from), after kMaxExchanges exchanges or
// after kProgressBound without progress (which also cuts short the exchange in flight), and each of
// these ends with exactly one RoundDone. Every end other than the end of the subtree says why in
// one line, naming the peer; a walk that reached the end of the subtree without finding any
// variable under its root says so too ("snmp walk found nothing under ROOT (peer P)"). A walk in
// which the unit gave no answer at all sets slot 1, the communication state, to 0 before that
// round, so the round reports the loss; every other slot keeps its value. A walk and its round hold
// the round lock, so cache restores and reconfiguration never interleave with it, and wait for it
// as long as the walk takes. An SNMPv3 walk learns the agent's engine ID first (a failure there is
// a failed exchange); settings that cannot form a session make every walk end as a failed open
// does, without sending anything (and with that round).
//
// The device's own console lines that are not fixed texts end with " (peer IP)", IP being the
// host's `ip` as configured, so that the lines of many devices tell which unit they are about.
//
// A stop (the destructor, or use_thread 0) ends a walk at once wherever it waits (the lookup of
// a host name, the SNMPv3 turn and engine discovery included), and that walk closes its session
// and publishes nothing: no round runs on a device that is going
// away. The destructor stops the sampling thread and waits for it and for any walk a host thread
// runs.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>

#include "snmp/exchange.h"
#include "snmp/host_resolver.h"
#include "snmp/net_snmp.h"
#include "snmp/udp_peer.h"
#include "util/stop_signal.h"
#include "device/sample_clock.h"
#include "device/sampling_thread.h"
#include "device/walk_settings.h"
#include "frame/UniDataDevice.h"
#include "frame/record.h"
#include "host/QRMSocketDevice.h"

class SNMP_MARLUXA_AC_POWER
    : public UniDataDevice<SNMP_MARLUXA_AC_POWER_Data_t, QRMSocketDevice, 0> {
 public:
  using Frame = UniDataDevice<SNMP_MARLUXA_AC_POWER_Data_t, QRMSocketDevice, 0>;

  // Bound on the exchanges of one walk: a full unit takes 1270 with the default request, so
  // four times the unit's leaves stops a misbehaving agent long before it matters.
  static constexpr int kMaxExchanges = 4 * kSlotCount;
  static constexpr int kRootLength = 10;
  static constexpr unsigned kPauseSeconds = 5;
  // Bound on the time a walk may go without progress (a response that moves it to a new,
  // greater OID). A slow unit is never cut short: 1270 exchanges at 200 ms each make progress
  // at every answer. The bound is twice the longest a single request may wait (kMaxRequestMs),
  // so a request that goes unanswered always has all its attempts; it ends a walk that only
  // waits, also in the middle of the exchange in flight.
  static constexpr std::chrono::milliseconds kProgressBound{120 * 1000};
  // A walk that runs longer than this says so in one line, and again each time as long again
  // has passed: "snmp walk still running after S s: at leaf K of 1269 (P %), N exchanges (peer
  // P)".
  static constexpr std::chrono::milliseconds kStillRunningEvery{60 * 1000};
  // A walk on the default request (one leaf per exchange) that runs longer than this suggests
  // appSetting.max_repetitions in one line, the first time after each configuration.
  static constexpr std::chrono::milliseconds kSuggestFastRequestAfter{5 * 1000};
  // The longest `ip` the device's lines show as it is; a longer one is shown quoted and cut.
  static constexpr size_t kLongestPeerShown = 255;
  // The longest the SNMPv2c probe after a failed SNMPv3 discovery waits for its answer.
  static constexpr long kSnmpv2cProbeUs = 1000 * 1000;

  SNMP_MARLUXA_AC_POWER();
  ~SNMP_MARLUXA_AC_POWER() override;

  bool InitSetting(const Json::Value& config) override;
  int process_data(int handle, unsigned char* data, int length) override;
  int RefreshStatus() override;
  void RunCheckThreshold() override;

  void sample_data(void* arg);
  void do_sample();

 protected:
  netsnmp_session m_session;          // template every walk opens its session from
  void* m_openSession = nullptr;      // the running walk's session (single-session API)
  netsnmp_pdu* m_request = nullptr;   // request of the current exchange (library-owned once sent)
  netsnmp_pdu* m_response = nullptr;  // response of the current exchange
  netsnmp_variable_list* m_var = nullptr;  // binding being stored
  oid m_root[MAX_OID_LEN];                 // walk root
  size_t m_rootLength = 0;
  oid m_oid[MAX_OID_LEN];  // OID the next request continues from
  size_t m_oidLength = 0;
  std::unique_ptr<SamplingThread> m_thread;  // sampling thread (own-thread schedule)
  // Non-zero while the own-thread schedule is on: always so while m_thread exists. Atomic
  // because RefreshStatus reads it on a host thread while InitSetting may change it on another.
  std::atomic<int> m_useThread{0};
  std::chrono::milliseconds m_progressBound = kProgressBound;
  std::chrono::milliseconds m_stillRunningEvery = kStillRunningEvery;
  std::chrono::milliseconds m_suggestFastRequestAfter = kSuggestFastRequestAfter;
  bool m_suggestedFastRequest = false;  // since the last configuration; under the round lock

  // " (peer NAME)": the end of the device's own console lines that are not fixed texts, so that
  // a host running many devices can tell which unit a line is about. NAME is the host's `ip` as
  // the last configuration gave it (empty before the first).
  // Read under the round lock, which InitSetting holds while it changes the name.
  std::string PeerSuffix() const;

  // Takes every binding of a successful response; false when the walk must end after it.
  // Reachable from subclasses so that the response handling can be driven without a network.
  bool TakeResponse(const netsnmp_pdu& response);

  // Ends the sampling thread, if any, and waits for it. A subclass's destructor calls it first:
  // by the language's rules the thread must not make a virtual call on an object whose
  // destruction has begun, and only this class's own destructor stops the thread otherwise.
  void EndSampling();

 private:
  // Finds the address net-snmp opens the session on: nothing to do for an address (true, and
  // *numeric_peer left empty: `ip` is used as it is), the address form of a host name as the
  // resolver gives it (true; when that is the name's last address because the lookup failed or
  // was late, one line on standard error names the name, the address and its age), or false:
  // the stop came, or the name did not resolve within the time one request may wait and has no
  // recent address (one line naming it, on standard error, as a failed open).
  bool ResolvePeer(std::string* numeric_peer);
  // Ends a walk that has not been stopped with its round. A walk that got no answer, for
  // whatever reason (silence, a name that did not resolve, a peer or settings that form no
  // session, a failed open), sets slot 1, the communication state, to 0 first: the unit is out
  // of reach, and the host sees it. Every other slot keeps its value.
  void EndRound(bool answered);
  // After an SNMPv3 walk that learnt no engine and got no answer: one SNMPv2c GETNEXT of the
  // walk root with the `community` setting, one attempt of at most kSnmpv2cProbeUs, to `peer`
  // (the address the walk used). When the unit answers it, one line says the unit takes
  // SNMPv2c but not SNMPv3, so that a unit set up for SNMPv2c only does not read as dark.
  void ReportSnmpv2cOnly(std::string peer);
  // One request and its response; false when the walk must end after it. An exchange cut short
  // by a stop or by the progress bound returns true: the walk's own checks of both end it.
  bool ExchangeOnce(Exchange::Clock::time_point deadline);
  // The line of a walk that ends on an OID it cannot continue from.
  void ReportStuckOid(const netsnmp_variable_list& var, const char* why) const;
  // "SNMP_MARLUXA_AC_POWER: round failed (peer P): <reason>" for the exception in flight, built
  // without allocating (the exception may be std::bad_alloc). Only inside a catch block, without
  // the round lock.
  void ReportRoundFailure() noexcept;
  // Ends the sampling thread, if any, and takes the stop back: the device is host-driven.
  void StopSampling();
  // Copies community, time-out, retries and the SNMP version with its SNMPv3 identity from
  // m_settings into the session template (the keys move there; the template's previous keys
  // are overwritten).
  void ApplySessionSettings();

  // Held by InitSetting and the destructor around everything they do to the schedule, so that
  // configurations from several host threads start and stop the sampling thread one at a time.
  // The sampling thread never takes it.
  std::mutex m_scheduleMutex;
  WalkSettings m_settings;
  std::string m_peer;         // the session's own copy of the peer name
  UdpPeer m_udpPeer;          // ... as net-snmp reads it
  std::string m_peerRefusal;  // why no walk opens a session on it ("ip is not UDP"), or empty
  HostResolver m_resolver;    // looks the peer's host name up at each walk
  std::string m_community;    // the session's own copy of the community
  int m_repetitions = 0;      // current max-repetitions of the opt-in fast walk

  bool m_answered = false;    // the running walk received a response
  bool m_found = false;       // ... holding a variable under the walk root
  bool m_reachedEnd = false;  // the walk ended where the unit's subtree (or view) ends
  unsigned m_advances = 0;    // responses that moved the walk on to a greater OID
  SampleClock m_sampleClock;  // the last sample time each request is stamped with
  StopSignal m_stop;
  Exchange m_exchange{m_stop};  // outlives every session it runs on
};
