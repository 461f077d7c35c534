// qrmhost with the real plug-in against the PDU simulator: two host-driven rounds in mode 2,
// the closing summary of devices whose walks time out or fail, the exit status and event
// stream of runs whose unit answers or not, and an own-thread device whose sampling thread
// cannot start.
#include <signal.h>

#include <filesystem>
#include <map>
#include <memory>
#include <regex>
#include <sstream>

#include <gtest/gtest.h>
#include <json/reader.h>

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
                     "walks found nothing 0, alarms active now 3\n"),
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
  EXPECT_EQ(status, 1) << "device 3 published nothing, which outweighs the others' 3: " << err;
  EXPECT_EQ(Count(err, "Timeout: No Response from 127.0.0.1:" + silent_port), 2u) << err;
  EXPECT_NE(out.find("[end] device 1: rounds published 2, walks timed out 0, walks failed 1, "
                     "walks found nothing 0, alarms active now 3\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("[end] device 2: rounds published 2, walks timed out 2, walks failed 0, "
                     "walks found nothing 0, alarms active now 1\n"),  // slot 1, the communication
                                                                       // state, is still 0
            std::string::npos)
      << out;
  EXPECT_NE(out.find("[end] device 3: rounds published 0, walks timed out 0, walks failed 2, "
                     "walks found nothing 0, no record\n"),
            std::string::npos)
      << out;
  for (ChildProcess* sim : {&failing, &silent}) {
    sim->Signal(SIGINT);
    EXPECT_EQ(sim->Finish(20), 0) << sim->err();
  }
}

// One round of one device per case, with the event log on standard output. The exit status
// says whether the unit answered with values: 0 for the simulator's unit, 3 for a peer that
// never answers and for walks that the plug-in says stored nothing or stopped (told by the
// stand-in plug-in, which prints those lines as the real one does); the closing line says
// which. Standard output carries the events alone, one JSON object per line; the plug-in's
// lines and the summaries go to standard error.
TEST(QrmhostPdusim, ExitStatusSaysWhetherTheUnitAnsweredAndEventsAloneOnStandardOutput) {
  ChildProcess answering({PDUSIM_PATH, "--port", "0"});
  ChildProcess silent({PDUSIM_PATH, "--port", "0", "--silent"});
  ChildProcess looping({PDUSIM_PATH, "--port", "0", "--repeat-oid"});
  const std::string answering_port = PortOf(&answering), silent_port = PortOf(&silent),
                    looping_port = PortOf(&looping);
  ASSERT_FALSE(answering_port.empty()) << answering.err();
  ASSERT_FALSE(silent_port.empty()) << silent.err();
  ASSERT_FALSE(looping_port.empty()) << looping.err();
  const std::string root = "1.3.6.1.4.1.61333.1.1.4.2";
  // The plug-in's device for unit `address` of the pdusim on `port`.
  auto device = [](const std::string& port, int address, const std::string& app) {
    return R"({"id": 1, "ip": "127.0.0.1:)" + port + R"(", "address": )" + std::to_string(address) +
           R"(, "appSetting": {)" + app + "}}";
  };
  const struct {
    const char* name;
    std::string device;
    int status;
    std::string closing, note, plugin_line;
  } cases[] = {
      {"answering unit", device(answering_port, 1, R"("b_mode": 2, "timeout_ms": 2000)"), 0,
       "walks timed out 0, walks failed 0, walks found nothing 0, alarms active now 3", "",
       "SNMP_MARLUXA_AC_POWER::do_sample\n"},
      {"silent peer", device(silent_port, 1, R"("timeout_ms": 200, "retries": 0)"), 3,
       "walks timed out 1, walks failed 0, walks found nothing 0, alarms active now 1", "",
       "Timeout: No Response from 127.0.0.1:" + silent_port},
      {"wrong address", device(answering_port, 2, R"("timeout_ms": 2000)"), 3,
       "walks timed out 0, walks failed 0, walks found nothing 1, alarms active now 1",
       "; no value under " + root + ": wrong address?\n",
       "snmp walk found nothing under " + root + " (peer 127.0.0.1:" + answering_port + ")\n"},
      {"repeated OID", device(looping_port, 1, R"("timeout_ms": 2000)"), 3,
       "walks timed out 0, walks failed 1, walks found nothing 0, alarms active now 1", "",
       "snmp walk stopped at OID 1.3.6.1.4.1.61333.1.1.4.1: it does not increase (peer 127.0.0.1:" +
           looping_port + ")\n"},
  };
  const std::regex round_line(
      R"(\[round 1\] device 1 at \d{4}-\d\d-\d\dT\d\d:\d\d:\d\d[+-]\d\d:\d\d: first record)");
  const std::regex iso_time(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d[+-]\d\d:\d\d)");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    std::string out, err;
    const int status = RunProcess({QRMHOST_PATH, "run", "--plugin", MARLUXA_PLUGIN_PATH, "--config",
                                   dir.Write("device.json", c.device), "--rounds", "1",
                                   "--interval", "0", "--timeout", "30", "--events", "-"},
                                  60, &out, &err);
    EXPECT_EQ(status, c.status) << err;
    EXPECT_NE(err.find("\n[end] device 1: rounds published 1, " + c.closing + "\n"),
              std::string::npos)
        << err;
    EXPECT_TRUE(std::regex_search(err, round_line)) << err;
    EXPECT_NE(err.find(c.plugin_line), std::string::npos) << "the plug-in's lines kept: " << err;
    if (c.note.empty()) {
      EXPECT_EQ(err.find("wrong address?"), std::string::npos) << err;
    } else {
      EXPECT_NE(err.find(c.note), std::string::npos) << err;
    }

    ASSERT_FALSE(out.empty());
    EXPECT_EQ(out.back(), '\n');
    std::istringstream lines(out);
    std::map<std::string, int> events;
    for (std::string line; std::getline(lines, line);) {
      Json::CharReaderBuilder builder;
      std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
      Json::Value event;
      std::string error;
      ASSERT_TRUE(reader->parse(line.data(), line.data() + line.size(), &event, &error) &&
                  event.isObject() && event["event"].isString())
          << "not an event: " << line;
      ++events[event["event"].asString()];
      if (event["event"] == "publish") {
        EXPECT_TRUE(std::regex_match(event["time"].asString(), iso_time)) << line;
        EXPECT_EQ(event["bytes"], 5087) << line;
      }
      if (event["event"] == "history") {
        EXPECT_TRUE(event["file"].isNull()) << line;
      }
    }
    EXPECT_EQ(events["publish"], 1);
    EXPECT_EQ(events["history"], 1);
  }
  for (ChildProcess* sim : {&answering, &silent, &looping}) {
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
