// Devices sampling on their own threads while host threads use them at the same time, and an
// agent that stops answering in the middle of a walk.
//
// What must hold: every record the device publishes is whole (one cache image or one walk's
// result, never a mix of both), a walk cut short by a silent agent ends its round at the time-out
// and keeps what it had stored, many devices against one agent each hold only their own unit's
// values, and many devices timing out at once write whole lines. Run under ThreadSanitizer as
// well (./run tsan).
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <gtest/gtest.h>
#include <json/reader.h>

#include "sim/agent.h"
#include "sim/dataset.h"
#include "tests/support/device_probe.h"
#include "tests/support/recording_observer.h"
#include "tests/support/test_util.h"

namespace {

using Clock = std::chrono::steady_clock;
using pdusim::Dataset;
using pdusim::Faults;
using pdusim::Value;

uint32_t IdOf(const std::vector<unsigned char>& image) {
  uint32_t id;
  std::memcpy(&id, image.data(), sizeof id);
  return id;
}

// True when the image's time stamp is a valid local time within two minutes of now: the round
// that published it stamped it, whatever stamp the image arrived with.
bool FreshStamp(const std::vector<unsigned char>& image) {
  const unsigned char* s = image.data() + kRecordSize - kStampSize;
  try {
    const boost::posix_time::ptime t(
        boost::gregorian::date(static_cast<unsigned short>(s[0] | (s[1] << 8)), s[2], s[3]),
        boost::posix_time::time_duration(s[4], s[5], s[6]));
    const auto diff = t - boost::posix_time::second_clock::local_time();
    return diff.is_negative() ? -diff.total_seconds() <= 120 : diff.total_seconds() <= 120;
  } catch (const std::exception&) {
    return false;
  }
}

// The slot bits a complete walk of unit `address` leaves in a zeroed record: an INTEGER's
// nearest float, a float's own bits, 0 for anything else. Index k is slot k (index 0 unused).
std::vector<uint32_t> WalkBits(const Dataset& data, unsigned address) {
  std::vector<uint32_t> bits(kSlotCount + 1, 0);
  for (int k = 1; k <= kSlotCount; ++k) {
    const Value* v = data.Find(Dataset::UnitOid(address, static_cast<unsigned>(k)));
    if (v == nullptr) continue;
    if (v->type == Value::Type::kInteger) {
      bits[k] = Bits(static_cast<float>(static_cast<int32_t>(v->number)));
    } else if (v->IsFloat()) {
      bits[k] = v->FloatBitsValue();
    }
  }
  return bits;
}

// The default unit with every leaf numeric (leaf 17 becomes an INTEGER), so a complete walk
// writes every slot and nothing of an earlier image can survive it.
Dataset AllNumericUnit(const std::vector<unsigned>& addresses) {
  Dataset d = Dataset::DefaultUnit(addresses);
  for (unsigned a : addresses) d.Set(Dataset::UnitOid(a, 17), Value::Integer(17000));
  return d;
}

// A cache image for device `id`: slot bits from `bits`, except slot 1 set to `marker`, and a
// stamp that no round would write.
SNMP_MARLUXA_AC_POWER_Data_t CacheImage(uint32_t id, const std::vector<uint32_t>& bits,
                                        float marker) {
  SNMP_MARLUXA_AC_POWER_Data_t image{};
  SetRecordId(image, id);
  for (int k = 1; k <= kSlotCount; ++k) {
    std::memcpy(RecordBytes(image) + SlotOffset(k), &bits[static_cast<size_t>(k)], 4);
  }
  SetSlot(image, 1, marker);
  std::memset(RecordBytes(image) + kRecordSize - kStampSize, 0xEE, kStampSize);
  return image;
}

std::unique_ptr<DeviceProbe> OwnThreadDevice(uint16_t port, unsigned address, unsigned id,
                                             std::shared_ptr<HostObserver> observer) {
  auto d = std::make_unique<DeviceProbe>();
  d->Init(std::weak_ptr<QRMController>(), id, Json::Value());
  AttachHostObserver(d.get(), std::move(observer));
  d->InitSetting(Parse(DeviceConfig(port, address, R"("use_thread":"1")")));
  return d;
}

// Standard output is captured to keep the banners of hundreds of rounds out of the report;
// everything else written there (the test's own failure messages among it) is passed on.
struct Concurrency : testing::Test {
  void SetUp() override { testing::internal::CaptureStdout(); }
  void TearDown() override {
    std::istringstream captured(testing::internal::GetCapturedStdout());
    std::string line;
    for (int shown = 0; std::getline(captured, line) && shown < 200;) {
      if (line == "SNMP_MARLUXA_AC_POWER::do_sample" || line.rfind("rvSize is ", 0) == 0) continue;
      std::cout << line << "\n";
      ++shown;
    }
    std::cout << std::flush;
  }
};

// A host thread restores cache images over and over while the device's own thread walks a
// slow agent. Rounds never interleave, so each published image is either one cache image
// (every slot holds that image's marker) or one walk's result (every slot from the agent).
TEST_F(Concurrency, CacheRestoresDuringOwnThreadWalksPublishOnlyWholeImages) {
  constexpr unsigned kAddress = 7;
  constexpr unsigned kId = 77;
  constexpr int kLoads = 200;
  const Dataset data = AllNumericUnit({kAddress});
  const std::vector<uint32_t> walk = WalkBits(data, kAddress);
  pdusim::Agent agent(data);
  std::string error;
  ASSERT_TRUE(agent.Start(0, &error)) << error;
  Faults slow;
  slow.delay_ms = 1;  // a walk takes 1270 exchanges of at least 1 ms
  agent.SetFaults(slow);

  auto obs = std::make_shared<RecordingObserver>();
  std::atomic<bool> walked{false};  // a walk's round has been published
  obs->on_event = [&](const HostEvent& e) {
    if (e.call == "SendSP" && ImageSlot(e.bytes, 1) == 1.0f) walked = true;
  };
  auto device = std::make_unique<DeviceProbe>();
  device->Init(std::weak_ptr<QRMController>(), kId, Json::Value());
  AttachHostObserver(device.get(), obs);
  std::atomic<int> restored{0}, attempts{0};
  // At least kLoads restores, and on until one has followed a walk's round (bounded).
  std::thread host([&] {
    const auto end = Clock::now() + std::chrono::seconds(300);
    bool after_walk = false;
    for (int i = 0; i < 100000 && (i < kLoads || !after_walk) && Clock::now() < end; ++i) {
      after_walk = walked;
      SNMP_MARLUXA_AC_POWER_Data_t image{};
      SetRecordId(image, kId);
      for (int k = 1; k <= kSlotCount; ++k) SetSlot(image, k, -static_cast<float>(i + 1));
      std::memset(RecordBytes(image) + kRecordSize - kStampSize, 0xEE, kStampSize);
      ++attempts;
      restored += device->LoadFromCache(RecordBytes(image), static_cast<int>(kRecordSize));
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  // The sampling thread starts while restores are under way, so its first walk begins on a
  // record that holds a cache image, and later restores arrive while it walks.
  EXPECT_TRUE(WaitFor([&] { return restored >= 20; }));
  device->InitSetting(Parse(DeviceConfig(agent.port(), kAddress, R"("use_thread":"1")")));
  host.join();
  ASSERT_TRUE(WaitFor([&] { return walked.load(); }));
  device.reset();  // stops the sampling thread; a walk in flight ends with its round

  const auto sent = obs->EventsOf("SendSP");
  const auto saved = obs->EventsOf("SaveHistory");
  ASSERT_EQ(sent.size(), saved.size());
  int caches = 0, walks = 0, next_marker = 1, caches_before_walk = 0;
  for (size_t n = 0; n < sent.size(); ++n) {
    const std::vector<unsigned char>& image = sent[n].bytes;
    ASSERT_EQ(image.size(), kRecordSize);
    EXPECT_TRUE(saved[n].bytes == image)
        << "round " << n << " saved another image than it published";
    EXPECT_EQ(IdOf(image), kId) << "round " << n;
    EXPECT_TRUE(FreshStamp(image)) << "round " << n << " was not stamped by its round";
    const float first = ImageSlot(image, 1);
    if (first < 0.0f) {
      // A cache image: the restores publish in order, each exactly once, every slot its marker.
      ++caches;
      if (walks == 0) ++caches_before_walk;
      EXPECT_EQ(first, -static_cast<float>(next_marker)) << "round " << n;
      next_marker = static_cast<int>(-first) + 1;
      for (int k = 1; k <= kSlotCount; ++k) {
        ASSERT_EQ(ImageSlot(image, k), first)
            << "round " << n << " mixes a cache image, slot " << k;
      }
    } else {
      ++walks;
      for (int k = 1; k <= kSlotCount; ++k) {
        ASSERT_EQ(Bits(ImageSlot(image, k)), walk[static_cast<size_t>(k)])
            << "round " << n << " mixes a walk result, slot " << k << " = " << ImageSlot(image, k);
      }
    }
  }
  EXPECT_EQ(caches, restored.load());
  EXPECT_GE(restored.load(), kLoads);
  EXPECT_EQ(restored.load(), attempts.load()) << "every restore of a whole image is accepted";
  EXPECT_GE(walks, 1);
  EXPECT_GE(caches_before_walk, 20) << "restores before the first walk";
  EXPECT_GT(caches - caches_before_walk, 0) << "restores after the first walk";
}

// The agent goes silent part-way through the own thread's walk and comes back. The cut walk
// ends its round at the time-out with the slots it had stored and the rest untouched; the next
// walk, after the pause, fills the record.
TEST_F(Concurrency, AgentSilentMidWalkThenBackTheNextWalkFillsTheRecord) {
  constexpr unsigned kAddress = 4;
  constexpr unsigned kId = 78;
  constexpr unsigned kAnswered = 600;  // requests 1..600 read leaves 1..600
  const Dataset data = AllNumericUnit({kAddress});
  const std::vector<uint32_t> walk = WalkBits(data, kAddress);
  pdusim::Agent agent(data);
  std::string error;
  ASSERT_TRUE(agent.Start(0, &error)) << error;
  Faults stop;
  stop.silent_after = kAnswered;
  agent.SetFaults(stop);

  auto obs = std::make_shared<RecordingObserver>();
  auto device = std::make_unique<DeviceProbe>();
  device->Init(std::weak_ptr<QRMController>(), kId, Json::Value());
  AttachHostObserver(device.get(), obs);
  // What the record held before: every slot -3.
  SNMP_MARLUXA_AC_POWER_Data_t before{};
  SetRecordId(before, kId);
  for (int k = 1; k <= kSlotCount; ++k) SetSlot(before, k, -3.0f);
  ASSERT_EQ(device->LoadFromCache(RecordBytes(before), static_cast<int>(kRecordSize)), 1);

  testing::internal::CaptureStderr();
  const auto start = Clock::now();
  device->InitSetting(Parse(
      DeviceConfig(agent.port(), kAddress, std::string(R"("use_thread":"1",)") + kQuickTimeout)));
  const bool cut = WaitFor([&] { return obs->Count("SendSP") >= 2; });
  const std::string err = testing::internal::GetCapturedStderr();
  ASSERT_TRUE(cut) << "the cut walk did not end its round";
  EXPECT_EQ(agent.requests(), kAnswered + 1) << "one unanswered request, no retry";
  agent.SetFaults(Faults{});  // back, while the sampling thread pauses
  EXPECT_EQ(err, "Timeout: No Response from 127.0.0.1:" + std::to_string(agent.port()) + "\n");
  EXPECT_GE(std::chrono::duration<double>(Clock::now() - start).count(), 0.95)
      << "the round ended at the 1 s time-out, not before";

  const auto cut_image = obs->EventsOf("SendSP")[1].bytes;
  EXPECT_TRUE(FreshStamp(cut_image));
  EXPECT_EQ(IdOf(cut_image), kId);
  for (int k = 1; k <= kSlotCount; ++k) {
    if (k <= static_cast<int>(kAnswered)) {
      ASSERT_EQ(Bits(ImageSlot(cut_image, k)), walk[static_cast<size_t>(k)]) << "stored slot " << k;
    } else {
      ASSERT_EQ(ImageSlot(cut_image, k), -3.0f) << "slot " << k << " was not reached";
    }
  }

  ASSERT_TRUE(WaitFor([&] { return obs->Count("SendSP") >= 3; })) << "no walk after the pause";
  const auto full_image = obs->EventsOf("SendSP")[2].bytes;
  device.reset();
  EXPECT_EQ(IdOf(full_image), kId);
  for (int k = 1; k <= kSlotCount; ++k) {
    ASSERT_EQ(Bits(ImageSlot(full_image, k)), walk[static_cast<size_t>(k)]) << "slot " << k;
  }
  EXPECT_EQ(agent.requests(), kAnswered + 1 + 1270) << "the second walk read the whole unit";
}

// Checks every image a device publishes against its own unit, as it is published.
class UnitChecker : public HostObserver {
 public:
  UnitChecker(const Dataset& data, const std::map<uint32_t, unsigned>& address_of)
      : address_of_(address_of) {
    for (const auto& entry : address_of_) bits_[entry.second] = WalkBits(data, entry.second);
  }

  void OnSendSP(const QRMVDevice& device, int, std::vector<unsigned char> image, bool) override {
    const uint32_t id = device.DataId();
    std::string problem = Check(id, image);
    std::lock_guard<std::mutex> lock(mu_);
    Tally& t = tally_[id];
    if (!problem.empty()) {
      ++t.bad;
      if (first_problem_.empty()) first_problem_ = problem;
    } else if (ImageSlot(image, 1) == 1.0f) {
      ++t.walks;
    } else if (ImageSlot(image, 1) == 0.0f) {
      ++t.dark;
    } else {
      ++t.caches;
    }
  }

  struct Tally {
    int walks = 0;
    int caches = 0;
    int dark = 0;  // walks that got no answer: communication lost, the unit's values kept
    int bad = 0;
  };
  std::map<uint32_t, Tally> Tallies() const {
    std::lock_guard<std::mutex> lock(mu_);
    return tally_;
  }
  std::string FirstProblem() const {
    std::lock_guard<std::mutex> lock(mu_);
    return first_problem_;
  }

 private:
  // "" when the image holds device `id`'s own unit: its id, slot 2 == address,
  // slot 3 == 220 + address % 11, every other slot as the unit serves it, and slot 1 either
  // the walk's 1, a cache image's negative marker or, after a walk without an answer, 0.
  std::string Check(uint32_t id, const std::vector<unsigned char>& image) const {
    const std::string who = "device " + std::to_string(id) + ": ";
    auto it = address_of_.find(id);
    if (it == address_of_.end()) return who + "unknown device";
    const unsigned a = it->second;
    if (image.size() != kRecordSize) return who + "image of " + std::to_string(image.size());
    if (IdOf(image) != id) return who + "record id " + std::to_string(IdOf(image));
    if (ImageSlot(image, 2) != static_cast<float>(a)) {
      return who + "slot 2 = " + std::to_string(ImageSlot(image, 2));
    }
    if (ImageSlot(image, 3) != 220.0f + static_cast<float>(a % 11)) {
      return who + "slot 3 = " + std::to_string(ImageSlot(image, 3));
    }
    const float first = ImageSlot(image, 1);
    if (!(first == 1.0f || first == 0.0f || first < 0.0f)) {
      return who + "slot 1 = " + std::to_string(first);
    }
    const std::vector<uint32_t>& bits = bits_.at(a);
    for (int k = 2; k <= kSlotCount; ++k) {
      if (Bits(ImageSlot(image, k)) != bits[static_cast<size_t>(k)]) {
        return who + "slot " + std::to_string(k) + " = " + std::to_string(ImageSlot(image, k));
      }
    }
    if (!FreshStamp(image)) return who + "stale stamp";
    return "";
  }

  const std::map<uint32_t, unsigned> address_of_;
  std::map<unsigned, std::vector<uint32_t>> bits_;
  mutable std::mutex mu_;
  std::map<uint32_t, Tally> tally_;
  std::string first_problem_;
};

// 64 devices sample 64 units of one agent on their own threads while four host threads call
// the host's accessors on all of them, two of those threads also restoring cache images of each
// device's own unit and one refreshing every device, and a fifth host thread moves eight of the
// devices to the host-driven schedule and back again and again. Every published image holds
// only the device's own unit (and ThreadSanitizer sees no race between a refresh and a
// reconfiguration).
TEST_F(Concurrency, SixtyFourOwnThreadDevicesAndHostThreadsKeepEachUnitApart) {
  constexpr unsigned kDevices = 64;
  constexpr unsigned kIdBase = 1000;
  std::vector<unsigned> addresses;
  std::map<uint32_t, unsigned> address_of;
  for (unsigned a = 1; a <= kDevices; ++a) {
    addresses.push_back(a);
    address_of[kIdBase + a] = a;
  }
  const Dataset data = Dataset::DefaultUnit(addresses);
  pdusim::Agent agent(data);
  std::string error;
  ASSERT_TRUE(agent.Start(0, &error)) << error;
  auto checker = std::make_shared<UnitChecker>(data, address_of);

  std::vector<std::unique_ptr<DeviceProbe>> devices;
  for (unsigned a = 1; a <= kDevices; ++a) {
    devices.push_back(OwnThreadDevice(agent.port(), a, kIdBase + a, checker));
  }
  std::vector<SNMP_MARLUXA_AC_POWER_Data_t> images;  // per device, slot 1 rewritten per restore
  for (unsigned a = 1; a <= kDevices; ++a) {
    images.push_back(CacheImage(kIdBase + a, WalkBits(data, a), -1.0f));
  }

  // Bounds a wait that holds under qemu-arm on a busy machine; the test ends as soon as every
  // device has published what it needs.
  constexpr auto kBound = std::chrono::seconds(300);
  const auto deadline = Clock::now() + kBound;
  std::atomic<bool> stop{false};
  std::atomic<int> accessor_faults{0};
  std::atomic<long> restores{0};
  auto host = [&](int which, bool restore) {
    std::vector<SNMP_MARLUXA_AC_POWER_Data_t> own = images;  // this thread's copies
    for (long pass = 0; pass < 100000 && !stop && Clock::now() < deadline; ++pass) {
      for (unsigned i = 0; i < kDevices && !stop; ++i) {
        const unsigned n = (i + static_cast<unsigned>(which) * 16) % kDevices;
        SNMP_MARLUXA_AC_POWER& d = *devices[n];
        bool ok = d.DataId() == kIdBase + n + 1 && d.DeviceType() == "snmp_marluxa_ac_power" &&
                  !d.UseControllerDb() && d.GetChildVDevice(0) == nullptr;
        try {
          d.Get_Value(1, "slot");
          ok = false;
        } catch (const std::out_of_range&) {
        }
        if (!ok) ++accessor_faults;
        if (which == 1) d.RefreshStatus();  // at once, unless the device is host-driven now
        if (restore) {
          SetSlot(own[n], 1, -static_cast<float>(pass + 1));
          // Waits while that device walks: rounds never interleave.
          if (d.LoadFromCache(RecordBytes(own[n]), static_cast<int>(kRecordSize)) != 1) {
            ++accessor_faults;
          }
          ++restores;
        }
      }
      // A pause between passes leaves the walks their share of a busy machine.
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  };
  std::atomic<int> reconfigurations{0};
  auto reconfigure = [&] {
    for (int pass = 0; pass < 40 && !stop && Clock::now() < deadline; ++pass) {
      for (unsigned n = 0; n < 8 && !stop; ++n) {
        for (const char* use : {"0", "1"}) {
          devices[n]->InitSetting(Parse(
              DeviceConfig(agent.port(), n + 1, std::string(R"("use_thread":")") + use + "\"")));
          ++reconfigurations;
        }
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  };
  std::vector<std::thread> hosts;
  for (int t = 0; t < 4; ++t) hosts.emplace_back(host, t, t >= 2);
  hosts.emplace_back(reconfigure);

  // Until every device has published at least two rounds, one of them a walk (bounded).
  const bool done = WaitFor(
      [&] {
        const auto tallies = checker->Tallies();
        if (tallies.size() < kDevices) return false;
        for (const auto& entry : tallies) {
          const UnitChecker::Tally& t = entry.second;
          if (t.walks < 1 || t.walks + t.caches < 2) return false;
        }
        return true;
      },
      kBound);
  stop = true;
  for (std::thread& t : hosts) t.join();
  devices.clear();  // each sampling thread stops; a walk cut short publishes nothing

  EXPECT_TRUE(done) << "not every device published a walk and two rounds within 300 s";
  EXPECT_EQ(checker->FirstProblem(), "");
  EXPECT_EQ(accessor_faults.load(), 0);
  EXPECT_GT(restores.load(), 0);
  EXPECT_GT(reconfigurations.load(), 0);
  const auto tallies = checker->Tallies();
  EXPECT_EQ(tallies.size(), kDevices);
  for (const auto& entry : tallies) EXPECT_EQ(entry.second.bad, 0) << "device " << entry.first;
}

// 64 host-driven devices whose unit is dark, refreshed by 64 host threads released together:
// their time-outs fall within a millisecond or two of each other, and each of the 64 lines on
// standard error is whole. Three rounds, so that every device also reports the loss each time.
TEST_F(Concurrency, SixtyFourDevicesTimingOutAtOnceWriteWholeLines) {
  constexpr unsigned kDevices = 64;
  constexpr int kRounds = 3;
  pdusim::Agent agent(Dataset::DefaultUnit({1}));
  std::string error;
  ASSERT_TRUE(agent.Start(0, &error)) << error;
  Faults dark;
  dark.silent = true;
  agent.SetFaults(dark);
  auto obs = std::make_shared<RecordingObserver>();
  std::vector<std::unique_ptr<DeviceProbe>> devices;
  for (unsigned i = 0; i < kDevices; ++i) {
    devices.push_back(std::make_unique<DeviceProbe>());
    devices.back()->Init(std::weak_ptr<QRMController>(), 2000 + i, Json::Value());
    AttachHostObserver(devices.back().get(), obs);
    devices.back()->InitSetting(
        Parse(R"({"ip":"127.0.0.1:)" + std::to_string(agent.port()) +
              R"(","address":1,"appSetting":{"timeout_ms":200,"retries":0}})"));
  }
  testing::internal::CaptureStderr();
  for (int round = 0; round < kRounds; ++round) {
    std::mutex mu;
    std::condition_variable go;
    bool released = false;
    std::vector<std::thread> hosts;
    for (unsigned i = 0; i < kDevices; ++i) {
      hosts.emplace_back([&, i] {
        {
          std::unique_lock<std::mutex> lock(mu);
          go.wait(lock, [&] { return released; });
        }
        devices[i]->RefreshStatus();
      });
    }
    {
      std::lock_guard<std::mutex> lock(mu);
      released = true;
    }
    go.notify_all();
    for (std::thread& t : hosts) t.join();
  }
  const std::string err = testing::internal::GetCapturedStderr();
  const std::string line = "Timeout: No Response from 127.0.0.1:" + std::to_string(agent.port());
  std::istringstream lines(err);
  int timeouts = 0;
  for (std::string l; std::getline(lines, l); ++timeouts) ASSERT_EQ(l, line);
  EXPECT_EQ(timeouts, static_cast<int>(kDevices) * kRounds);
  const auto sent = obs->EventsOf("SendSP");
  ASSERT_EQ(sent.size(), kDevices * kRounds);
  for (const HostEvent& e : sent) ASSERT_EQ(ImageSlot(e.bytes, 1), 0.0f) << "device " << e.device;
}

}  // namespace
