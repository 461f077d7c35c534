#include "device/value_store.h"

#include <cstdint>
#include <cstring>

bool InsideRoot(const oid* name, size_t length, const oid* root, size_t root_length) {
  if (name == nullptr || length < root_length) return false;
  for (size_t i = 0; i < root_length; ++i)
    if (name[i] != root[i]) return false;
  return true;
}

bool IsExceptionValue(u_char type) {
  return type == SNMP_NOSUCHOBJECT || type == SNMP_NOSUCHINSTANCE || type == SNMP_ENDOFMIBVIEW;
}

bool StoreBinding(SNMP_MARLUXA_AC_POWER_Data_t& record, const netsnmp_variable_list& var,
                  const oid* root, size_t root_length) {
  if (!InsideRoot(var.name, var.name_length, root, root_length)) return false;
  if (var.name_length == root_length) return false;  // the root itself: no leaf number
  const oid leaf = var.name[root_length];
  if (leaf < 1 || leaf > static_cast<oid>(kSlotCount)) return false;
  const int k = static_cast<int>(leaf);
  switch (var.type) {
    case ASN_INTEGER: {
      if (var.val.integer == nullptr) return false;
      // net-snmp holds an INTEGER in a long; the wire value is signed 32-bit.
      SetSlot(record, k, static_cast<float>(static_cast<int32_t>(*var.val.integer)));
      return true;
    }
    case ASN_FLOAT:
    case ASN_OPAQUE_FLOAT: {
      if (var.val.floatVal == nullptr || var.val_len < sizeof(float)) return false;
      unsigned char bits[sizeof(float)];
      std::memcpy(bits, var.val.floatVal, sizeof bits);
      std::memcpy(RecordBytes(record) + SlotOffset(k), bits, sizeof bits);
      return true;
    }
    default:
      return false;
  }
}
