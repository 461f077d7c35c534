#include "snmp/usm_key.h"

#include <string.h>  // explicit_bzero

void WipeSecret(void* data, size_t size) {
  if (data != nullptr && size != 0) explicit_bzero(data, size);
}

void WipeSecret(std::string* text) { WipeSecret(text->data(), text->size()); }

void WipeSessionKeys(netsnmp_session* session) {
  WipeSecret(session->securityAuthKey, sizeof session->securityAuthKey);
  session->securityAuthKeyLen = 0;
  WipeSecret(session->securityPrivKey, sizeof session->securityPrivKey);
  session->securityPrivKeyLen = 0;
}

UsmKey& UsmKey::operator=(const UsmKey& other) {
  if (this != &other) {
    Wipe();
    memcpy(bytes_, other.bytes_, other.size_);
    size_ = other.size_;
  }
  return *this;
}

bool UsmKey::Derive(const oid* auth, size_t auth_length, const std::string& pass_phrase) {
  Wipe();
  size_t length = sizeof bytes_;
  if (generate_Ku(auth, static_cast<u_int>(auth_length),
                  reinterpret_cast<const u_char*>(pass_phrase.data()), pass_phrase.size(), bytes_,
                  &length) != SNMPERR_SUCCESS ||
      length == 0 || length > sizeof bytes_) {
    Wipe();
    return false;
  }
  size_ = length;
  return true;
}

void UsmKey::Wipe() {
  WipeSecret(bytes_, sizeof bytes_);
  size_ = 0;
}
