// The one turn at net-snmp's callback lists.
//
// net-snmp guards each of its callback lists with a plain counter, not a lock, and every
// snmp_sess_open, the library's first initialisation and the USM set-up run or change those
// lists. Every such call of the plug-in holds HoldNetSnmpCallbacks() (snmp/net_snmp.h says why),
// so that the counter is never contended. It depends on nothing else of the plug-in, so that
// every unit that opens sessions or sets net-snmp up can take it.
#pragma once

#include <mutex>

std::unique_lock<std::mutex> HoldNetSnmpCallbacks();
