// qrmhost with the real plug-in against the PDU simulator: two host-driven rounds in mode 2,
// the closing summary of devices whose walks time out or fail, the exit status and event
// stream of runs whose unit answers or not, devices whose threads cannot start, and many
// devices walking at once.
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <regex>
#include <sstream>

#include <gtest/gtest.h>
#include <json/reader.h>

#include "frame/record.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"
#include "tests/support/thread_stack.h"
#include "tests/support/thread_start_fault.h"
#include "tests/support/whole_line_sink.h"
#include "device/sampling_thread.h"
#include "tools/qrmhost/args.h"
#include "tools/qrmhost/refresh_scheduler.h"
#include "tools/qrmhost/run_command.h"

namespace {

size_t Count(const std::string& text, const std::string& needle) {
  size_t n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
    ++n;
  }
  return n;
}

// The entries of a /proc folder (threads in /proc/self/task).
long EntriesOf(const char* folder) {
  return std::distance(std::filesystem::directory_iterator(folder), {});
}

// Waits for the simulator's ready line and returns its port, or "" on failure.
std::string PortOf(ChildProcess* sim) {
  std::string line;
  if (!sim->WaitForLine("pdusim listening on 127.0.0.1:", 60, &line)) return "";
  return line.substr(line.rfind(':') + 1);
}

// One command polls the simulator as an operator's own unit, without a device file.
TEST(QrmhostPdusim, TwoRoundsOfTheRealPlugin) {
  const std::string community = "Tormelix@2027q";
  ChildProcess sim({PDUSIM_PATH, "--port", "0", "--community", community});
  const std::string port = PortOf(&sim);
  ASSERT_FALSE(port.empty()) << sim.err();

  TempDir dir;
  std::string out, err;
  const int status = RunProcess(
      {QRMHOST_PATH, "run", "--plugin",    MARLUXA_PLUGIN_PATH, "--ip",     "127.0.0.1:" + port,
       "--address",  "1",   "--community", community,           "--rounds", "2",
       "--interval", "0.2", "--history",   dir / "h",           "--events", dir / "events.jsonl",
       "--timeout",  "120"},
      180, &out, &err);
  EXPECT_EQ(status, 0) << err << out;
  std::error_code ec;
  EXPECT_EQ(std::filesystem::file_size(dir / "h/1.rec", ec), 2 * kRecordSize) << ec.message();
  const std::string events = ReadFileBytes(dir / "events.jsonl");
  EXPECT_EQ(Count(events, "\"event\":\"publish\""), 2u);
  EXPECT_EQ(Count(events, "\"event\":\"signal\""), 858u);
  EXPECT_EQ(Count(out, "[round 2] device 1 at "), 1u) << out;
  EXPECT_NE(out.find("\n[end] device 1: rounds published 2, walks timed out 0, walks failed 0, "
                     "walks found nothing 0, alarms active now 3, walk time median "),
            std::string::npos)
      << out;
  EXPECT_EQ(
      Count(events, "\"event\":\"walk\",\"outcome\":\"answered\",\"peer\":\"127.0.0.1:" + port), 2u)
      << events;

  sim.Signal(SIGINT);
  EXPECT_EQ(sim.Finish(60), 0) << sim.err();
}

// At the time bound a host-driven walk of a slow unit (an answer every 0.2 s: the walk would
// take minutes) is abandoned and named, and the run ends cut short, with nothing of the walk
// published or saved.
TEST(QrmhostPdusim, TheTimeBoundAbandonsTheWalkOfASlowUnit) {
  ChildProcess sim({PDUSIM_PATH, "--port", "0", "--delay-ms", "200"});
  const std::string port = PortOf(&sim);
  ASSERT_FALSE(port.empty()) << sim.err();
  TempDir dir;
  std::string out, err;
  const auto start = std::chrono::steady_clock::now();
  const int status = RunProcess({QRMHOST_PATH, "run", "--plugin", MARLUXA_PLUGIN_PATH, "--ip",
                                 "127.0.0.1:" + port, "--address", "1", "--timeout", "5",
                                 "--history", dir / "h", "--events", dir / "events.jsonl"},
                                180, &out, &err);
  const auto took = std::chrono::steady_clock::now() - start;
  std::cout << "--timeout 5 on a unit answering every 0.2 s ended after "
            << std::chrono::duration<double>(took).count() << " s\n";
  EXPECT_LT(took, std::chrono::seconds(100)) << "the run waited for the walk";
  EXPECT_EQ(status, 5) << err;
  EXPECT_NE(err.find("qrmhost: stopping at the time bound: abandoning the walk under way on "
                     "device 1; what it has read is not published\n"),
            std::string::npos)
      << err;
  EXPECT_NE(out.find("[end] device 1: rounds published 0, "), std::string::npos) << out;
  EXPECT_FALSE(std::filesystem::exists(dir / "h/1.rec")) << "nothing of the walk saved";
  const std::string events = ReadFileBytes(dir / "events.jsonl");
  EXPECT_EQ(Count(events, "\"event\":\"walk\",\"outcome\":\"stopped\""), 1u) << events;
  EXPECT_EQ(Count(events, "\"event\":\"publish\""), 0u) << events;
  sim.Signal(SIGINT);
  EXPECT_EQ(sim.Finish(60), 0) << sim.err();
}

// Two units behind one agent, each sampling on its own thread, whose walks never reach the unit
// (their settings form no session, so each round only raises the communication alarm): each
// device's walks are counted as failed, against that device.
TEST(QrmhostPdusim, WalksOfDevicesSharingAnIpAreCountedAgainstEach) {
  TempDir dir;
  const std::string config = dir.Write("devices.json", R"({"devices": [
      {"id": 1, "ip": "127.0.0.1:9", "address": 1,
       "appSetting": {"use_thread": 1, "snmp_version": 3}},
      {"id": 2, "ip": "127.0.0.1:9", "address": 2,
       "appSetting": {"use_thread": 1, "snmp_version": 3}}]})");
  std::string out, err;
  const int status = RunProcess({QRMHOST_PATH, "run", "--plugin", MARLUXA_PLUGIN_PATH, "--config",
                                 config, "--timeout", "6", "--events", dir / "events.jsonl"},
                                180, &out, &err);
  EXPECT_EQ(status, 3) << err;
  const std::string events = ReadFileBytes(dir / "events.jsonl");
  for (const char* id : {"1", "2"}) {
    EXPECT_TRUE(std::regex_search(
        out, std::regex(std::string("\\[end\\] device ") + id +
                        ": rounds published [0-9]+, walks timed out 0, walks failed [1-9]")))
        << out;
    EXPECT_NE(events.find(std::string("{\"device\":") + id +
                          ",\"event\":\"walk\",\"outcome\":\"failed\""),
              std::string::npos)
        << events;
  }
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
  const std::string answered = R"("appSetting": {"timeout_ms": 10000, "retries": 0})";
  const std::string silent_settings = R"("appSetting": {"timeout_ms": 200, "retries": 0})";
  const std::string config = dir.Write(
      "devices.json", R"({"devices": [{"id": 1, "address": 1, "ip": "127.0.0.1:)" + failing_port +
                          "\", " + answered + R"(}, {"id": 2, "address": 1, "ip": "127.0.0.1:)" +
                          silent_port + "\", " + silent_settings + R"(}, {"id": 3}]})");
  std::string out, err;
  const int status = RunProcess({QRMHOST_PATH, "run", "--plugin", MARLUXA_PLUGIN_PATH, "--config",
                                 config, "--rounds", "2", "--interval", "0", "--timeout", "120"},
                                180, &out, &err);
  EXPECT_EQ(status, 1) << "device 3 published nothing, which outweighs the others' 3: " << err;
  EXPECT_EQ(Count(err, "Timeout: No Response from 127.0.0.1:" + silent_port), 2u) << err;
  EXPECT_NE(out.find("[end] device 1: rounds published 2, walks timed out 0, walks failed 1, "
                     "walks found nothing 0, alarms active now 3, walk time median "),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("[end] device 2: rounds published 2, walks timed out 2, walks failed 0, "
                     "walks found nothing 0, alarms active now 1, walk time median "),  // slot 1,
            std::string::npos)  // the communication state, is still 0
      << out;
  EXPECT_NE(out.find("[end] device 3: rounds published 0, walks timed out 0, walks failed 2, "
                     "walks found nothing 0, no record, walk time median "),
            std::string::npos)
      << out;
  for (ChildProcess* sim : {&failing, &silent}) {
    sim->Signal(SIGINT);
    EXPECT_EQ(sim->Finish(60), 0) << sim->err();
  }
}

// One round of one device per case, with the event log on standard output. The exit status
// says whether the unit answered with values: 0 for the simulator's unit, 3 for a peer that
// never answers and for walks that the plug-in says stored nothing or stopped; the closing line
// says which, the round line and the walk event say how the walk ended and what it may mean.
// Standard output carries the events alone, one JSON object per line; the plug-in's lines and the
// summaries go to standard error.
TEST(QrmhostPdusim, ExitStatusSaysWhetherTheUnitAnsweredAndEventsAloneOnStandardOutput) {
  ChildProcess answering({PDUSIM_PATH, "--port", "0"});
  ChildProcess silent({PDUSIM_PATH, "--port", "0", "--silent"});
  ChildProcess looping({PDUSIM_PATH, "--port", "0", "--repeat-oid"});
  ChildProcess elsewhere({PDUSIM_PATH, "--port", "0", "--answer-from", "address"});
  const std::string answering_port = PortOf(&answering), silent_port = PortOf(&silent),
                    looping_port = PortOf(&looping), elsewhere_port = PortOf(&elsewhere);
  ASSERT_FALSE(answering_port.empty()) << answering.err();
  ASSERT_FALSE(silent_port.empty()) << silent.err();
  ASSERT_FALSE(looping_port.empty()) << looping.err();
  ASSERT_FALSE(elsewhere_port.empty()) << elsewhere.err();
  // A port nothing listens on: the silent peer's neighbour is not reliably free, a closed
  // socket's port is.
  std::string closed_port;
  {
    ChildProcess gone({PDUSIM_PATH, "--port", "0"});
    closed_port = PortOf(&gone);
    gone.Signal(SIGINT);
    EXPECT_EQ(gone.Finish(60), 0) << gone.err();
  }
  const std::string dropped = "dropped 1 answer from 127.0.0.2:" + elsewhere_port +
                              ", not from the peer 127.0.0.1:" + elsewhere_port +
                              "; 1 came from the peer's port at another address, which "
                              "appSetting.answers_from_any_address 1 would take";
  // The line names the ICMP error's sender where the kernel's report reaches the plug-in
  // whole; qemu's user-mode emulation leaves it out, so the checks below read the lines without
  // it.
  const std::string unreachable =
      "snmp walk stopped as the unit is out of reach: port unreachable at 127.0.0.1:" + closed_port;
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
    std::string closing, note, plugin_line, walk, outcome;
  } cases[] = {
      {"answering unit", device(answering_port, 1, R"("b_mode": 2, "timeout_ms": 10000)"), 0,
       "walks timed out 0, walks failed 0, walks found nothing 0, alarms active now 3", "",
       "; raised: #3 第一路U1上限, #75 第一路In上限, #206 1QF01支路开关OF分闸告警\n",
       "walk of 127.0.0.1:" + answering_port + " answered in ", "answered"},
      {"silent peer", device(silent_port, 1, R"("timeout_ms": 200, "retries": 0)"), 3,
       "walks timed out 1, walks failed 0, walks found nothing 0, alarms active now 1", "",
       "Timeout: No Response from 127.0.0.1:" + silent_port,
       " (unit dark, wrong community or wrong port); first record, 0 slots non-zero, 1 alarms "
       "active; raised: #1 设备通讯状态; alarms read from the record",
       "no answer"},
      {"wrong address", device(answering_port, 2, R"("timeout_ms": 10000)"), 3,
       "walks timed out 0, walks failed 0, walks found nothing 1, alarms active now 1",
       "; no value under " + root + ": wrong address?\n",
       "snmp walk found nothing under " + root + " (peer 127.0.0.1:" + answering_port + ")\n",
       "walk of 127.0.0.1:" + answering_port + " found nothing in ", "found nothing"},
      {"repeated OID", device(looping_port, 1, R"("timeout_ms": 10000)"), 3,
       "walks timed out 0, walks failed 1, walks found nothing 0, alarms active now 1", "",
       "snmp walk stopped at OID 1.3.6.1.4.1.61333.1.1.4.1: it does not increase (peer 127.0.0.1:" +
           looping_port + ")\n",
       " s: snmp walk stopped at OID 1.3.6.1.4.1.61333.1.1.4.1: it does not increase; first record",
       "failed"},
      // A unit answering from another of its addresses: dark, and the outcome says why and
      // which key takes such answers; with the key, walked.
      {"answers from another address",
       device(elsewhere_port, 1, R"("timeout_ms": 500, "retries": 0)"), 3,
       "walks timed out 1, walks failed 0, walks found nothing 0, alarms active now 1", "",
       "snmp walk " + dropped + " (peer 127.0.0.1:" + elsewhere_port + ")\n",
       " (" + dropped + "); first record", "no answer"},
      {"answers from another address, taken",
       device(elsewhere_port, 1, R"("timeout_ms": 10000, "answers_from_any_address": 1)"), 0,
       "walks timed out 0, walks failed 0, walks found nothing 0, alarms active now 3", "", "",
       "walk of 127.0.0.1:" + elsewhere_port + " answered in ", "answered"},
      // A closed port is named at once, far within the minute the attempt would wait.
      {"closed port", device(closed_port, 1, R"("timeout_ms": 60000, "retries": 0)"), 3,
       "walks timed out 0, walks failed 1, walks found nothing 0, alarms active now 1", "",
       unreachable + " (peer 127.0.0.1:" + closed_port + ")\n",
       " s: " + unreachable + "; first record", "failed"},
  };
  const std::regex round_line(
      R"(\[round 1\] device 1 at \d{4}-\d\d-\d\dT\d\d:\d\d:\d\d[+-]\d\d:\d\d: walk of 127\.0\.0\.1:\d+ )"
      R"([a-z ]+ in \d+\.\d{3} s)");
  const std::regex iso_time(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d[+-]\d\d:\d\d)");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    std::string out, err;
    const int status = RunProcess({QRMHOST_PATH, "run", "--plugin", MARLUXA_PLUGIN_PATH, "--config",
                                   dir.Write("device.json", c.device), "--rounds", "1",
                                   "--interval", "0", "--timeout", "120", "--events", "-"},
                                  180, &out, &err);
    const std::regex icmp_sender(R"( \(ICMP from [^)]*\))");
    err = std::regex_replace(err, icmp_sender, "");
    out = std::regex_replace(out, icmp_sender, "");
    EXPECT_EQ(status, c.status) << err;
    EXPECT_NE(
        err.find("\n[end] device 1: rounds published 1, " + c.closing + ", walk time median "),
        std::string::npos)
        << err;
    EXPECT_TRUE(std::regex_search(err, round_line)) << err;
    EXPECT_NE(err.find(c.walk), std::string::npos) << err;
    EXPECT_NE(err.find(c.plugin_line), std::string::npos) << "the plug-in's lines kept: " << err;
    EXPECT_EQ(err.find("rvSize is"), std::string::npos) << "fixed lines only with --verbose";
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
      if (event["event"] == "walk") {
        ++events["walk " + event["outcome"].asString()];
        EXPECT_TRUE(event["seconds"].isDouble() || event["seconds"].isIntegral()) << line;
      }
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
    EXPECT_EQ(events["walk " + c.outcome], 1) << out;
  }
  for (ChildProcess* sim : {&answering, &silent, &looping, &elsewhere}) {
    sim->Signal(SIGINT);
    EXPECT_EQ(sim->Finish(60), 0) << sim->err();
  }
}

// A device whose thread cannot be had is still refreshed, and publishes its rounds: an
// own-thread device whose sampling thread cannot start walks on the host's refreshes (its
// first walk on the scheduler thread moves it to a host thread of its own), and a host-driven
// device whose host thread cannot start is refreshed by the scheduler thread. qrmhost's run
// command runs in this process, so that the failing thread starts reach the plug-in it loads.
TEST(QrmhostPdusim, DevicesWhoseThreadsCannotStartAreStillRefreshed) {
  ChildProcess sim({PDUSIM_PATH, "--port", "0"});
  const std::string port = PortOf(&sim);
  ASSERT_FALSE(port.empty()) << sim.err();
  const struct {
    const char* name;
    int use_thread;
    size_t stack;  // the thread starts that fail
    int failures;
    std::string line;
  } cases[] = {
      {"own-thread device, no sampling thread", 1, SamplingThread::kStackBytes, -1,
       "SNMP_MARLUXA_AC_POWER: sampling thread not started, walking on RefreshStatus instead "
       "(peer 127.0.0.1:" +
           port + "): "},
      {"host-driven device, no host thread", 0, RefreshScheduler::kHostThreadStackBytes, 1,
       "qrmhost: device 1: no host thread of its own (Resource temporarily unavailable); the "
       "scheduler thread refreshes it\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    RunOptions options;
    options.plugin = MARLUXA_PLUGIN_PATH;
    options.config =
        dir.Write("device.json", R"({"id": 1, "ip": "127.0.0.1:)" + port +
                                     R"(", "address": 1, "appSetting": {"use_thread": )" +
                                     std::to_string(c.use_thread) +
                                     R"(, "timeout_ms": 10000, "retries": 0}})");
    options.rounds = 2;
    options.interval = 0.2;
    options.timeout = 60;
    const int failed_before = FailedThreadStarts();
    FailThreadStarts(c.stack, c.failures);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const int status = RunCommand(options);
    const std::string err = testing::internal::GetCapturedStderr();
    const std::string out = testing::internal::GetCapturedStdout();
    FailThreadStarts(0, 0);
    EXPECT_EQ(FailedThreadStarts() - failed_before, 1);
    EXPECT_NE((out + err).find(c.line), std::string::npos) << out << err;
    EXPECT_EQ(status, 0) << err << out;
    EXPECT_NE(out.find("\n[end] device 1: rounds published 2, walks timed out 0, walks failed 0, "),
              std::string::npos)
        << out;
  }
  sim.Signal(SIGINT);
  EXPECT_EQ(sim.Finish(60), 0) << sim.err();
}

// What qrmhost's threads see while many devices walk at the same time, host-driven ones back to
// back and own-thread ones on their schedule, in frame mode 2: every device publishes its rounds,
// every line (the plug-in's and qrmhost's, on both streams) reaches its stream whole, in one
// call, so none is split by another's; the process has a thread per own-thread device and per
// host-driven device and a few more, never one more per device; each host-driven device walks on
// a host thread of kHostThreadStackBytes and uses a small part of it.
TEST(QrmhostPdusim, ManyDevicesWalkingInStepWriteWholeLinesOnFewThreads) {
  constexpr int kHostDriven = 24, kOwnThread = 24, kUnits = 8;
  ChildProcess sim({PDUSIM_PATH, "--port", "0", "--addresses", "1-" + std::to_string(kUnits)});
  const std::string port = PortOf(&sim);
  ASSERT_FALSE(port.empty()) << sim.err();
  TempDir dir;
  std::string devices;
  for (int i = 1; i <= kHostDriven + kOwnThread; ++i) {
    devices += std::string(i > 1 ? "," : "") + R"({"id": )" + std::to_string(i) +
               R"(, "ip": "127.0.0.1:)" + port + R"(", "address": )" +
               std::to_string((i - 1) % kUnits + 1) + R"(, "appSetting": {"use_thread": )" +
               (i > kHostDriven ? "1" : "0") +
               R"(, "b_mode": 2, "max_repetitions": 100, "timeout_ms": 10000}})";
  }
  RunOptions options;
  options.plugin = MARLUXA_PLUGIN_PATH;
  options.config = dir.Write("devices.json", R"({"devices": [)" + devices + "]}");
  options.rounds = 2;
  options.interval = 0;
  options.timeout = 300;

  // Reads the walking thread's stack and the process's threads at the end of every round.
  struct Threads : HostObserver {
    void OnSaveDeviceHistory(const QRMVDevice& device, std::vector<unsigned char>) override {
      const ThreadStack stack = CurrentThreadStack();
      const long threads = EntriesOf("/proc/self/task");
      std::lock_guard<std::mutex> lock(mutex);
      ThreadStack& s = stacks[device.DataId()];
      s.size = stack.size;
      s.touched = std::max(s.touched, stack.touched);
      peak = std::max(peak, threads);
    }
    std::mutex mutex;
    std::map<uint32_t, ThreadStack> stacks;
    long peak = 0;
  };
  auto threads = std::make_shared<Threads>();
  const long before = EntriesOf("/proc/self/task");
  WholeLineSink out, err;
  std::streambuf* const out_before = std::cout.rdbuf(&out);
  std::streambuf* const err_before = std::cerr.rdbuf(&err);
  const int status = RunCommand(options, threads);
  std::cout.rdbuf(out_before);
  std::cerr.rdbuf(err_before);

  EXPECT_EQ(status, 0) << err.text();
  EXPECT_EQ(out.FirstSplitWrite(), "");
  EXPECT_EQ(err.FirstSplitWrite(), "");
  const std::string text = out.text();
  EXPECT_EQ(Count(text,
                  ": rounds published 2, walks timed out 0, walks failed 0, walks found "
                  "nothing 0, alarms active now 3, walk time median "),
            size_t{kHostDriven + kOwnThread})
      << text;
  EXPECT_EQ(Count("\n" + text, "\n[round "), 2u * (kHostDriven + kOwnThread));
  EXPECT_LE(threads->peak, before + kHostDriven + kOwnThread + 3)
      << "the sampling and host threads, the scheduler and the signal watcher";
  // (The C library may hand a thread the cached stack of an ended one up to four times larger
  // than it asked for: a sampling thread may get an ended host thread's.)
  // Checked without the sanitizers, which change thread stacks.
  ASSERT_EQ(threads->stacks.size(), size_t{kHostDriven + kOwnThread});
  for (const auto& [id, stack] : threads->stacks) {
    if (!kThreadStackFiguresHold) break;
    EXPECT_GE(stack.size, id <= kHostDriven ? RefreshScheduler::kHostThreadStackBytes
                                            : SamplingThread::kStackBytes)
        << id;
    EXPECT_LE(stack.size, RefreshScheduler::kHostThreadStackBytes) << id;
    EXPECT_LT(stack.touched, stack.size / 8) << id;
  }
  sim.Signal(SIGINT);
  EXPECT_EQ(sim.Finish(60), 0) << sim.err();
}

}  // namespace
