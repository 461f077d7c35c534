// An OID as the dotted decimal text a console line shows ("1.3.6.1.4.1.61333.1.1.4.2"): numbers
// only, no MIB names, so it reads the same on every machine and needs no MIB files.
#pragma once

#include <cstddef>
#include <string>

#include "snmp/net_snmp.h"

std::string OidText(const oid* name, size_t length);
