#include "snmp/oid_text.h"

std::string OidText(const oid* name, size_t length) {
  std::string text;
  for (size_t i = 0; i < length; ++i) {
    if (i != 0) text += '.';
    text += std::to_string(name[i]);
  }
  return text;
}
