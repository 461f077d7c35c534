// qrmhost with the real plug-in against the PDU simulator: two host-driven rounds in mode 2.
#include <signal.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "frame/record.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"

namespace {

size_t Count(const std::string& text, const std::string& needle) {
  size_t n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
    ++n;
  }
  return n;
}

TEST(QrmhostPdusim, TwoRoundsOfTheRealPlugin) {
  const std::string community = "Tormelix@2027q";
  ChildProcess sim({PDUSIM_PATH, "--port", "0", "--community", community});
  std::string line;
  ASSERT_TRUE(sim.WaitForLine("pdusim listening on 127.0.0.1:", 20, &line)) << sim.err();
  const std::string port = line.substr(line.rfind(':') + 1);
  ASSERT_FALSE(port.empty());

  TempDir dir;
  const std::string config =
      dir.Write("device.json", R"({"id": 1, "ip": "127.0.0.1:)" + port + R"(", "address": 1,
      "appSetting": {"use_thread": 0, "b_mode": 2, "community": ")" +
                                   community + R"(", "timeout_ms": 500, "retries": 1}})");
  std::string out, err;
  const int status = RunProcess({QRMHOST_PATH, "run", "--plugin", MARLUXA_PLUGIN_PATH, "--config",
                                 config, "--rounds", "2", "--interval", "0.2", "--history",
                                 dir / "h", "--events", dir / "events.jsonl", "--timeout", "30"},
                                60, &out, &err);
  EXPECT_EQ(status, 0) << err << out;
  std::error_code ec;
  EXPECT_EQ(std::filesystem::file_size(dir / "h/1.rec", ec), 2 * kRecordSize) << ec.message();
  const std::string events = ReadFileBytes(dir / "events.jsonl");
  EXPECT_EQ(Count(events, "\"event\":\"publish\""), 2u);
  EXPECT_EQ(Count(events, "\"event\":\"signal\""), 858u);
  EXPECT_EQ(Count(out, "[round 2] device 1 at "), 1u) << out;

  sim.Signal(SIGINT);
  EXPECT_EQ(sim.Finish(20), 0) << sim.err();
}

}  // namespace
