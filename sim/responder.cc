#include "sim/responder.h"

#include <algorithm>
#include <optional>

namespace pdusim {

namespace {

constexpr uint32_t kEndlessLeaf = Dataset::kLastLeaf + 1;
constexpr long kNotWritable = 17;
constexpr long kTooBig = 1;

// L when `oid` is UnitOid(A, L) for some A, else 0.
unsigned LeafOf(const Oid& oid) {
  const Oid& root = Dataset::UnitRoot();
  if (oid.size() != root.size() + 3 || oid.back() != 0 || !OidStartsWith(oid, root)) return 0;
  return oid[root.size() + 1];
}

constexpr uint32_t kBareFloatMarker = 0x41c80000;  // 25.0f

Binding Decorate(const Faults& f, const Oid& oid, const Value& value) {
  Binding b{oid, value, 0, false, 0};
  unsigned leaf = LeafOf(oid);
  if (leaf != 0 && leaf == f.exception_leaf) b.exception = f.exception_tag;
  if (leaf != 0 && leaf == f.bare_float_leaf) {
    b.bare_float = true;
    b.bare_bits = kBareFloatMarker;
  } else if (f.bare_floats && value.IsFloat()) {
    b.bare_float = true;
    b.bare_bits = value.FloatBitsValue();
  }
  return b;
}

// The binding that answers a GETNEXT for `oid`, or nothing at the end of the view.
std::optional<Binding> Successor(const Dataset& d, const Faults& f, const Oid& oid) {
  if (f.repeat_oid) {
    const Value* v = d.Find(oid);
    return Decorate(f, oid, v ? *v : Value::Integer(0));
  }
  auto next = d.Next(oid);
  const Oid& root = Dataset::UnitRoot();
  if (f.endless_subtree && oid.size() > root.size() && OidStartsWith(oid, root)) {
    Oid sub = Dataset::UnitSubtree(oid[root.size()]);
    if (next == d.end() || !OidStartsWith(next->first, sub)) {
      // sub.L.n with n growing past whatever was asked for keeps the walk inside `sub` forever.
      uint32_t leaf = kEndlessLeaf;
      uint32_t n = 1;
      if (oid.size() > sub.size()) {
        leaf = std::max(leaf, oid[sub.size()]);
        if (oid[sub.size()] == leaf && oid.size() > sub.size() + 1) n = oid[sub.size() + 1] + 1;
      }
      sub.push_back(leaf);
      sub.push_back(n);
      return Binding{sub, Value::Integer(int32_t(n)), 0, false, 0};
    }
  }
  if (next == d.end()) return std::nullopt;
  return Decorate(f, next->first, next->second);
}

Binding EndOfView(const Oid& oid) { return Binding{oid, Value{}, kEndOfMibView, false, 0}; }

Binding GetOne(const Dataset& d, const Faults& f, const Oid& oid) {
  if (const Value* v = d.Find(oid)) return Decorate(f, oid, *v);
  // The object type exists when it has another instance: an object of the same length that
  // differs only in the last sub-identifier.
  bool type_exists = false;
  if (!oid.empty()) {
    Oid type(oid.begin(), oid.end() - 1);
    for (auto it = d.Next(type); it != d.end() && OidStartsWith(it->first, type); ++it) {
      if (it->first.size() == oid.size()) {
        type_exists = true;
        break;
      }
    }
  }
  return Binding{oid, Value{}, type_exists ? kNoSuchInstance : kNoSuchObject, false, 0};
}

Reply Bulk(const Dataset& d, const Faults& f, const Request& req) {
  Reply reply;
  if (f.max_repetitions_limit > 0 && req.max_repetitions > long(f.max_repetitions_limit)) {
    reply.error_status = kTooBig;
    return reply;
  }
  long count = long(req.oids.size());
  long n = std::clamp(req.non_repeaters, 0L, count);
  long m = std::max(req.max_repetitions, 0L);
  std::vector<Oid> repeaters(req.oids.begin() + n, req.oids.end());
  if (f.bulk_successors > 0 && count > 0) {
    n = 0;
    m = f.bulk_successors;
    repeaters.assign(1, req.oids[0]);
  }
  auto& out = reply.bindings;
  for (long i = 0; i < n; ++i) {
    out.push_back(Successor(d, f, req.oids[i]).value_or(EndOfView(req.oids[i])));
  }
  std::vector<bool> ended(repeaters.size(), false);
  for (long r = 0; r < m && !repeaters.empty() && out.size() < kMaxBindings; ++r) {
    bool all_ended = true;
    for (size_t j = 0; j < repeaters.size() && out.size() < kMaxBindings; ++j) {
      // A repeater that reached the end keeps answering endOfMibView for the same name.
      std::optional<Binding> b;
      if (!ended[j]) b = Successor(d, f, repeaters[j]);
      ended[j] = !b.has_value();
      all_ended = all_ended && ended[j];
      if (b) repeaters[j] = b->oid;
      out.push_back(b ? std::move(*b) : EndOfView(repeaters[j]));
    }
    if (all_ended) break;
  }
  if (f.foreign_binding && !out.empty()) {
    Binding foreign{Oid(std::begin(kForeignOid), std::end(kForeignOid)), Value::Integer(0), 0,
                    false, 0};
    if (out.size() == 1) {
      if (auto next = Successor(d, f, out[0].oid)) out.push_back(std::move(*next));
    }
    out.insert(out.begin() + 1, std::move(foreign));
  }
  return reply;
}

}  // namespace

Reply Respond(const Dataset& data, const Faults& faults, const Request& request) {
  Reply reply;
  switch (request.command) {
    case Request::Command::kGet:
      for (const Oid& oid : request.oids) reply.bindings.push_back(GetOne(data, faults, oid));
      break;
    case Request::Command::kGetNext:
      for (const Oid& oid : request.oids) {
        reply.bindings.push_back(Successor(data, faults, oid).value_or(EndOfView(oid)));
      }
      break;
    case Request::Command::kGetBulk:
      reply = Bulk(data, faults, request);
      break;
    case Request::Command::kSet:
      // Every object is read-only.
      reply.error_status = kNotWritable;
      reply.error_index = 1;
      reply.echo_request = true;
      break;
  }
  return reply;
}

}  // namespace pdusim
