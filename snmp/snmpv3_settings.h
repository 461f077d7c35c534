// The SNMP version a device speaks, and the SNMPv3 (USM) identity it uses.
//
// appSetting.snmp_version is 2 (SNMPv2c with the community, the default) or 3 (number or
// text). SNMPv3 reads `username` (required), `security_level` (noAuthNoPriv, authNoPriv or
// authPriv; by default authPriv when `priv_password` is given, authNoPriv when only `password`
// is, else noAuthNoPriv), `auth_protocol` (MD5, SHA, SHA-224, SHA-256, SHA-384, SHA-512;
// default SHA), `password`, `priv_protocol` (DES, AES, AES-192, AES-256; default AES),
// `priv_password` and `context_name`. Names are matched without regard to case; a protocol
// this build of net-snmp lacks is refused by name. A text with a NUL character is refused as
// such: net-snmp would use names only up to it, and nothing is ever sent cut short.
//
// Settings that cannot form a session (an unknown snmp_version, SNMPv3 keys without
// snmp_version 3, no username, an unknown protocol or level, a pass phrase shorter than 8
// characters or missing for the level, a NUL character in a name or pass phrase) are each named in
// one line on standard output, and the result is "no session": the device then never walks, and in
// particular never falls back to SNMPv2c, which would send a community where SNMPv3 was asked for.
// A line names the key and the reason, never a pass phrase.
//
// The pass phrases are turned into USM keys here, once per configuration, and the texts are
// overwritten at once; only the keys are kept. The first configuration with snmp_version 3 sets
// net-snmp's SNMPv3 security up for the process (EnsureUsmReady); no other does.
#pragma once

#include <string>

#include <json/value.h>

#include "snmp/net_snmp.h"
#include "snmp/usm_key.h"

struct Snmpv3Settings {
  static constexpr size_t kMaxProtocolLength = 16;

  std::string username;
  std::string context_name;
  int security_level = SNMP_SEC_LEVEL_NOAUTH;
  oid auth_protocol[kMaxProtocolLength] = {};
  size_t auth_protocol_length = 0;
  oid priv_protocol[kMaxProtocolLength] = {};
  size_t priv_protocol_length = 0;
  UsmKey auth_key;  // authNoPriv and authPriv
  UsmKey priv_key;  // authPriv
};

// The SNMP keys of a device's appSetting object, each null when absent: the device reads the
// object once (device/app_settings.h) and hands them over.
struct Snmpv3Keys {
  const Json::Value* snmp_version = nullptr;
  const Json::Value* username = nullptr;
  const Json::Value* security_level = nullptr;
  const Json::Value* auth_protocol = nullptr;
  const Json::Value* password = nullptr;
  const Json::Value* priv_protocol = nullptr;
  const Json::Value* priv_password = nullptr;
  const Json::Value* context_name = nullptr;
  // snmp_version was given but left out (named already): its default, 2, holds as if written.
  bool version_left_out = false;
};

// Limits of the SNMPv3 texts: user and context names of up to 32 bytes (the user at least 1),
// pass phrases of at least 8; none of them may hold a NUL character.
constexpr size_t kSnmpv3NameBytes = 32;
constexpr size_t kPassPhraseMinBytes = 8;

// The names each protocol setting takes, as "MD5, SHA, ...", in the order lines list them.
const char* AuthProtocolNames();
const char* PrivProtocolNames();

// Reads snmp_version and, for 3, the SNMPv3 keys. Returns 2 (SNMPv2c: snmp_version 2, or neither
// it nor any SNMPv3 key present), 3 (a complete SNMPv3 configuration, in *v3) or 0 (no session;
// each reason named in one line, which ends with `end`, the caller's name for the unit).
int ReadSnmpVersion(const Snmpv3Keys& keys, Snmpv3Settings* v3, const std::string& end);

// Puts the version into the session template: for 2 exactly what an SNMPv2c template has had
// all along (the SNMPv3 fields as snmp_sess_init leaves them, keys overwritten); for 3 the
// identity of `v3`, to which the template then points (`v3` must outlive its use), with the
// keys moved into the template (overwritten in `v3`) and no community; for 0 an SNMPv3 template
// without identity or community, which the device never opens.
void PrepareSessionTemplate(int snmp_version, Snmpv3Settings* v3, netsnmp_session* session);
