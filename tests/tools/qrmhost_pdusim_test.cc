// qrmhost with the real plug-in against the PDU simulator: two host-driven rounds in mode 2,
// the closing summary of devices whose walks time out or fail, and an own-thread device whose
// sampling thread cannot start.
#include <signal.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "frame/record.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"
#include "tests/support/thread_start_fault.h"
#include "tools/qrmhost/args.h"
#include "tools/qrmhost/run_command.h"

namespace {

size_t Count(const std::string& text, const std::string& needle) {
  size_t n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
    ++n;
  }
  return n;
}

// Waits for the simulator's ready line and returns its port, or "" on failure.
std::string PortOf(ChildProcess* sim) {
  std::string line;
  if (!sim->WaitForLine("pdusim listening on 127.0.0.1:", 20, &line)) return "";
  return line.substr(line.rfind(':') + 1);
}

TEST(QrmhostPdusim, TwoRoundsOfTheRealPlugin) {
  const std::string community = "Tormelix@2027q";
  ChildProcess sim({PDUSIM_PATH, "--port", "0", "--community", community});
  const std::string port = PortOf(&sim);
  ASSERT_FALSE(port.empty()) << sim.err();

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
  EXPECT_NE(out.find("\n[end] device 1: rounds published 2, walks timed out 0, walks failed 0, "
                     "alarms active now 3\n"),
            std::string::npos)
      << out;

  sim.Signal(SIGINT);
  EXPECT_EQ(sim.Finish(20), 0) << sim.err();
}

// Device 1's agent answers its first request with genErr, device 2's never answers; both walk
// at the same time on their host threads, and device 3 has no agent address at all.
TEST(QrmhostPdusim, ClosingSummaryCountsWalksThatTimedOutOrFailed) {
  ChildProcess failing({PDUSIM_PATH, "--port", "0", "--error-status", "5", "--error-count", "1"});
  ChildProcess silent({PDUSIM_PATH, "--port", "0", "--silent"});
  const std::string failing_port = PortOf(&failing), silent_port = PortOf(&silent);
  ASSERT_FALSE(failing_port.empty()) << failing.err();
  ASSERT_FALSE(silent_port.empty()) << silent.err();
  TempDir dir;
  const std::string settings = R"("appSetting": {"timeout_ms": 200, "retries": 0})";
  const std::string config = dir.Write(
      "devices.json", R"({"devices": [{"id": 1, "address": 1, "ip": "127.0.0.1:)" + failing_port +
                          "\", " + settings + R"(}, {"id": 2, "address": 1, "ip": "127.0.0.1:)" +
                          silent_port + "\", " + settings + R"(}, {"id": 3}]})");
  std::string out, err;
  const int status = RunProcess({QRMHOST_PATH, "run", "--plugin", MARLUXA_PLUGIN_PATH, "--config",
                                 config, "--rounds", "2", "--interval", "0", "--timeout", "30"},
                                60, &out, &err);
  EXPECT_EQ(status, 1) << "device 3 published nothing: " << err;
  EXPECT_EQ(Count(err, "Timeout: No Response from 127.0.0.1:" + silent_port), 2u) << err;
  EXPECT_NE(out.find("[end] device 1: rounds published 2, walks timed out 0, walks failed 1, "
                     "alarms active now 3\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("[end] device 2: rounds published 2, walks timed out 2, walks failed 0, "
                     "alarms active now 1\n"),  // slot 1, the communication state, is still 0
            std::string::npos)
      << out;
  EXPECT_NE(out.find("[end] device 3: rounds published 0, walks timed out 0, walks failed 2, "
                     "no record\n"),
            std::string::npos)
      << out;
  for (ChildProcess* sim : {&failing, &silent}) {
    sim->Signal(SIGINT);
    EXPECT_EQ(sim->Finish(20), 0) << sim->err();
  }
}

// An own-thread device whose sampling thread cannot start walks on the host's refreshes, so
// qrmhost refreshes every device: this one publishes its rounds and the run ends 0. qrmhost's
// run command runs in this process, so that the failing thread start reaches the plug-in it
// loads (every thread asking for the sampling stack size fails to start here).
TEST(QrmhostPdusim, OwnThreadDeviceWhoseThreadDidNotStartIsDrivenByRefreshes) {
  ChildProcess sim({PDUSIM_PATH, "--port", "0"});
  const std::string port = PortOf(&sim);
  ASSERT_FALSE(port.empty()) << sim.err();
  TempDir dir;
  RunOptions options;
  options.plugin = MARLUXA_PLUGIN_PATH;
  options.config = dir.Write("device.json", R"({"id": 1, "ip": "127.0.0.1:)" + port +
                                                R"(", "address": 1, "appSetting": {"use_thread": 1,
      "timeout_ms": 500, "retries": 0}})");
  options.rounds = 2;
  options.interval = 0.2;
  options.timeout = 15;
  FailSamplingThreadStarts(true);
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  const int status = RunCommand(options);
  const std::string err = testing::internal::GetCapturedStderr();
  const std::string out = testing::internal::GetCapturedStdout();
  FailSamplingThreadStarts(false);
  EXPECT_EQ(FailedSamplingThreadStarts(), 1);
  EXPECT_NE(out.find("SNMP_MARLUXA_AC_POWER: sampling thread not started, walking on "
                     "RefreshStatus instead (peer 127.0.0.1:" +
                     port + "): "),
            std::string::npos)
      << out;
  EXPECT_EQ(status, 0) << err << out;
  EXPECT_NE(out.find("\n[end] device 1: rounds published 2, walks timed out 0, walks failed 0, "),
            std::string::npos)
      << out;
  sim.Signal(SIGINT);
  EXPECT_EQ(sim.Finish(20), 0) << sim.err();
}

}  // namespace
