// Host names that the test binary's own getaddrinfo answers, for the resolver faults a walk must
// survive: a name with a fixed address per family, a name that fails at once, and a name whose
// lookup never answers (it waits until ReleaseHangingLookups, or 30 s at most). Every other name
// goes to the system's resolver. Linking resolver_fault.cc into a test binary interposes
// getaddrinfo for the code linked into it (the device, net-snmp's own lookups).
#pragma once

#include <string>

// `name` answers `ipv4` to IPv4 lookups and `ipv6` to IPv6 ones; an empty address answers
// "Name or service not known" (EAI_NONAME) for that family.
void FakeHost(const std::string& name, const std::string& ipv4, const std::string& ipv6);
// Lookups of `name` never answer until ReleaseHangingLookups.
void HangingHost(const std::string& name);
// Lookups of `name` answer `ipv4` (IPv4) after `delay_ms`, counting as hanging meanwhile; one
// that ReleaseHangingLookups ends fails.
void SlowHost(const std::string& name, const std::string& ipv4, int delay_ms);
// Ends the waits of hanging lookups (they fail with EAI_AGAIN) and of the ones that come later.
void ReleaseHangingLookups();
// Lookups of `name` so far, and the ones of them that are waiting now.
int LookupsOf(const std::string& name);
int HangingNow();
