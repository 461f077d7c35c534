#include "snmp/exchange_failure.h"

#include <iostream>
#include <mutex>
#include <string>

#include "util/console_line.h"

namespace {

// net-snmp's fixed text for `reason`, copied out of the one static buffer net-snmp writes it
// in. net-snmp also keeps one "detail" per process, which an earlier failure may have left (a
// peer's name, a parse error, perhaps another unit's on another thread) and which it appends to
// the next error text anyone asks for: the first call takes it, the second gives the text alone.
std::string ApiErrorText(int reason) {
  static std::mutex mutex;
  std::lock_guard<std::mutex> lock(mutex);
  snmp_api_errstring(reason);
  return snmp_api_errstring(reason);
}

}  // namespace

void ReportExchangeFailureReason(void* open_session, int status, const netsnmp_pdu* report) {
  const netsnmp_session* session = open_session ? snmp_sess_session(open_session) : nullptr;
  if (session == nullptr || session->version != SNMP_VERSION_3) return;
  int reason = SNMPERR_SUCCESS;
  if (report != nullptr) {
    reason = snmpv3_get_report_type(const_cast<netsnmp_pdu*>(report));
  } else if (status == STAT_ERROR) {
    reason = session->s_snmp_errno;
  }
  if (reason == SNMPERR_SUCCESS || reason == SNMPERR_TIMEOUT) return;
  ConsoleLine(std::cout, "snmpbulkwalk: " + ApiErrorText(reason));
}
