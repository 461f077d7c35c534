// Arbitrary variable lists, built with net-snmp's own variable calls, as walk responses.
//
// The input configures the unit address (hence the walk root) and the OID the walk continues
// from, then describes up to four responses of up to 48 bindings each. A binding's OID is the
// root plus a leaf (often a real slot, sometimes a huge sub-identifier) and a short tail, the
// root itself, a prefix of it, the root with one sub-identifier changed, or a name longer than
// any decoded OID can be; its type is INTEGER, a float (0x48 as a decoder would hand it over,
// or the opaque float 0x78), an exception 0x80-0x82, Gauge32, OCTET STRING and others, with
// value lengths that need not fit the type. Some bindings are retyped after creation, which
// leaves net-snmp's value fields in the states a failed conversion leaves them.
//
// Each response goes to the device's response handling in sequence, as one walk would take
// them, and the outcome must match the account in fuzz_support.h; in particular the record's id
// and time stamp never change, and the continuation OID always fits its buffer.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "fuzz/fuzz_support.h"

namespace {

constexpr int kMaxResponses = 4;
constexpr int kMaxBindings = 48;
constexpr size_t kMaxValue = 48;
// The longest name built; longer than MAX_OID_LEN on purpose.
constexpr size_t kMaxName = 2 * MAX_OID_LEN + 44;

const u_char kTypes[] = {ASN_INTEGER,
                         0x48 /* ASN_FLOAT */,
                         0x78 /* ASN_OPAQUE_FLOAT */,
                         SNMP_NOSUCHOBJECT,
                         SNMP_NOSUCHINSTANCE,
                         SNMP_ENDOFMIBVIEW,
                         ASN_GAUGE,
                         ASN_OCTET_STR,
                         ASN_COUNTER,
                         ASN_TIMETICKS,
                         ASN_OPAQUE,
                         ASN_NULL,
                         ASN_OBJECT_ID,
                         ASN_IPADDRESS,
                         ASN_COUNTER64,
                         0x79 /* ASN_OPAQUE_DOUBLE */};

fuzz::FuzzDevice* TheDevice() {
  static fuzz::FuzzDevice* device = new fuzz::FuzzDevice;  // lives for the whole process
  return device;
}

u_char PickType(FuzzedDataProvider& in) {
  if (in.ConsumeIntegralInRange<int>(0, 15) == 0) return in.ConsumeIntegral<u_char>();
  return in.PickValueInArray(kTypes);
}

std::vector<oid> PickName(FuzzedDataProvider& in, const std::vector<oid>& root) {
  std::vector<oid> name;
  switch (in.ConsumeIntegralInRange<int>(0, 7)) {
    case 0:
    case 1:
    case 2: {  // root.leaf[.tail]
      name = root;
      name.push_back(in.ConsumeIntegralInRange<oid>(0, kSlotCount + 2));
      const int tail = in.ConsumeIntegralInRange<int>(0, 3);
      for (int i = 0; i < tail; ++i) name.push_back(in.ConsumeIntegralInRange<oid>(0, 3));
      break;
    }
    case 3:  // root.<any sub-identifier net-snmp can hold>
      name = root;
      name.push_back(in.ConsumeIntegral<oid>());
      break;
    case 4:  // the root itself
      name = root;
      break;
    case 5:  // a proper prefix of the root
      name.assign(root.begin(),
                  root.begin() + in.ConsumeIntegralInRange<size_t>(0, root.size() - 1));
      break;
    case 6: {  // the root with one sub-identifier changed, then a leaf
      name = root;
      name[in.ConsumeIntegralInRange<size_t>(0, root.size() - 1)] = in.ConsumeIntegral<oid>();
      name.push_back(in.ConsumeIntegralInRange<oid>(0, kSlotCount));
      break;
    }
    default: {  // root.leaf.0.0...: near or past the longest OID a decoder accepts
      name = root;
      name.push_back(in.ConsumeIntegralInRange<oid>(1, kSlotCount));
      const size_t length = in.ConsumeIntegralInRange<size_t>(MAX_OID_LEN - 8, kMaxName);
      name.resize(length, in.ConsumeIntegralInRange<oid>(0, 1));
      break;
    }
  }
  return name;
}

// Appends one binding described by the input; net-snmp may refuse it.
void AddBinding(FuzzedDataProvider& in, const std::vector<oid>& root,
                netsnmp_variable_list** list) {
  const std::vector<oid> name = PickName(in, root);
  const u_char type = PickType(in);
  // The value lives in a zero-padded buffer: net-snmp reads a whole float or long for some
  // types whatever length it is given.
  unsigned char value[kMaxValue + 16] = {};
  const size_t length = in.ConsumeIntegralInRange<size_t>(0, kMaxValue);
  const std::vector<unsigned char> bytes = in.ConsumeBytes<unsigned char>(length);
  if (!bytes.empty()) std::memcpy(value, bytes.data(), bytes.size());
  const bool null_value = in.ConsumeIntegralInRange<int>(0, 15) == 0;

  netsnmp_variable_list* added = nullptr;
  if (type == 0x48 && length > 0 && !null_value) {
    // net-snmp builds no 0x48 value itself: take the bytes as a string, then retag them.
    added = snmp_varlist_add_variable(list, name.data(), name.size(), ASN_OCTET_STR, value, length);
    if (added != nullptr) added->type = 0x48;
  } else {
    added = snmp_varlist_add_variable(list, name.data(), name.size(), type,
                                      null_value ? nullptr : value, length);
  }
  if (added != nullptr && in.ConsumeIntegralInRange<int>(0, 7) == 0) {
    // A second conversion that may fail half-way (a null or odd-sized value of the new type).
    const u_char retype = PickType(in);
    const size_t relength = in.ConsumeIntegralInRange<size_t>(0, kMaxValue);
    (void)snmp_set_var_typed_value(added, retype, value, relength);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::Quiet();
  TheDevice();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  fuzz::FuzzDevice& device = *TheDevice();
  const unsigned char address = in.ConsumeIntegral<unsigned char>();
  device.Configure(1000u + address, address);
  const std::vector<oid> root = fuzz::WalkRoot(address);
  FUZZ_CHECK(device.root_length() == root.size());
  FUZZ_CHECK(std::equal(root.begin(), root.end(), device.root()));

  fuzz::FillPattern(device.data(), static_cast<uint32_t>(size) * 2654435761u);
  SetRecordId(device.data(), device.DataId());
  if (in.ConsumeBool()) {
    device.StartWalk();
  } else {  // continuing from some leaf
    std::vector<oid> from = root;
    from.push_back(in.ConsumeIntegralInRange<oid>(0, kSlotCount + 1));
    from.push_back(0);
    device.SetNextOid(from.data(), from.size());
  }

  const int responses = in.ConsumeIntegralInRange<int>(1, kMaxResponses);
  for (int r = 0; r < responses && in.remaining_bytes() > 0; ++r) {
    netsnmp_pdu response{};
    response.command = SNMP_MSG_RESPONSE;
    response.version = SNMP_VERSION_2c;
    const unsigned char status = in.ConsumeIntegral<unsigned char>();
    response.errstat = status < 38 ? status % 19 : SNMP_ERR_NOERROR;
    const int bindings = in.ConsumeIntegralInRange<int>(0, kMaxBindings);
    for (int b = 0; b < bindings && in.remaining_bytes() > 0; ++b) {
      AddBinding(in, root, &response.variables);
    }
    fuzz::TakeChecked(device, response);
    snmp_free_varbind(response.variables);
  }
  return 0;
}
