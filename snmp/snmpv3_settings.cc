#include "snmp/snmpv3_settings.h"

#include <strings.h>

#include <cstring>
#include <utility>
#include <iostream>

#include "util/config_value.h"
#include "util/console_line.h"

namespace {

struct Protocol {
  const char* name;
  oid id[Snmpv3Settings::kMaxProtocolLength];
  size_t length;
  bool available;  // in this build of net-snmp, as its configuration header says
};

// usmHMAC...AuthProtocol (RFC 3414, RFC 7860).
#ifdef NETSNMP_DISABLE_MD5
constexpr bool kMd5 = false;
#else
constexpr bool kMd5 = true;
#endif
#ifdef HAVE_EVP_SHA224
constexpr bool kSha224 = true;
#else
constexpr bool kSha224 = false;
#endif
#ifdef HAVE_EVP_SHA384
constexpr bool kSha384 = true;
#else
constexpr bool kSha384 = false;
#endif
const Protocol kAuthProtocols[] = {
    {"MD5", {1, 3, 6, 1, 6, 3, 10, 1, 1, 2}, 10, kMd5},
    {"SHA", {1, 3, 6, 1, 6, 3, 10, 1, 1, 3}, 10, true},
    {"SHA-224", {1, 3, 6, 1, 6, 3, 10, 1, 1, 4}, 10, kSha224},
    {"SHA-256", {1, 3, 6, 1, 6, 3, 10, 1, 1, 5}, 10, kSha224},
    {"SHA-384", {1, 3, 6, 1, 6, 3, 10, 1, 1, 6}, 10, kSha384},
    {"SHA-512", {1, 3, 6, 1, 6, 3, 10, 1, 1, 7}, 10, kSha384},
};

// usmDESPrivProtocol, usmAesCfb128Protocol (RFC 3826), and AES-192/AES-256 with the key
// extension of draft-blumenthal-aes-usm-04, which is what net-snmp's own tools and agent mean by
// these names.
#if defined(HAVE_AES) && defined(NETSNMP_DRAFT_BLUMENTHAL_AES_04)
constexpr bool kLongAes = true;
#else
constexpr bool kLongAes = false;
#endif
#ifdef HAVE_AES
constexpr bool kAes = true;
#else
constexpr bool kAes = false;
#endif
const Protocol kPrivProtocols[] = {
    {"DES",
     {1, 3, 6, 1, 6, 3, 10, 1, 2, 2},
     10,
#ifdef NETSNMP_DISABLE_DES
     false},
#else
     true},
#endif
    {"AES", {1, 3, 6, 1, 6, 3, 10, 1, 2, 4}, 10, kAes},
    {"AES-192", {1, 3, 6, 1, 4, 1, 14832, 1, 3}, 9, kLongAes},
    {"AES-256", {1, 3, 6, 1, 4, 1, 14832, 1, 4}, 9, kLongAes},
};

// A setting that cannot form a session, in one line: the key and the reason, never the value
// of a pass phrase; `end` closes the line.
void Refuse(const char* key, const std::string& why, const std::string& end) {
  ConsoleLine(std::cout, std::string("appSetting.") + key + ": " + why +
                             "; no session, the device does not walk" + end);
}

template <size_t N>
std::string NameList(const Protocol (&table)[N]) {
  std::string names;
  for (size_t i = 0; i < N; ++i) names += std::string(i == 0 ? "" : ", ") + table[i].name;
  return names;
}

// The protocol named by the optional setting `key` (value `v`), or the entry of `fallback` when
// the key is absent; null after a refusal line. Whether a fallback is available is checked once it
// is known to be used.
template <size_t N>
const Protocol* ReadProtocol(const Json::Value* v, const char* key, const Protocol (&table)[N],
                             const char* fallback, const std::string& end) {
  if (v != nullptr && v->type() != Json::stringValue) {
    Refuse(key, RenderSetting(*v) + " is not a text (expected one of " + NameList(table) + ")",
           end);
    return nullptr;
  }
  const std::string name = v == nullptr ? fallback : v->asString();
  for (const Protocol& p : table) {
    if (name.size() != std::strlen(p.name) || strcasecmp(name.c_str(), p.name) != 0) continue;
    if (v != nullptr && !p.available) {
      Refuse(key, std::string(p.name) + " is not available in this build of net-snmp", end);
      return nullptr;
    }
    return &p;
  }
  Refuse(key, QuoteText(name) + " is not one of " + NameList(table), end);
  return nullptr;
}

// A name setting of `min` to kSnmpv3NameBytes bytes; false after a refusal line.
bool ReadName(const char* key, const Json::Value& v, size_t min, std::string* out,
              const std::string& end) {
  const std::string range = min == 0
                                ? "up to " + std::to_string(kSnmpv3NameBytes)
                                : std::to_string(min) + " to " + std::to_string(kSnmpv3NameBytes);
  if (v.type() == Json::stringValue) {
    *out = v.asString();
    if (out->find('\0') != std::string::npos) {
      Refuse(key, RenderSetting(v) + " contains a NUL character", end);
      return false;
    }
    if (out->size() >= min && out->size() <= kSnmpv3NameBytes) return true;
  }
  Refuse(key, "expected a text of " + range + " bytes", end);
  return false;
}

int ReadLevel(const Json::Value& v) {
  static const struct {
    const char* name;
    int level;
  } kLevels[] = {{"noAuthNoPriv", SNMP_SEC_LEVEL_NOAUTH},
                 {"authNoPriv", SNMP_SEC_LEVEL_AUTHNOPRIV},
                 {"authPriv", SNMP_SEC_LEVEL_AUTHPRIV}};
  if (v.type() != Json::stringValue) return 0;
  const std::string text = v.asString();
  for (const auto& l : kLevels) {
    if (text.size() == std::strlen(l.name) && strcasecmp(text.c_str(), l.name) == 0) return l.level;
  }
  return 0;
}

// The text of a pass phrase setting, overwritten when it goes out of scope. It is built straight
// into `text` (initialised from the returned value, so no temporary copy is left behind).
struct PassPhrase {
  std::string text;
  ~PassPhrase() { WipeSecret(&text); }
};

std::string PassPhraseText(const Json::Value* v) {
  if (v == nullptr || v->type() != Json::stringValue) return std::string();
  return v->asString();
}

// Checks the optional pass phrase setting `key` (value `v`, text `pass`); false after a line.
bool CheckPassPhrase(const char* key, const Json::Value* v, const PassPhrase& pass,
                     const std::string& end) {
  if (v == nullptr) return true;
  if (v->type() != Json::stringValue) {
    Refuse(key, "not a text", end);
    return false;
  }
  if (pass.text.find('\0') != std::string::npos) {
    Refuse(key, "contains a NUL character", end);
    return false;
  }
  if (pass.text.size() < kPassPhraseMinBytes) {
    Refuse(key, "shorter than 8 characters", end);
    return false;
  }
  return true;
}

bool ReadSnmpv3(const Snmpv3Keys& keys, Snmpv3Settings* v3, const std::string& end) {
  bool ok = true;
  if (keys.username != nullptr) {
    ok = ReadName("username", *keys.username, 1, &v3->username, end);
  } else {
    Refuse("username", "missing, and snmp_version 3 needs one", end);
    ok = false;
  }
  if (keys.context_name != nullptr) {
    ok = ReadName("context_name", *keys.context_name, 0, &v3->context_name, end) && ok;
  }
  const Protocol* auth =
      ReadProtocol(keys.auth_protocol, "auth_protocol", kAuthProtocols, "SHA", end);
  const Protocol* priv =
      ReadProtocol(keys.priv_protocol, "priv_protocol", kPrivProtocols, "AES", end);
  ok = ok && auth != nullptr && priv != nullptr;

  const Json::Value* password = keys.password;
  const Json::Value* priv_password = keys.priv_password;
  const PassPhrase auth_pass{PassPhraseText(password)};
  const PassPhrase priv_pass{PassPhraseText(priv_password)};
  ok = CheckPassPhrase("password", password, auth_pass, end) && ok;
  ok = CheckPassPhrase("priv_password", priv_password, priv_pass, end) && ok;

  int level = priv_password != nullptr ? SNMP_SEC_LEVEL_AUTHPRIV
              : password != nullptr    ? SNMP_SEC_LEVEL_AUTHNOPRIV
                                       : SNMP_SEC_LEVEL_NOAUTH;
  if (const Json::Value* v = keys.security_level) {
    level = ReadLevel(*v);
    if (level == 0) {
      Refuse("security_level",
             RenderSetting(*v) + " is not one of noAuthNoPriv, authNoPriv, authPriv", end);
      return false;
    }
  }
  const char* level_name = level == SNMP_SEC_LEVEL_AUTHPRIV ? "authPriv" : "authNoPriv";
  if (level >= SNMP_SEC_LEVEL_AUTHNOPRIV && password == nullptr) {
    Refuse("password", std::string("missing, and ") + level_name + " needs it", end);
    ok = false;
  }
  if (level == SNMP_SEC_LEVEL_AUTHPRIV && priv_password == nullptr) {
    Refuse("priv_password", "missing, and authPriv needs it", end);
    ok = false;
  }
  // A default protocol counts only where the level uses it.
  if (ok && level >= SNMP_SEC_LEVEL_AUTHNOPRIV && !auth->available) {
    Refuse("auth_protocol",
           std::string("the default ") + auth->name + " is not available in this build of net-snmp",
           end);
    ok = false;
  }
  if (ok && level == SNMP_SEC_LEVEL_AUTHPRIV && !priv->available) {
    Refuse("priv_protocol",
           std::string("the default ") + priv->name + " is not available in this build of net-snmp",
           end);
    ok = false;
  }
  if (!ok) return false;

  v3->security_level = level;
  std::memcpy(v3->auth_protocol, auth->id, sizeof auth->id);
  v3->auth_protocol_length = auth->length;
  std::memcpy(v3->priv_protocol, priv->id, sizeof priv->id);
  v3->priv_protocol_length = priv->length;
  if (level >= SNMP_SEC_LEVEL_AUTHNOPRIV &&
      !v3->auth_key.Derive(auth->id, auth->length, auth_pass.text)) {
    Refuse("password", std::string("net-snmp derives no ") + auth->name + " key from it", end);
    return false;
  }
  if (level == SNMP_SEC_LEVEL_AUTHPRIV &&
      !v3->priv_key.Derive(auth->id, auth->length, priv_pass.text)) {
    Refuse("priv_password", std::string("net-snmp derives no ") + auth->name + " key from it", end);
    return false;
  }
  return true;
}

}  // namespace

const char* AuthProtocolNames() {
  static const std::string names = NameList(kAuthProtocols);
  return names.c_str();
}

const char* PrivProtocolNames() {
  static const std::string names = NameList(kPrivProtocols);
  return names.c_str();
}

int ReadSnmpVersion(const Snmpv3Keys& keys, Snmpv3Settings* v3, const std::string& end) {
  *v3 = Snmpv3Settings();
  const std::pair<const char*, const Json::Value*> v3_settings[] = {
      {"username", keys.username},           {"security_level", keys.security_level},
      {"auth_protocol", keys.auth_protocol}, {"password", keys.password},
      {"priv_protocol", keys.priv_protocol}, {"priv_password", keys.priv_password},
      {"context_name", keys.context_name}};
  std::string v3_keys;  // the SNMPv3 keys present, by name
  for (const auto& [key, value] : v3_settings) {
    if (value != nullptr) v3_keys += std::string(v3_keys.empty() ? "" : ", ") + key;
  }
  const Json::Value* version = keys.snmp_version;
  long long n = 2;
  if (version == nullptr) {
    if (v3_keys.empty()) return 2;
    if (!keys.version_left_out) {
      Refuse("snmp_version", "missing, but " + v3_keys + " ask for SNMPv3", end);
      return 0;
    }
  } else if (!ReadIntegerSetting(*version, &n) || (n != 2 && n != 3)) {
    Refuse("snmp_version", RenderSetting(*version) + " is not 2 or 3", end);
    return 0;
  }
  if (n == 2) {
    if (!v3_keys.empty()) {
      ConsoleLine(std::cout, "appSetting: " + v3_keys + " not used with snmp_version 2" + end);
    }
    return 2;
  }
  // The first configuration that asks for SNMPv3 sets net-snmp's USM up for the process.
  EnsureUsmReady();
  if (ReadSnmpv3(keys, v3, end)) return 3;
  *v3 = Snmpv3Settings();
  return 0;
}

void PrepareSessionTemplate(int snmp_version, Snmpv3Settings* v3, netsnmp_session* session) {
  WipeSessionKeys(session);
  session->securityModel = SNMP_DEFAULT_SECMODEL;
  session->securityName = nullptr;
  session->securityNameLen = 0;
  session->securityLevel = 0;
  session->securityAuthProto = nullptr;
  session->securityAuthProtoLen = 0;
  session->securityPrivProto = nullptr;
  session->securityPrivProtoLen = 0;
  session->contextName = nullptr;
  session->contextNameLen = 0;
  if (snmp_version == 2) {
    session->version = SNMP_VERSION_2c;
    return;
  }
  session->version = SNMP_VERSION_3;
  session->community = nullptr;
  session->community_len = 0;
  if (snmp_version != 3) return;
  session->securityModel = USM_SEC_MODEL_NUMBER;
  session->securityName = v3->username.data();
  session->securityNameLen = v3->username.size();
  session->securityLevel = v3->security_level;
  session->contextName = v3->context_name.data();
  session->contextNameLen = v3->context_name.size();
  session->securityAuthProto = v3->auth_protocol;
  session->securityAuthProtoLen = v3->auth_protocol_length;
  session->securityPrivProto = v3->priv_protocol;
  session->securityPrivProtoLen = v3->priv_protocol_length;
  std::memcpy(session->securityAuthKey, v3->auth_key.data(), v3->auth_key.size());
  session->securityAuthKeyLen = v3->auth_key.size();
  std::memcpy(session->securityPrivKey, v3->priv_key.data(), v3->priv_key.size());
  session->securityPrivKeyLen = v3->priv_key.size();
  v3->auth_key.Wipe();
  v3->priv_key.Wipe();
}
