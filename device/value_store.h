// Taking one variable binding of a walk response into the device data record.
//
// A binding lies inside the walk root when its OID starts with all of the root's
// sub-identifiers. Its leaf number is the sub-identifier right after the root; leaves 1..1269
// select value slot k, whatever sub-identifiers follow. INTEGER values are stored as the
// nearest float; float values (ASN_FLOAT, and ASN_OPAQUE_FLOAT, which is how net-snmp decodes
// a float sent as an Opaque) are stored bit for bit. Every other type, leaf 0, leaves above
// 1269 and a binding that is the root itself store nothing.
#pragma once

#include <cstddef>

#include "snmp/net_snmp.h"
#include "frame/record.h"

// True when `name` (of `length` sub-identifiers) begins with the root's sub-identifiers.
bool InsideRoot(const oid* name, size_t length, const oid* root, size_t root_length);

// True for the exception values that end a walk: noSuchObject, noSuchInstance, endOfMibView.
bool IsExceptionValue(u_char type);

// Stores `var` into its slot when it is a storable value inside the root (see above).
// Returns whether a slot was written.
bool StoreBinding(SNMP_MARLUXA_AC_POWER_Data_t& record, const netsnmp_variable_list& var,
                  const oid* root, size_t root_length);
