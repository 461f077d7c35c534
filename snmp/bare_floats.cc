#include "snmp/bare_floats.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <iterator>
#include <vector>

#include "snmp/net_snmp.h"

namespace {

constexpr unsigned char kSequence = 0x30;
constexpr unsigned char kInteger = 0x02;
constexpr unsigned char kOctetString = 0x04;
constexpr unsigned char kObjectId = 0x06;
constexpr unsigned char kResponse = 0xA2;
constexpr unsigned char kBareFloat = 0x48;
constexpr unsigned char kWrappedFloat[] = {0x44, 0x07, 0x9f, 0x78, 0x04};
constexpr std::size_t kFloatBytes = 4;

// One BER element of the message: a one-byte tag and a definite length of 1 to 4 bytes.
struct Element {
  unsigned char tag = 0;
  std::size_t start = 0;
  std::size_t header = 0;  // tag and length bytes
  std::size_t length = 0;  // content bytes
  std::size_t content() const { return start + header; }
  std::size_t end() const { return start + header + length; }
};

// Reads the element at `at`, which must lie wholly before `end`.
bool Read(const unsigned char* m, std::size_t at, std::size_t end, Element* e) {
  if (at >= end || end - at < 2) return false;
  e->tag = m[at];
  if ((e->tag & 0x1f) == 0x1f) return false;  // a tag of several bytes
  std::size_t pos = at + 2;
  std::size_t length = m[at + 1];
  if (length & 0x80) {
    const std::size_t octets = length & 0x7f;
    if (octets == 0 || octets > 4 || end - pos < octets) return false;  // indefinite, or huge
    length = 0;
    for (std::size_t i = 0; i < octets; ++i) length = (length << 8) | m[pos + i];
    pos += octets;
  }
  if (length > end - pos) return false;
  e->start = at;
  e->header = pos - at;
  e->length = length;
  return true;
}

// A variable binding: a SEQUENCE of exactly an OBJECT IDENTIFIER and a value.
bool ReadBinding(const unsigned char* m, std::size_t at, std::size_t end, Element* binding,
                 Element* name, Element* value) {
  return Read(m, at, end, binding) && binding->tag == kSequence &&
         Read(m, binding->content(), binding->end(), name) && name->tag == kObjectId &&
         Read(m, name->end(), binding->end(), value) && value->end() == binding->end();
}

bool IsBareFloat(const Element& value) {
  return value.tag == kBareFloat && value.length == kFloatBytes;
}

// Appends a header for `length` content bytes, in at least as many length bytes as the
// original element used, so an element whose length still fits keeps its form.
void AppendHeader(std::vector<unsigned char>* out, unsigned char tag, std::size_t length,
                  const Element& original) {
  std::size_t octets = 0;  // length bytes after the first; none in the short form
  if (length > 0x7f) {
    for (std::size_t rest = length; rest != 0; rest >>= 8) ++octets;
  }
  octets = std::max(octets, original.header - 2);
  out->push_back(tag);
  if (octets == 0) {
    out->push_back(static_cast<unsigned char>(length));
    return;
  }
  out->push_back(static_cast<unsigned char>(0x80 | octets));
  for (std::size_t i = octets; i-- > 0;)
    out->push_back(static_cast<unsigned char>(length >> (8 * i)));
}

void Append(std::vector<unsigned char>* out, const unsigned char* m, std::size_t from,
            std::size_t to) {
  out->insert(out->end(), m + from, m + to);
}

std::size_t Rewrite(unsigned char* m, std::size_t length, std::size_t capacity) {
  // An empty datagram is a datagram too, and may come without a buffer: nothing to scan.
  if (length == 0) return length;
  // Most messages hold no byte 0x48 at all, and so no bare float: one quick scan spares them
  // the reading below.
  if (std::memchr(m, kBareFloat, length) == nullptr) return length;
  // Message: SEQUENCE { version 0 or 1, community, Response }.
  Element message, version, community, pdu, field, list;
  if (!Read(m, 0, length, &message) || message.tag != kSequence || message.end() != length) {
    return length;
  }
  if (!Read(m, message.content(), length, &version) || version.tag != kInteger ||
      version.length != 1 || m[version.content()] > 1) {
    return length;
  }
  if (!Read(m, version.end(), length, &community) || community.tag != kOctetString) return length;
  if (!Read(m, community.end(), length, &pdu) || pdu.tag != kResponse || pdu.end() != length) {
    return length;
  }
  // Response: request-id, error-status, error-index, then the binding list to its end.
  std::size_t at = pdu.content();
  for (int i = 0; i < 3; ++i, at = field.end()) {
    if (!Read(m, at, length, &field) || field.tag != kInteger) return length;
  }
  const std::size_t fields_end = at;
  if (!Read(m, at, length, &list) || list.tag != kSequence || list.end() != length) return length;

  std::size_t bare = 0;
  Element binding, name, value;
  for (at = list.content(); at < list.end(); at = binding.end()) {
    if (!ReadBinding(m, at, list.end(), &binding, &name, &value)) return length;
    if (IsBareFloat(value)) ++bare;
  }
  if (bare == 0) return length;

  std::vector<unsigned char> bindings, content;
  for (at = list.content(); at < list.end(); at = binding.end()) {
    ReadBinding(m, at, list.end(), &binding, &name, &value);
    content.clear();
    Append(&content, m, name.start, name.end());
    if (IsBareFloat(value)) {
      content.insert(content.end(), std::begin(kWrappedFloat), std::end(kWrappedFloat));
      Append(&content, m, value.content(), value.end());
    } else {
      Append(&content, m, value.start, value.end());
    }
    AppendHeader(&bindings, kSequence, content.size(), binding);
    bindings.insert(bindings.end(), content.begin(), content.end());
  }
  std::vector<unsigned char> response;
  Append(&response, m, pdu.content(), fields_end);
  AppendHeader(&response, kSequence, bindings.size(), list);
  response.insert(response.end(), bindings.begin(), bindings.end());
  std::vector<unsigned char> body;
  Append(&body, m, message.content(), pdu.start);
  AppendHeader(&body, kResponse, response.size(), pdu);
  body.insert(body.end(), response.begin(), response.end());
  std::vector<unsigned char> out;
  AppendHeader(&out, kSequence, body.size(), message);
  out.insert(out.end(), body.begin(), body.end());

  if (out.size() > capacity) return length;
  std::memcpy(m, out.data(), out.size());
  return out.size();
}

// The transport's own receive function, kept per kind of transport: the rewriting receive
// function installed in its place is chosen by slot, so it knows whom to call without any
// state of the transport's own. A slot, once taken, never changes.
using ReceiveFunction = int (*)(netsnmp_transport*, void*, int, void**, int*);
constexpr int kSlots = 4;  // UDP, UDP over IPv6, and room to spare
std::atomic<ReceiveFunction> g_original[kSlots];

template <int kSlot>
int ReceiveRewritten(netsnmp_transport* transport, void* buffer, int size, void** opaque,
                     int* opaque_length) {
  const int received = g_original[kSlot].load()(transport, buffer, size, opaque, opaque_length);
  if (received <= 0 || size <= 0) return received;
  return static_cast<int>(RewriteBareFloats(static_cast<unsigned char*>(buffer),
                                            static_cast<std::size_t>(received),
                                            static_cast<std::size_t>(size)));
}

const ReceiveFunction kRewriting[kSlots] = {&ReceiveRewritten<0>, &ReceiveRewritten<1>,
                                            &ReceiveRewritten<2>, &ReceiveRewritten<3>};

}  // namespace

std::size_t RewriteBareFloats(unsigned char* message, std::size_t length,
                              std::size_t capacity) noexcept {
  try {
    return Rewrite(message, length, capacity);
  } catch (...) {  // no memory for the copy: the message stays as it came
    return length;
  }
}

bool ReadBareFloats(void* session) {
  netsnmp_transport* transport = snmp_sess_transport(session);
  if (transport == nullptr || transport->f_recv == nullptr) return false;
  for (int i = 0; i < kSlots; ++i) {
    if (transport->f_recv == kRewriting[i]) return true;
    ReceiveFunction expected = nullptr;
    if (g_original[i].compare_exchange_strong(expected, transport->f_recv) ||
        expected == transport->f_recv) {
      transport->f_recv = kRewriting[i];
      return true;
    }
  }
  return false;
}
