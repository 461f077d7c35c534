#include "snmp/exchange_failure.h"

#include <iostream>
#include <string>

#include "util/console_line.h"

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
  ConsoleLine(std::cout, std::string("snmpbulkwalk: ") + snmp_api_errstring(reason));
}
