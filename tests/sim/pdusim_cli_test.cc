// The pdusim command, run as a child process.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "sim/dataset.h"
#include "tests/sim/snmp_client.h"
#include "tests/support/child_process.h"

namespace pdusim {
namespace {

// Runs pdusim with `args` and returns its exit code; stdout/stderr go to *out/*err.
int RunPdusim(const std::string& args, std::string* out, std::string* err) {
  std::string base = ::testing::TempDir() + "pdusim_cli_" + std::to_string(getpid());
  std::string cmd = std::string(PDUSIM_PATH) + " " + args + " >" + base + ".out 2>" + base + ".err";
  int status = std::system(cmd.c_str());
  auto slurp = [](const std::string& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
  };
  *out = slurp(base + ".out");
  *err = slurp(base + ".err");
  std::remove((base + ".out").c_str());
  std::remove((base + ".err").c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(PdusimCliTest, DumpsTheDefaultUnitAsSnmprec) {
  std::string out, err;
  ASSERT_EQ(RunPdusim("--addresses 1,3-4 --dump-snmprec", &out, &err), 0) << err;
  Dataset d;
  std::string error;
  ASSERT_TRUE(Dataset::FromSnmprec(out, &d, &error)) << error;
  EXPECT_EQ(d.size(), 3u * 1269u);
  EXPECT_EQ(*d.Find(Dataset::UnitOid(4, 2)), Value::Integer(4));
  EXPECT_EQ(out, Dataset::DefaultUnit({1, 3, 4}).ToSnmprec());
}

TEST(PdusimCliTest, DumpsADataFile) {
  std::string path = ::testing::TempDir() + "pdusim_cli_test.snmprec";
  {
    std::ofstream f(path);
    f << "# two objects\n1.3.6.1.4.1.61333.1.1.4.5.2.0|2|5\n1.3.6.1.4.1.61333.1.1.4.5.1.0|2|1\n";
  }
  std::string out, err;
  ASSERT_EQ(RunPdusim("--data " + path + " --dump-snmprec", &out, &err), 0) << err;
  EXPECT_EQ(out, "1.3.6.1.4.1.61333.1.1.4.5.1.0|2|1\n1.3.6.1.4.1.61333.1.1.4.5.2.0|2|5\n");
  std::remove(path.c_str());
  EXPECT_EQ(RunPdusim("--data " + path, &out, &err), 2);
  EXPECT_EQ(err, "pdusim: " + path + ": cannot open (see pdusim --help)\n");
}

TEST(PdusimCliTest, BadArgumentsGiveOneLineAndExitTwo) {
  for (const char* args : {"--bogus", "--port", "--port 70000", "--addresses 5-2",
                           "--garbage sometimes", "--truncate --wrong-request-id",
                           "--exception nothing", "--delay-ms -3", "--answer-from elsewhere"}) {
    std::string out, err;
    EXPECT_EQ(RunPdusim(args, &out, &err), 2) << args;
    EXPECT_EQ(err.rfind("pdusim: ", 0), 0u) << args << ": " << err;
    EXPECT_EQ(err.find('\n'), err.size() - 1) << args << ": " << err;
  }
}

TEST(PdusimCliTest, HelpDocumentsFormatAndEveryFault) {
  std::string out, err;
  ASSERT_EQ(RunPdusim("--help", &out, &err), 0);
  for (const char* flag : {"--port",
                           "--data",
                           "--addresses",
                           "--community",
                           "--dump-snmprec",
                           "--silent ",
                           "--silent-after",
                           "--error-status",
                           "--error-at",
                           "--error-count",
                           "--repeat-oid",
                           "--endless-subtree",
                           "--exception-leaf",
                           "--exception ",
                           "--foreign-binding",
                           "--bulk-successors",
                           "--bare-float-leaf",
                           "--bare-floats",
                           "--garbage",
                           "--wrong-request-id",
                           "--truncate",
                           "--delay-ms",
                           "--answer-from",
                           "--max-repetitions-limit",
                           "OID|TAG|VALUE",
                           "68x"}) {
    EXPECT_NE(out.find(flag), std::string::npos) << flag;
  }
  // An option and its text are two columns (at least two spaces apart), as help2man reads them
  // for the manual page; a long option has its text on the next line.
  EXPECT_EQ(out.rfind("Usage: pdusim ", 0), 0u) << out;
  const std::regex option_line(R"(  -\S+( [^ ]+)?(  +\S.*)?)");
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("  -", 0) == 0) {
      EXPECT_TRUE(std::regex_match(line, option_line)) << line;
    }
  }
  ASSERT_EQ(RunPdusim("--version", &out, &err), 0);
  EXPECT_EQ(out, "pdusim " QRM_VERSION "\n");
}

using simtest::BuildBulkRequest;
using simtest::Client;
using simtest::InitNetSnmp;
using simtest::ParseResponse;
using simtest::RawExchange;
using simtest::Result;

// A pdusim serving with `flags` on a free port, ended with SIGTERM by Stop().
class Served {
 public:
  explicit Served(const std::vector<std::string>& flags) : child_(Argv(flags)) {
    std::string line;
    const std::string prefix = "pdusim listening on 127.0.0.1:";
    if (child_.WaitForLine(prefix, 5, &line) && line.rfind(prefix, 0) == 0)
      port_ = uint16_t(std::stoi(line.substr(prefix.size())));
  }
  uint16_t port() const { return port_; }
  // SIGTERM; the exit status (0 for a clean stop).
  int Stop() {
    child_.Signal(SIGTERM);
    return child_.Finish(5);
  }

 private:
  static std::vector<std::string> Argv(const std::vector<std::string>& flags) {
    std::vector<std::string> argv = {PDUSIM_PATH, "--addresses", "2"};
    argv.insert(argv.end(), flags.begin(), flags.end());
    return argv;
  }
  ChildProcess child_;
  uint16_t port_ = 0;
};

Oid Leaf2(unsigned leaf) { return Dataset::UnitOid(2, leaf); }

// Each fault flag, given on the command line, changes what a client sees; without flags the
// same requests get the correct answers.
TEST(PdusimCliTest, EveryFaultFlagChangesWhatAClientSees) {
  InitNetSnmp();
  using Check = std::function<void(uint16_t port)>;
  // The datagrams that answer one GETBULK with request id 77, as they arrive.
  const auto raw77 = [](uint16_t port) {
    return RawExchange(port, BuildBulkRequest(77, 1, 100, Leaf2(4)), 200);
  };
  const auto bulk1 = [](uint16_t port, int timeout_ms = 5000) {
    Client c(port, timeout_ms);
    return c.GetBulk(1, 100, {Leaf2(4)});
  };
  const struct {
    std::vector<std::string> flags;
    Check check;
  } cases[] = {
      {{},
       [&](uint16_t port) {
         const Result r = bulk1(port);
         ASSERT_EQ(r.status, STAT_SUCCESS);
         ASSERT_EQ(r.bindings.size(), 1u);
         EXPECT_EQ(r.bindings[0].oid, Leaf2(5));
       }},
      {{"--silent"}, [&](uint16_t port) { EXPECT_EQ(bulk1(port, 300).status, STAT_TIMEOUT); }},
      {{"--silent-after", "1"},
       [&](uint16_t port) {
         EXPECT_EQ(bulk1(port).status, STAT_SUCCESS);
         EXPECT_EQ(bulk1(port, 300).status, STAT_TIMEOUT);
       }},
      {{"--error-status", "5", "--error-at", "2", "--error-count", "2"},
       [&](uint16_t port) {
         EXPECT_EQ(bulk1(port).errstat, 0);
         EXPECT_EQ(bulk1(port).errstat, 5);
         EXPECT_EQ(bulk1(port).errstat, 5);
         EXPECT_EQ(bulk1(port).errstat, 0);
       }},
      {{"--repeat-oid"},
       [&](uint16_t port) {
         const Result r = bulk1(port);
         ASSERT_EQ(r.bindings.size(), 1u);
         EXPECT_EQ(r.bindings[0].oid, Leaf2(4));
       }},
      {{"--endless-subtree"},
       [&](uint16_t port) {
         Client c(port);
         const Result r = c.GetNext({Leaf2(1269)});
         ASSERT_EQ(r.bindings.size(), 1u);
         Oid expected = Dataset::UnitSubtree(2);
         expected.insert(expected.end(), {1270, 1});
         EXPECT_EQ(r.bindings[0].oid, expected);
       }},
      {{"--exception-leaf", "5", "--exception", "noSuchInstance"},
       [&](uint16_t port) {
         const Result r = bulk1(port);
         ASSERT_EQ(r.bindings.size(), 1u);
         EXPECT_EQ(r.bindings[0].type, 0x81);
       }},
      {{"--foreign-binding"},
       [&](uint16_t port) {
         Client c(port);
         const Result r = c.GetBulk(0, 3, {Leaf2(4)});
         ASSERT_GE(r.bindings.size(), 2u);
         EXPECT_EQ(r.bindings[1].oid, (Oid{1, 3, 6, 1, 4, 1, 61333, 1, 1, 5, 0}));
       }},
      {{"--bulk-successors", "3"},
       [&](uint16_t port) { EXPECT_EQ(bulk1(port).bindings.size(), 3u); }},
      {{"--bare-float-leaf", "5"},
       [&](uint16_t port) {
         EXPECT_EQ(bulk1(port, 300).status, STAT_TIMEOUT) << "net-snmp drops it";
       }},
      {{"--bare-floats"},
       [&](uint16_t port) {
         // Leaf 5 is the float 228.5: bare tag 0x48 and its own four bytes, 43 64 80 00.
         const auto got = raw77(port);
         ASSERT_EQ(got.size(), 1u);
         EXPECT_NE(got[0].find(std::string("\x05\x00\x48\x04\x43\x64\x80\x00", 8)),
                   std::string::npos);
       }},
      {{"--garbage", "before"},
       [&](uint16_t port) {
         const auto got = raw77(port);
         ASSERT_EQ(got.size(), 2u);
         Result r;
         EXPECT_FALSE(ParseResponse(got[0], &r));
         EXPECT_TRUE(ParseResponse(got[1], &r));
       }},
      {{"--garbage", "instead"},
       [&](uint16_t port) {
         const auto got = raw77(port);
         ASSERT_EQ(got.size(), 1u);
         Result r;
         EXPECT_FALSE(ParseResponse(got[0], &r));
       }},
      {{"--wrong-request-id"},
       [&](uint16_t port) {
         const auto got = raw77(port);
         ASSERT_EQ(got.size(), 1u);
         Result r;
         ASSERT_TRUE(ParseResponse(got[0], &r));
         EXPECT_NE(r.reqid, 77);
       }},
      {{"--truncate"},
       [&](uint16_t port) {
         const auto got = raw77(port);
         ASSERT_EQ(got.size(), 1u);
         Result r;
         EXPECT_FALSE(ParseResponse(got[0], &r));
       }},
      {{"--delay-ms", "1500"},
       [&](uint16_t port) { EXPECT_EQ(bulk1(port, 500).status, STAT_TIMEOUT); }},
      {{"--max-repetitions-limit", "10"},
       [&](uint16_t port) {
         Client c(port);
         EXPECT_EQ(c.GetBulk(0, 10, {Leaf2(4)}).bindings.size(), 10u);
         EXPECT_EQ(c.GetBulk(0, 11, {Leaf2(4)}).errstat, 1);
       }},
      {{"--community", "other"},
       [&](uint16_t port) {
         EXPECT_EQ(bulk1(port, 300).status, STAT_TIMEOUT);
         Client c(port, 5000, "other");
         EXPECT_EQ(c.GetBulk(1, 100, {Leaf2(4)}).status, STAT_SUCCESS);
       }},
  };
  for (const auto& c : cases) {
    std::string name;
    for (const std::string& f : c.flags) name += f + " ";
    SCOPED_TRACE("pdusim " + name);
    Served served(c.flags);
    ASSERT_NE(served.port(), 0) << "pdusim did not start";
    c.check(served.port());
    EXPECT_EQ(served.Stop(), 0) << "SIGTERM ends pdusim with status 0";
  }
}

}  // namespace
}  // namespace pdusim
