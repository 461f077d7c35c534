// A real device walking a scripted agent on loopback: the whole receive path (the one-call UDP
// receive, the peer filter, the bare-float rewrite, the exchange and its reports, the response
// handling) meets answers the input writes.
//
// The first byte chooses the device: SNMPv2c or SNMPv3 without authentication, the default
// request or the fast walk, answers from the peer only or from any of its addresses. The rest is
// a script of chunks, played in order as requests arrive: each is a raw datagram of the input's
// bytes, or an answer built around the request's own ids (an SNMPv2c Response, an SNMPv3 Report
// or Response) with one binding whose name and value the input gives, sent from the agent's port
// or from another one; a chunk may close the answers to the current request. Once the script is
// spent, each request gets the answer that ends a walk (endOfMibView; engine discovery its
// report), so every walk ends without waiting for a time-out.
//
// The account: the walk ends, with exactly one round; the record's id stays; a value slot
// changes only when a binding the agent sent from its own port named its leaf, or (slot 1) when
// the walk took no answer at all.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "sim/scripted_agent.h"

namespace {

using pdusim::ScriptedAgent;

const std::string kEngine(
    "\x80\x00\x1f\x88\x04"
    "fuzz-agent",
    15);
// USM's report counters. Built at first use: the simulator's own constants are initialised with
// its library, in an order relative to this file's that nothing fixes.
const std::vector<std::vector<uint32_t>>& ReportCounters() {
  static const std::vector<std::vector<uint32_t>> counters = {
      pdusim::kUnknownEngineIds,          pdusim::kNotInTimeWindows,
      {1, 3, 6, 1, 6, 3, 15, 1, 1, 3, 0},  // usmStatsUnknownUserNames
      {1, 3, 6, 1, 6, 3, 15, 1, 1, 5, 0},  // usmStatsWrongDigests
      {1, 3, 6, 1, 6, 3, 15, 1, 1, 1, 0},  // usmStatsUnsupportedSecLevels
  };
  return counters;
}

struct Chunk {
  enum Kind { kRaw, kV2cResponse, kV3Report, kV3Response } kind = kRaw;
  std::string bytes;          // kRaw: the datagram; otherwise the binding's value (BER)
  std::vector<uint32_t> oid;  // the binding's name
  bool other_port = false;
  bool last = false;  // the last answer to this request
};

// The script in play: the agent's thread reads it while the walk runs.
struct Play {
  std::mutex mutex;
  std::vector<Chunk> chunks;
  size_t next = 0;
};
Play g_play;

class Bytes {
 public:
  Bytes(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool More() const { return at_ < size_; }
  uint8_t Next() { return at_ < size_ ? data_[at_++] : 0; }
  std::string Take(size_t n) {
    n = std::min(n, size_ - at_);
    std::string out(reinterpret_cast<const char*>(data_ + at_), n);
    at_ += n;
    return out;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

std::vector<pdusim::ScriptedAgent::Datagram> Answer(const std::string& request) {
  pdusim::RequestIds r;
  const bool ids =
      pdusim::ReadRequest(reinterpret_cast<const uint8_t*>(request.data()), request.size(), &r);
  std::vector<ScriptedAgent::Datagram> out;
  std::lock_guard<std::mutex> lock(g_play.mutex);
  while (g_play.next < g_play.chunks.size()) {
    const Chunk& c = g_play.chunks[g_play.next++];
    std::string bytes = c.bytes;
    if (c.kind != Chunk::kRaw && !ids) continue;
    if (c.kind == Chunk::kV2cResponse) bytes = pdusim::V2cResponse(r, c.oid, c.bytes);
    if (c.kind == Chunk::kV3Report) {
      bytes = pdusim::V3Report(r, kEngine, 1, 100, c.oid);
    } else if (c.kind == Chunk::kV3Response) {
      bytes = pdusim::V3Response(r, kEngine, 1, 100, c.oid, c.bytes);
    }
    out.push_back({bytes, c.other_port});
    if (c.last) return out;
  }
  if (!ids) return out;
  // The script is spent: the answer that ends the walk.
  const std::string end("\x82\x00", 2);
  if (r.version == 3) {
    out.push_back({r.engine.empty()
                       ? pdusim::V3Report(r, kEngine, 1, 100, pdusim::kUnknownEngineIds)
                       : pdusim::V3Response(r, kEngine, 1, 100, r.oid, end)});
  } else {
    out.push_back({pdusim::V2cResponse(r, r.oid, end)});
  }
  return out;
}

ScriptedAgent* TheAgent() {
  static ScriptedAgent* agent = new ScriptedAgent(&Answer);  // lives for the whole process
  return agent;
}

// A name under unit 1's root (leaf from the input), or, now and then, anywhere.
std::vector<uint32_t> ReadOid(Bytes* in) {
  const uint8_t how = in->Next();
  std::vector<uint32_t> oid = {1, 3, 6, 1, 4, 1, 61333, 1, 1, 4, 1};
  if (how % 8 == 7) oid.back() = in->Next();  // another unit, or none
  if (how % 8 != 6) oid.push_back(static_cast<uint32_t>(in->Next()) * 8 + (how >> 5));
  if ((how & 0x10) != 0) oid.push_back(0);
  return oid;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::Quiet();
  FUZZ_CHECK(TheAgent()->ok());
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Bytes in(data, size);
  const uint8_t flags = in.Next();
  const bool v3 = (flags & 1) != 0;
  std::vector<Chunk> chunks;
  std::set<uint32_t> named;  // leaves of unit 1 that a binding from the agent's port named
  while (in.More() && chunks.size() < 64) {
    const uint8_t h = in.Next();
    Chunk c;
    c.other_port = (h & 0x04) != 0;
    c.last = (h & 0x08) != 0;
    switch (h & 0x03) {
      case 0:
        c.kind = Chunk::kRaw;
        c.bytes = in.Take(in.Next() * 4u);
        break;
      case 1:
      case 3:
        c.kind = v3 ? Chunk::kV3Response : Chunk::kV2cResponse;
        c.oid = ReadOid(&in);
        c.bytes = in.Take(in.Next() % 16);  // tag, length and content as the input has them
        break;
      default:
        c.kind = v3 ? Chunk::kV3Report : Chunk::kV2cResponse;
        c.oid = v3 ? ReportCounters()[in.Next() % ReportCounters().size()] : ReadOid(&in);
        c.bytes = std::string("\x82\x00", 2);
        break;
    }
    if (!c.other_port && c.oid.size() > 11 && c.oid[10] == 1 && c.oid[6] == 61333) {
      named.insert(c.oid[11]);
    }
    chunks.push_back(std::move(c));
  }
  {
    std::lock_guard<std::mutex> lock(g_play.mutex);
    g_play.chunks = std::move(chunks);
    g_play.next = 0;
  }

  Json::Value config(Json::objectValue);
  config["ip"] = "127.0.0.1:" + std::to_string(TheAgent()->port());
  config["address"] = 1;
  Json::Value& app = config["appSetting"];
  app["timeout_ms"] = 50;  // a request the script leaves unanswered costs little
  app["retries"] = 0;
  if (v3) {
    app["snmp_version"] = 3;
    app["username"] = "u";
    app["security_level"] = "noAuthNoPriv";
  }
  if ((flags & 2) != 0) app["max_repetitions"] = 20;
  if ((flags & 4) != 0) app["answers_from_any_address"] = 1;

  fuzz::FuzzDevice device;
  device.Init(std::weak_ptr<QRMController>(), 7, Json::Value());
  device.InitSetting(config);
  fuzz::FillPattern(device.data(), static_cast<uint32_t>(size) * 2654435761u);
  SNMP_MARLUXA_AC_POWER_Data_t before;
  std::memcpy(&before, &device.data(), sizeof before);
  std::stringbuf lines;
  std::streambuf* out = std::cout.rdbuf(&lines);
  device.RefreshStatus();
  std::cout.rdbuf(out);

  const std::string text = lines.str();
  if (std::getenv("QRM_FUZZ_VERBOSE") != nullptr) std::fprintf(stderr, "%s", text.c_str());
  size_t rounds = 0;
  for (size_t at = text.find("rvSize is "); at != std::string::npos;
       at = text.find("rvSize is ", at + 1)) {
    ++rounds;
  }
  FUZZ_CHECK(rounds == 1);
  const unsigned char* now = RecordBytes(device.data());
  const unsigned char* was = RecordBytes(before);
  FUZZ_CHECK(std::memcmp(now, was, 4) == 0);
  for (int k = 1; k <= kSlotCount; ++k) {
    if (std::memcmp(now + 4 * k, was + 4 * k, 4) == 0) continue;
    FUZZ_CHECK(named.count(static_cast<uint32_t>(k)) != 0 ||
               (k == 1 && Slot(device.data(), 1) == 0));
  }
  return 0;
}
