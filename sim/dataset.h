// The objects a simulated agent serves: an OID -> Value table ordered the way SNMP orders OIDs
// (sub-identifier by sub-identifier, numerically; a prefix sorts before its extensions).
//
// Also reads and writes the .snmprec text format that the snmpsim agent uses, so one file drives
// both agents, and builds the default power-distribution unit served when no file is given.
#ifndef SIM_DATASET_H_
#define SIM_DATASET_H_

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "sim/value.h"

namespace pdusim {

using Oid = std::vector<uint32_t>;

// Parses "1.3.6.1" (a leading dot is accepted). False on anything else.
bool ParseOid(const std::string& text, Oid* out);
// "1.3.6.1", no leading dot.
std::string OidToString(const Oid& oid);
// True when `prefix` is a (non-strict) prefix of `oid`.
bool OidStartsWith(const Oid& oid, const Oid& prefix);

class Dataset {
 public:
  using Map = std::map<Oid, Value>;

  static constexpr unsigned kFirstLeaf = 1;
  static constexpr unsigned kLastLeaf = 1269;

  // 1.3.6.1.4.1.61333.1.1.4: a unit with address A lives under UnitRoot().A.
  static const Oid& UnitRoot();
  // UnitRoot().address
  static Oid UnitSubtree(unsigned address);
  // UnitRoot().address.leaf.0
  static Oid UnitOid(unsigned address, unsigned leaf);

  // Leaves of the default unit (see DefaultUnit).
  static constexpr unsigned kLeafStatus = 1;                  // INTEGER 1 (communication normal)
  static constexpr unsigned kLeafAddress = 2;                 // INTEGER: the unit's own address
  static constexpr unsigned kLeafVoltageL1 = 3;               // float 220 + address % 11 (V)
  static constexpr unsigned kLeafFrequency = 15;              // float 50.0 (Hz)
  static const std::vector<unsigned>& DefaultActiveAlarms();  // {178, 250, 381}

  // Every leaf 1..1269 of each address, as UnitOid(address, leaf):
  //   1        INTEGER 1
  //   2        INTEGER address
  //   3..5     float line voltage L1..L3: 220 + address % 11, 229.5, 228.5 (V)
  //   6..8     float line current L1..L3: 4.25, 3.75, 5.0 (A)
  //   9..11    float active power L1..L3: 880, 760, 1020 (W)
  //   12..14   float power factor L1..L3: 0.875, 0.9, 0.95
  //   15       float frequency 50.0 (Hz)
  //   16       float total active power 2660 (W)
  //   17       Gauge32 total energy address * 1000 (kWh)
  //   177..604 alarm flags INTEGER 0, except DefaultActiveAlarms() which are 1
  //   605      float over-voltage limit 253.0 (V)
  //   606      float under-voltage limit 187.0 (V)
  //   607      INTEGER rated current 16 (A)
  //   others   INTEGER 0
  static Dataset DefaultUnit(const std::vector<unsigned>& addresses);

  // Parses .snmprec text: one "OID|TAG|VALUE" per line; blank lines and lines starting with '#'
  // are skipped. Tags: 2 INTEGER, 4 OCTET STRING, 64 IpAddress, 65 Counter32, 66 Gauge32,
  // 67 TimeTicks, 68 Opaque; a trailing 'x' on 4, 64 or 68 means VALUE is hex. On failure returns
  // false and sets *error to "line N: reason".
  static bool FromSnmprec(const std::string& text, Dataset* out, std::string* error);
  // Same, reading the file at `path`; errors are prefixed with the path.
  static bool LoadSnmprec(const std::string& path, Dataset* out, std::string* error);
  // One line per object, sorted by OID; opaque values and non-printable strings as hex.
  std::string ToSnmprec() const;

  void Set(const Oid& oid, Value value) { objects_[oid] = std::move(value); }
  // False (and no change) when `oid` does not parse.
  bool Set(const std::string& oid, Value value);
  void Erase(const Oid& oid) { objects_.erase(oid); }

  // The value at exactly `oid`, or nullptr.
  const Value* Find(const Oid& oid) const;
  // The first object after `oid` in OID order, or end().
  Map::const_iterator Next(const Oid& oid) const { return objects_.upper_bound(oid); }
  Map::const_iterator begin() const { return objects_.begin(); }
  Map::const_iterator end() const { return objects_.end(); }
  size_t size() const { return objects_.size(); }

 private:
  Map objects_;
};

}  // namespace pdusim

#endif  // SIM_DATASET_H_
