// Event lines: compact JSON, one per line, UTF-8 kept, read back field by field.
#include "tools/qrmhost/event_log.h"

#include <memory>
#include <sstream>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <json/reader.h>

namespace {

Json::Value ParseLine(const std::string& line) {
  Json::CharReaderBuilder b;
  std::unique_ptr<Json::CharReader> r(b.newCharReader());
  Json::Value v;
  std::string errors;
  EXPECT_TRUE(r->parse(line.data(), line.data() + line.size(), &v, &errors)) << errors;
  return v;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

TEST(EventLog, EachEventIsOneCompactLine) {
  std::ostringstream out;
  std::mutex mutex;
  EventLog log(out, mutex);
  rule_value raised;
  raised.id = "0101001";
  raised.name = "第一路U1上限";
  raised.state = 1;
  rule_value cleared = raised;
  cleared.state = 0;
  log.Write(PublishEvent(1, "2026-12-07T20:15:03+01:00", 5087));
  log.Write(SignalEvent(4294967295u, 2, "0101001", "0101001x", "专用空调其他告警", "第一路U1上限",
                        true, 65535));
  log.Write(BatchEvent(1, 2, true));
  log.Write(AlarmEvent(1, raised));
  log.Write(AlarmEvent(1, cleared));
  log.Write(HistoryEvent(1, "h/1.rec", 5087));
  log.Write(HistoryEvent(1, "", 5087));
  EXPECT_FALSE(log.failed());
  const std::vector<std::string> lines = Lines(out.str());
  ASSERT_EQ(lines.size(), 7u);
  for (const std::string& line : lines) {
    EXPECT_EQ(line.find(": "), std::string::npos) << "compact: " << line;
    EXPECT_EQ(line.find("\\u"), std::string::npos) << "UTF-8 kept: " << line;
  }
  EXPECT_NE(lines[1].find("\"name\":\"第一路U1上限\""), std::string::npos) << lines[1];

  Json::Value v = ParseLine(lines[0]);
  EXPECT_EQ(v["event"], "publish");
  EXPECT_EQ(v["device"].asUInt(), 1u);
  EXPECT_EQ(v["time"], "2026-12-07T20:15:03+01:00");
  EXPECT_EQ(v["bytes"].asInt(), 5087);
  v = ParseLine(lines[1]);
  EXPECT_EQ(v["event"], "signal");
  EXPECT_EQ(v["device"].asUInt(), 4294967295u);
  EXPECT_EQ(v["id"], "0101001");
  EXPECT_EQ(v["id2"], "0101001x");
  EXPECT_EQ(v["category"], "专用空调其他告警");
  EXPECT_EQ(v["name"], "第一路U1上限");
  EXPECT_EQ(v["alarm"], true);
  EXPECT_EQ(v["number"].asUInt(), 65535u);
  EXPECT_EQ(v["kind"].asInt(), 2);
  EXPECT_EQ(v.size(), 9u);
  v = ParseLine(lines[2]);
  EXPECT_EQ(v["event"], "batch");
  EXPECT_EQ(v["size"].asInt(), 2);
  EXPECT_EQ(v["result"], true);
  v = ParseLine(lines[3]);
  EXPECT_EQ(v["event"], "alarm");
  EXPECT_EQ(v["id"], "0101001");
  EXPECT_EQ(v["name"], "第一路U1上限");
  EXPECT_EQ(v["state"], "raised");
  EXPECT_EQ(ParseLine(lines[4])["state"], "cleared");
  v = ParseLine(lines[5]);
  EXPECT_EQ(v["event"], "history");
  EXPECT_EQ(v["file"], "h/1.rec");
  EXPECT_EQ(v["bytes"].asInt(), 5087);
  v = ParseLine(lines[6]);
  EXPECT_TRUE(v.isMember("file"));
  EXPECT_TRUE(v["file"].isNull());
}

TEST(EventLog, LinesFromManyThreadsNeverInterleave) {
  std::ostringstream out;
  std::mutex mutex;
  EventLog log(out, mutex);
  std::vector<std::thread> threads;
  for (uint32_t t = 0; t < 4; ++t) {
    threads.emplace_back([&log, t] {
      for (int i = 0; i < 200; ++i) log.Write(BatchEvent(t, static_cast<size_t>(i), i % 2 == 0));
    });
  }
  for (std::thread& t : threads) t.join();
  const std::vector<std::string> lines = Lines(out.str());
  ASSERT_EQ(lines.size(), 800u);
  for (const std::string& line : lines) EXPECT_EQ(ParseLine(line)["event"], "batch") << line;
}

}  // namespace
