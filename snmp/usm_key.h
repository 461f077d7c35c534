// A USM master key (Ku): the digest that stands for a pass phrase of an SNMPv3 user.
//
// Deriving it hashes a megabyte built from the pass phrase, so a device derives its keys once
// per configuration; net-snmp localises them for an agent's engine ID at every walk, which is
// cheap. A UsmKey is secret: it never leaves the device except into its session template, and
// its bytes are overwritten (with a write the compiler may not drop) whenever the key is
// replaced or destroyed. WipeSecret does the same for any other buffer that held a secret.
#pragma once

#include <cstddef>
#include <string>

#include "snmp/net_snmp.h"

// Overwrites `size` bytes at `data` with zeros; the write is never optimised away.
void WipeSecret(void* data, size_t size);

// Overwrites the characters of `text` (its contents, not only its length).
void WipeSecret(std::string* text);

// Overwrites the keys a session or session template holds and sets their lengths to 0.
void WipeSessionKeys(netsnmp_session* session);

class UsmKey {
 public:
  UsmKey() = default;
  UsmKey(const UsmKey& other) { *this = other; }
  UsmKey& operator=(const UsmKey& other);
  ~UsmKey() { Wipe(); }

  // Derives the key of `pass_phrase` with the hash of the authentication protocol `auth`
  // (USM derives the privacy key with the authentication hash too). False when net-snmp
  // refuses: a pass phrase under 8 characters, or a hash this build of net-snmp lacks; the key
  // is then empty.
  bool Derive(const oid* auth, size_t auth_length, const std::string& pass_phrase);

  const unsigned char* data() const { return bytes_; }
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  void Wipe();

 private:
  unsigned char bytes_[USM_AUTH_KU_LEN] = {};
  size_t size_ = 0;
};
