// Read-only access to the device configuration (a jsoncpp value).
//
// A key counts as present when the object holds it with a non-null value. Lookups never add
// members and never throw: a non-object container simply has no members, and a value that has
// no text form (an array or an object) is reported as having none, so a malformed configuration
// can never throw out of InitSetting into the host.
#pragma once

#include <cstring>
#include <string>

#include <json/value.h>

// The member `key` of `container`, or null when the container is not an object or the member
// is missing or null.
inline const Json::Value* ConfigMember(const Json::Value& container, const char* key) {
  if (!container.isObject()) return nullptr;
  const Json::Value* v = container.find(key, key + std::strlen(key));
  return (v == nullptr || v->isNull()) ? nullptr : v;
}

// The text form of a scalar (a number or boolean becomes its text); false for arrays and
// objects, which have none.
inline bool ConfigText(const Json::Value& value, std::string* out) {
  if (value.isArray() || value.isObject()) return false;
  *out = value.asString();
  return true;
}
