// The qrmhost command run as a process: usage errors, load errors, and whole runs with the
// stand-in plug-in (host-driven and own-thread devices, interrupts, the time bound).
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <iostream>
#include <regex>
#include <sstream>

#include <gtest/gtest.h>

#include "alarms/alarm_catalogue.h"
#include "frame/record.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"
#include "tools/qrmhost/catalogue_command.h"

namespace {

const std::string kQrmhost = QRMHOST_PATH;
const std::string kFakePlugin = FAKE_PLUGIN_PATH;

size_t Count(const std::string& text, const std::string& needle) {
  size_t n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
    ++n;
  }
  return n;
}

size_t FileSize(const std::string& path) {
  std::error_code ec;
  const auto size = std::filesystem::file_size(path, ec);
  return ec ? 0 : static_cast<size_t>(size);
}

struct Result {
  int status;
  std::string out, err;
};

// `seconds` bounds a run that never ends: it holds under qemu-arm on a busy machine.
Result Qrmhost(std::vector<std::string> args, double seconds = 120) {
  args.insert(args.begin(), kQrmhost);
  Result r;
  r.status = RunProcess(args, seconds, &r.out, &r.err);
  return r;
}

TEST(QrmhostCli, UsageErrorsExitTwoWithOneLine) {
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"serve"},
      {"run", "--plugin", "p.so"},
      {"run", "--plugin", "p.so", "--config"},
      {"run", "--plugin", "p.so", "--config", "c.json", "--bogus"},
      {"run", "--plugin", "p.so", "--config", "c.json", "--rounds", "x"},
      {"run", "--plugin", "p.so", "--ip", "127.0.0.1", "--address", "256"},
      {"decode"},
      {"decode", "h.rec", "--json", "--csv"},
      {"catalogue", "--xml"},
  };
  for (const auto& args : cases) {
    const Result r = Qrmhost(args);
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_EQ(Count(r.err, "\n"), 1u) << r.err;
    EXPECT_EQ(r.err.rfind("qrmhost: ", 0), 0u) << r.err;
    EXPECT_EQ(r.out, "");
  }
  const Result help = Qrmhost({"--help"});
  EXPECT_EQ(help.status, 0);
  // One unit in one line comes first; the device file is for fleets.
  EXPECT_EQ(help.out.rfind("Usage: qrmhost run --plugin PATH --ip HOST[:PORT] --address N ", 0), 0u)
      << help.out;
  EXPECT_NE(help.out.find("\n  or:  qrmhost run --plugin PATH --config FILE"), std::string::npos);
  // Each option's entry (its line and the indented lines under it) says its default.
  for (const char* option :
       {"--plugin", "--ip", "--address", "--community", "--max-repetitions", "--id", "--config",
        "--rounds", "--interval", "--history", "--events", "--timeout", "--json", "--csv"}) {
    const size_t at = help.out.find(std::string("\n  ") + option + " ");
    ASSERT_NE(at, std::string::npos) << option << " is listed";
    const size_t end = help.out.find("\n  -", at + 1);
    const std::string entry = help.out.substr(at, end - at);
    EXPECT_TRUE(entry.find("(default") != std::string::npos ||
                entry.find("(required") != std::string::npos)
        << entry;
  }
  // An option and its text are two columns, as help2man reads them for the manual page.
  const std::regex option_line(R"(  -\S+( [^ ]+)?(  +\S.*)?)");
  std::istringstream lines(help.out);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("  -", 0) == 0) {
      EXPECT_TRUE(std::regex_match(line, option_line)) << line;
    }
  }
  const size_t codes = help.out.find("\nExit status:\n");
  ASSERT_NE(codes, std::string::npos) << help.out;
  for (const char* code : {"\n  0  run: ", "\n  1  ", "\n  2  ", "\n  3  run: ",
                           "\n  4  run: some record could not be saved", "\n  5  run: cut short"}) {
    EXPECT_NE(help.out.find(code, codes), std::string::npos) << code;
  }
  const Result catalogue = Qrmhost({"catalogue", "--csv"});
  EXPECT_EQ(catalogue.status, 0) << catalogue.err;
  EXPECT_EQ(catalogue.out, CatalogueText(CatalogueFormat::kCsv));
  const Result version = Qrmhost({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, "qrmhost " QRM_VERSION "\n");
}

#ifdef MAN_PAGE_DIR
// The manual pages made from --help and the include files have every section a reader looks
// for, qrmhost's every option of --help.
TEST(QrmhostCli, ManualPagesHaveEverySection) {
  for (const std::string command : {"qrmhost", "pdusim"}) {
    const std::string text = ReadFileBytes(std::string(MAN_PAGE_DIR) + "/" + command + ".1");
    for (const std::string& section : std::vector<std::string>{
             "NAME", "SYNOPSIS\n.B " + command, "DESCRIPTION", "OPTIONS", "\"EXIT STATUS\"",
             command == "qrmhost" ? "\"DEVICE FILE\"" : "\"DATA FILE\"", "EXAMPLES",
             "\"SEE ALSO\""}) {
      EXPECT_NE(text.find("\n.SH " + section + "\n"), std::string::npos) << command << section;
    }
  }
  const std::string qrmhost = ReadFileBytes(std::string(MAN_PAGE_DIR) + "/qrmhost.1");
  for (const char* option : {"plugin", "config", "rounds", "interval", "history", "events",
                             "timeout", "lang", "verbose", "json", "csv", "help", "version"}) {
    EXPECT_NE(qrmhost.find(std::string("\\fB\\-\\-") + option + "\\fR"), std::string::npos)
        << option;
  }
}
#endif

TEST(QrmhostCli, LoadAndConfigurationErrorsExitOne) {
  TempDir dir;
  const std::string config =
      dir.Write("one.json", R"({"id": 1, "ip": "127.0.0.1:9", "address": 1})");
  Result r = Qrmhost({"run", "--plugin", dir / "missing.so", "--config", config});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("cannot load plug-in " + dir / "missing.so" + ": " + dir / "missing.so" +
                       ": cannot open shared object file"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(Count(r.err, "\n"), 1u) << r.err;

  r = Qrmhost({"run", "--plugin", NO_ENTRY_PLUGIN_PATH, "--config", config});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("has no get_providers entry point"), std::string::npos) << r.err;

  const struct {
    std::string file;
    const char* expected;
  } bad[] = {
      {dir / "absent.json", "cannot read configuration"},
      {dir.Write("syntax.json", "{\"id\": 1,\n\"ip\": ]"), "invalid JSON: Line 2, Column"},
      {dir.Write("dup.json", R"({"devices": [{"id": 2}, {"id": 2}]})"),
       "id 2 is given to two devices"},
      {dir.Write("range.json", R"({"id": 4294967296})"), "\"id\" must be an integer"},
      {dir.Write("entry.json", R"({"devices": ["x"]})"), "is not a JSON object"},
  };
  for (const auto& t : bad) {
    r = Qrmhost({"run", "--plugin", kFakePlugin, "--config", t.file});
    EXPECT_EQ(r.status, 1) << t.file;
    EXPECT_NE(r.err.find(t.expected), std::string::npos) << r.err;
    EXPECT_EQ(Count(r.err, "\n"), 1u) << r.err;
  }
}

TEST(QrmhostCli, RunsHostDrivenAndOwnThreadDevicesForTheRoundsAsked) {
  TempDir dir;
  const std::string config = dir.Write("devices.json", R"({"devices": [
      {"id": 1, "ip": "127.0.0.1:9", "address": 1, "appSetting": {"use_thread": 0}},
      {"id": 4294967295, "ip": "127.0.0.1:9", "address": 2,
       "appSetting": {"use_thread": 1, "period_ms": 20}}
  ]})");
  std::filesystem::create_directory(dir / "h");
  dir.Write("h/1.rec", "kept");  // no whole record: moved aside, the run's records start at 0
  const Result r = Qrmhost({"run", "--plugin", kFakePlugin, "--config", config, "--rounds", "3",
                            "--interval", "0.05", "--history", dir / "h", "--events",
                            dir / "events.jsonl", "--timeout", "100"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "qrmhost: history file " + dir / "h/1.rec" +
                       " ended in a partial record of 4 bytes at offset 0; moved it to " +
                       dir / "h/1.rec.torn-0" + ", new records start at offset 0\n");
  EXPECT_NE(r.out.find("fake: device 1 configured"), std::string::npos) << "plug-in lines kept";
  EXPECT_EQ(r.out.find("rvSize is"), std::string::npos) << "fixed lines only with --verbose";
  const std::string raised = "#2 " + AlarmCatalogue()[1].name;
  EXPECT_NE(r.out.find("[round 1] device 1 at "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("1 alarms active; raised: " + raised), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("[round 2] device 1 at "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("0 alarms active; cleared: " + raised), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("[round 3] device 4294967295 at "), std::string::npos) << r.out;
  EXPECT_EQ(Count(r.out, "[round "), 6u) << "exactly three rounds per device: " << r.out;
  for (const char* id : {"1", "4294967295"}) {
    EXPECT_NE(r.out.find(std::string("\n[end] device ") + id +
                         ": rounds published 3, walks timed out 0, walks failed 0, walks found "
                         "nothing 0, alarms active now 1; still active: " +
                         raised + "\n"),
              std::string::npos)
        << r.out;
  }

  EXPECT_EQ(FileSize(dir / "h/1.rec"), 3 * kRecordSize);
  EXPECT_EQ(ReadFileBytes(dir / "h/1.rec.torn-0"), "kept");
  EXPECT_EQ(FileSize(dir / "h/4294967295.rec"), 3 * kRecordSize);
  const std::string events = ReadFileBytes(dir / "events.jsonl");
  EXPECT_EQ(Count(events, "\"event\":\"publish\""), 6u);
  EXPECT_EQ(Count(events, "\"event\":\"signal\""), 12u);
  EXPECT_EQ(Count(events, "\"event\":\"batch\""), 6u);
  EXPECT_EQ(Count(events, "\"event\":\"history\""), 6u);
  EXPECT_EQ(Count(events, "\"state\":\"raised\""), 4u);
  EXPECT_EQ(Count(events, "\n"), 6u + 12u + 6u + 6u + 6u);

  // --verbose shows the plug-in's fixed lines; --lang en names the alarms in English.
  const Result verbose = Qrmhost({"run", "--plugin", kFakePlugin, "--config", config, "--rounds",
                                  "1", "--interval", "0", "--verbose", "--lang", "en"});
  EXPECT_EQ(verbose.status, 0) << verbose.err;
  EXPECT_NE(verbose.out.find("\nrvSize is 1\n"), std::string::npos) << verbose.out;
  EXPECT_NE(verbose.out.find("; raised: #2 incoming line 1 L1 voltage above upper-upper limit\n"),
            std::string::npos)
      << verbose.out;

  const Result decoded = Qrmhost({"decode", dir / "h/4294967295.rec"});
  EXPECT_EQ(decoded.status, 0) << decoded.err;
  EXPECT_EQ(Count(decoded.out, "record "), 3u);
  EXPECT_NE(decoded.out.find("record 2: id 4294967295, time "), std::string::npos);
  const Result mended = Qrmhost({"decode", "--json", dir / "h/1.rec"});
  EXPECT_EQ(mended.status, 0) << mended.err;
  EXPECT_EQ(Count(mended.out, "\n"), 3u);
  EXPECT_EQ(mended.err, "qrmhost: " + dir / "h/1.rec" +
                            ": a partial record of 4 bytes was taken out at offset 0 (after 0 "
                            "whole records) and kept in " +
                            dir / "h/1.rec.torn-0" + "\n");
}

TEST(QrmhostCli, InterruptEndsAWaitingRunPromptlyWithStatusZero) {
  TempDir dir;
  const std::string config = dir.Write("devices.json",
                                       R"({"devices": [{"id": 1, "ip": "127.0.0.1:9"},
                      {"id": 2, "appSetting": {"use_thread": 1, "period_ms": 20}}]})");
  for (int sig : {SIGINT, SIGTERM}) {
    ChildProcess child({kQrmhost, "run", "--plugin", kFakePlugin, "--config", config, "--interval",
                        "3600", "--history", dir / "h"});
    std::string line;
    ASSERT_TRUE(child.WaitForLine("[round 1] device 1", 60, &line)) << child.err();
    ASSERT_TRUE(child.WaitForLine("[round 2] device 2", 60, &line)) << child.err();
    const auto start = std::chrono::steady_clock::now();
    child.Signal(sig);
    EXPECT_EQ(child.Finish(60), 0) << child.err();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60))
        << "the hour-long interval wait is interrupted";
    EXPECT_NE(child.err().find("interrupted"), std::string::npos);
    EXPECT_NE(child.out().find("\n[end] device 2: rounds published "), std::string::npos);
    EXPECT_EQ(FileSize(dir / "h/2.rec") % kRecordSize, 0u);
    EXPECT_GT(FileSize(dir / "h/2.rec"), 0u);
  }
}

// At the time bound the run ends, cut short (status 5): a refresh still under way after a second
// (device 1's takes a minute) is abandoned and named, and the process ends without it.
TEST(QrmhostCli, TheTimeBoundCutsTheRunShort) {
  TempDir dir;
  const std::string config = dir.Write("devices.json",
                                       R"({"devices": [
      {"id": 1, "ip": "127.0.0.1:9", "address": 1, "appSetting": {"publish": false, "refresh_ms": 60000}},
      {"id": 2, "ip": "127.0.0.1:19", "address": 1, "appSetting": {"use_thread": 1, "publish": false}},
      {"id": 3, "ip": "127.0.0.1:29", "address": 1, "appSetting": {"use_thread": 1, "period_ms": 10}}]})");
  const auto start = std::chrono::steady_clock::now();
  // Device 3 has its rounds long before the bound, however busy the machine.
  const Result r = Qrmhost({"run", "--plugin", kFakePlugin, "--config", config, "--rounds", "2",
                            "--interval", "0.01", "--timeout", "5", "--history", dir / "h"});
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_LT(took, std::chrono::seconds(55)) << "the run waited for device 1's refresh";
  std::cout << "run with --timeout 5 ended after " << std::chrono::duration<double>(took).count()
            << " s\n";
  EXPECT_EQ(r.status, 5) << r.err;
  EXPECT_NE(r.err.find("device 1 published 0 of 2 rounds before the time bound\n"),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("device 2 published 0 of 2 rounds before the time bound\n"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(r.err.find("device 3"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("qrmhost: stopping at the time bound: abandoning the walk under way on "
                       "device 1; what it has read is not published\n"),
            std::string::npos)
      << r.err;
  for (const char* id : {"1", "2", "3"}) {
    EXPECT_NE(r.out.find(std::string("[end] device ") + id + ": rounds published "),
              std::string::npos)
        << r.out;
  }
  EXPECT_EQ(FileSize(dir / "h/3.rec") % kRecordSize, 0u) << "whole records only";
  EXPECT_GE(FileSize(dir / "h/3.rec"), 2 * kRecordSize);

  // The first interrupt is the same bound.
  ChildProcess child({kQrmhost, "run", "--plugin", kFakePlugin, "--config", config});
  std::string line;
  ASSERT_TRUE(child.WaitForLine("fake: device 1 refreshing", 60, &line)) << child.err();
  child.Signal(SIGINT);
  EXPECT_EQ(child.Finish(55), 5) << child.err();
  EXPECT_NE(child.err().find("qrmhost: stopping on the interrupt: abandoning the walk under way "
                             "on device 1; what it has read is not published\n"),
            std::string::npos)
      << child.err();

  // Without a time bound a host-driven device ends after its refreshes, published or not.
  const std::string host_only =
      dir.Write("host.json", R"({"id": 1, "appSetting": {"publish": false}})");
  const Result quiet = Qrmhost(
      {"run", "--plugin", kFakePlugin, "--config", host_only, "--rounds", "2", "--interval", "0"});
  EXPECT_EQ(quiet.status, 1);
  EXPECT_NE(quiet.err.find("qrmhost: device 1 published 0 of 2 rounds\n"), std::string::npos)
      << quiet.err;
  EXPECT_NE(quiet.out.find("[end] device 1: rounds published 0, walks timed out 0, walks failed 2, "
                           "walks found nothing 0, no record\n"),
            std::string::npos)
      << quiet.out;
}

// A record the history cannot save is lost, and says so: exit status 4 (outweighing the
// walks' 3), a history event with the file and the error, one line per round on standard
// error and the count in the closing line. The other device's records are saved.
TEST(QrmhostCli, RecordsTheHistoryCannotSaveAreCountedAsLost) {
  TempDir dir;
  const std::string config = dir.Write("devices.json", R"({"devices": [
      {"id": 1, "ip": "127.0.0.1:9", "address": 1},
      {"id": 2, "ip": "127.0.0.1:9", "address": 1,
       "appSetting": {"console": ["Timeout: No Response from 127.0.0.1:9"]}}]})");
  std::filesystem::create_directories(dir / "h/1.rec");  // no file can be opened there
  const Result r =
      Qrmhost({"run", "--plugin", kFakePlugin, "--config", config, "--rounds", "2", "--interval",
               "0", "--history", dir / "h", "--events", dir / "events.jsonl"});
  EXPECT_EQ(r.status, 4) << r.err;
  EXPECT_EQ(Count(r.err, "qrmhost: cannot open history file " + dir / "h/1.rec" +
                             ": Is a directory; the record of this round is lost\n"),
            2u)
      << r.err;
  EXPECT_NE(r.out.find("[end] device 1: rounds published 2, walks timed out 0, walks failed 0, "
                       "walks found nothing 0, alarms active now 0, records lost 2\n"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(r.out.find("[end] device 2: rounds published 2, walks timed out 2, walks failed 0, "
                       "walks found nothing 0, alarms active now 0\n"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(FileSize(dir / "h/2.rec"), 2 * kRecordSize);
  const std::string events = ReadFileBytes(dir / "events.jsonl");
  EXPECT_EQ(
      Count(events, R"("error":"cannot open history file )" + dir / "h/1.rec" +
                        R"(: Is a directory","event":"history","file":")" + dir / "h/1.rec" + "\""),
      2u)
      << events;
  EXPECT_EQ(Count(events, R"("event":"history","file":")" + dir / "h/2.rec" + "\""), 2u) << events;
}

}  // namespace
