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
#include <string>

#include "sim/dataset.h"
#include "tests/sim/snmp_client.h"

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
  for (const char* args :
       {"--bogus", "--port", "--port 70000", "--addresses 5-2", "--garbage sometimes",
        "--truncate --wrong-request-id", "--exception nothing", "--delay-ms -3"}) {
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
                           "--max-repetitions-limit",
                           "OID|TAG|VALUE",
                           "68x"}) {
    EXPECT_NE(out.find(flag), std::string::npos) << flag;
  }
}

TEST(PdusimCliTest, ServesWithFaultsUntilSigterm) {
  int pipefd[2];
  ASSERT_EQ(pipe(pipefd), 0);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    dup2(pipefd[1], STDOUT_FILENO);
    close(pipefd[0]);
    execl(PDUSIM_PATH, PDUSIM_PATH, "--addresses", "2", "--community", "other",
          "--max-repetitions-limit", "10", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(pipefd[1]);
  std::string line;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (line.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
    pollfd p{pipefd[0], POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    char buf[256];
    ssize_t n = read(pipefd[0], buf, sizeof buf);
    if (n <= 0) break;
    line.append(buf, size_t(n));
  }
  close(pipefd[0]);
  const std::string prefix = "pdusim listening on 127.0.0.1:";
  ASSERT_EQ(line.rfind(prefix, 0), 0u) << line;
  uint16_t port = uint16_t(std::stoi(line.substr(prefix.size())));

  simtest::Client c(port, 500, "other");
  simtest::Result ok = c.GetBulk(0, 10, {Dataset::UnitSubtree(2)});
  ASSERT_EQ(ok.status, STAT_SUCCESS);
  ASSERT_EQ(ok.bindings.size(), 10u);
  EXPECT_EQ(ok.bindings[1].integer, 2);
  EXPECT_EQ(c.GetBulk(0, 11, {Dataset::UnitSubtree(2)}).errstat, 1);

  ASSERT_EQ(kill(pid, SIGTERM), 0);
  int status = 0;
  pid_t done = 0;
  for (int i = 0; i < 200 && done == 0; ++i) {
    done = waitpid(pid, &status, WNOHANG);
    if (done == 0) usleep(10000);
  }
  if (done == 0) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    FAIL() << "pdusim did not stop on SIGTERM";
  }
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace pdusim
