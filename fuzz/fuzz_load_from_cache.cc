// Cache restores with arbitrary images and lengths.
//
// Input layout:
//   byte 0         bits 0-1: frame mode of the device (none, "1", "2", "3");
//                  bits 2-3: number of restores, 1 to 4
//   5 bytes each   per restore: a kind byte and a little-endian 32-bit length
//   the rest       the image
// Kinds (kind % 5): 0 the image with its own size; 1 the image with the given length (any,
// negative included; a length of 5087 over a shorter image becomes the image's size, since no
// caller can hand over 5087 bytes it does not have); 2 the image cut or zero-padded to exactly
// 5087 bytes; 3 the image through the std::string overload; 4 a null pointer with the given
// length. Every image is a heap copy of exactly its size, so any read past it is caught.
//
// A restore must return 1 exactly when it is handed 5087 readable bytes. A refused restore
// changes nothing and calls no host service. An accepted one makes the record the image, up to
// the time stamp, which it sets from the round's end time, and runs one round through the
// reference host: publish, reset, alarm evaluation (in mode 2: the 429 catalogue signals,
// numbered from 1, each in alarm exactly when its slot differs from the normal value), rule
// batch, history, in this order, with the published and saved bytes equal to the record.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "alarms/alarm_catalogue.h"
#include "alarms/signal_id.h"
#include "fuzz/fuzz_support.h"
#include "host/HostObserver.h"
#include "host/get_ttime.h"

namespace {

constexpr int kRecordLength = static_cast<int>(kRecordSize);

// Checks the round's host calls as they happen and keeps their order.
class RoundObserver : public HostObserver {
 public:
  explicit RoundObserver(fuzz::FuzzDevice* device) : device_(device) {}

  void Clear() {
    order_.clear();
    published_.clear();
    saved_.clear();
    signals_ = 0;
  }
  const std::string& order() const { return order_; }
  const std::vector<unsigned char>& published() const { return published_; }
  const std::vector<unsigned char>& saved() const { return saved_; }
  int signals() const { return signals_; }

  void OnSendSP(const QRMVDevice&, int kind, std::vector<unsigned char> data, bool) override {
    FUZZ_CHECK(kind == 0);
    order_ += 'P';
    published_ = std::move(data);
  }
  void OnReset(const QRMVDevice&) override { order_ += 'R'; }
  void OnCheckThresholdBool(const QRMVDevice&, int kind, const std::string& id,
                            const std::string& id2, const std::string& category,
                            const std::string& name, bool alarm, unsigned short number) override {
    if (order_.empty() || order_.back() != 'A') order_ += 'A';
    ++signals_;
    const auto& catalogue = AlarmCatalogue();
    FUZZ_CHECK(number == signals_);
    FUZZ_CHECK(number >= 1 && number <= catalogue.size());
    const AlarmEntry& entry = catalogue[number - 1];
    const float v = Slot(device_->data(), entry.slot);
    FUZZ_CHECK(alarm == !(v == entry.normal));
    FUZZ_CHECK(kind == 2);
    FUZZ_CHECK(name == entry.name);
    FUZZ_CHECK(category == AlarmCategory());
    std::string expected_id;
    FormatSignalId(number, &expected_id);
    FUZZ_CHECK(id == expected_id && id2 == expected_id);
  }
  bool OnDoBatchCheckThreshold(const QRMVDevice&, const std::vector<rule_value>& batch,
                               bool proposed) override {
    order_ += 'B';
    FUZZ_CHECK(batch.size() <= static_cast<size_t>(signals_));
    return proposed;
  }
  void OnSaveDeviceHistory(const QRMVDevice&, std::vector<unsigned char> data) override {
    order_ += 'H';
    saved_ = std::move(data);
  }

 private:
  fuzz::FuzzDevice* device_;
  std::string order_;
  std::vector<unsigned char> published_;
  std::vector<unsigned char> saved_;
  int signals_ = 0;
};

struct Restore {
  unsigned kind = 0;
  int32_t length = 0;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::Quiet();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  size_t at = 0;
  const unsigned char config = data[at++];
  static const char* const kModes[] = {"", "1", "2", "3"};
  const int mode = (config & 3) == 2 ? 2 : ((config & 3) == 3 ? 3 : 1);
  const int count = 1 + ((config >> 2) & 3);
  std::vector<Restore> restores(count);
  for (Restore& r : restores) {
    unsigned char header[5] = {};
    for (unsigned char& b : header) b = at < size ? data[at++] : 0;
    r.kind = header[0] % 5;
    const uint32_t raw = static_cast<uint32_t>(header[1]) | static_cast<uint32_t>(header[2]) << 8 |
                         static_cast<uint32_t>(header[3]) << 16 |
                         static_cast<uint32_t>(header[4]) << 24;
    std::memcpy(&r.length, &raw, sizeof r.length);
  }
  const std::vector<unsigned char> image(data + at, data + size);

  auto device = std::make_unique<fuzz::FuzzDevice>();
  device->Configure(42, 1, kModes[config & 3]);
  FUZZ_CHECK(device->mode() == mode);
  auto observer = std::make_shared<RoundObserver>(device.get());
  AttachHostObserver(device.get(), observer);

  for (const Restore& r : restores) {
    // The bytes handed over, in a buffer of exactly their size.
    std::unique_ptr<unsigned char[]> buffer;
    size_t buffer_size = image.size();
    int length = 0;
    if (r.kind == 2) buffer_size = kRecordSize;
    if (r.kind != 4) {
      buffer.reset(new unsigned char[buffer_size == 0 ? 1 : buffer_size]);
      std::memset(buffer.get(), 0, buffer_size);
      if (!image.empty())
        std::memcpy(buffer.get(), image.data(), std::min(image.size(), buffer_size));
    }
    switch (r.kind) {
      case 0:
      case 3:
        length = static_cast<int>(image.size());
        break;
      case 1:
        length = r.length;
        if (length == kRecordLength && image.size() < kRecordSize)
          length = static_cast<int>(image.size());
        break;
      case 2:
        length = kRecordLength;
        break;
      default:
        length = r.length;
        break;
    }
    const bool accept = buffer != nullptr && length == kRecordLength;

    SNMP_MARLUXA_AC_POWER_Data_t before;
    std::memcpy(&before, &device->data(), sizeof before);
    const unsigned short signal_before = device->signal_no();
    observer->Clear();

    int result = 0;
    if (r.kind == 3) {
      result = device->LoadFromCache(
          std::string(reinterpret_cast<const char*>(buffer.get()), buffer_size));
    } else {
      result = device->LoadFromCache(buffer.get(), length);
    }

    if (!accept) {
      FUZZ_CHECK(result == 0);
      FUZZ_CHECK(std::memcmp(&before, &device->data(), kRecordSize) == 0);
      FUZZ_CHECK(observer->order().empty());
      FUZZ_CHECK(device->signal_no() == signal_before);
      continue;
    }
    FUZZ_CHECK(result == 1);
    const unsigned char* record = RecordBytes(device->data());
    FUZZ_CHECK(std::memcmp(record, buffer.get(), 5080) == 0);
    const TTime stamp = get_ttime(device->last_sample_time());
    FUZZ_CHECK(std::memcmp(record + 5080, stamp.data(), kStampSize) == 0);
    FUZZ_CHECK(observer->order() == (mode == 2 ? "PRABH" : "PRBH"));
    FUZZ_CHECK(observer->signals() == (mode == 2 ? 429 : 0));
    FUZZ_CHECK(device->signal_no() == (mode == 2 ? 430 : 1));
    FUZZ_CHECK(device->rule_count() == 0);
    FUZZ_CHECK(observer->published().size() == kRecordSize &&
               std::memcmp(observer->published().data(), record, kRecordSize) == 0);
    FUZZ_CHECK(observer->saved().size() == kRecordSize &&
               std::memcmp(observer->saved().data(), record, kRecordSize) == 0);
  }
  AttachHostObserver(device.get(), nullptr);
  return 0;
}
