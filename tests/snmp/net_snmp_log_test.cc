// net-snmp's own log lines and its callback lists, on real threads: the lines come out whole
// and name the walking device's peer; sessions opened on many threads at once never contend on
// net-snmp's callback counter.
#include "snmp/net_snmp_log.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <sstream>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "snmp/net_snmp.h"
#include "snmp/net_snmp_version.h"

namespace {

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) lines.push_back(l);
  return lines;
}

TEST(NetSnmpLog, PiecesFromManyThreadsComeOutAsWholeLinesNamingThePeer) {
  EnsureNetSnmpReady();
  constexpr int kThreads = 16, kLines = 20;
  testing::internal::CaptureStderr();
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      const std::string peer = "10.0.0." + std::to_string(t) + ":161";
      const NetSnmpLogPeer scope(peer, " (peer " + peer + ")");
      for (int i = 0; i < kLines; ++i) {
        // net-snmp logs many of its lines in pieces; the last one here names the peer itself.
        snmp_log(LOG_ERR, "piece one of %d, ", t);
        snmp_log(LOG_ERR, "piece two\n");
        snmp_log(LOG_WARNING, "from %s\n", peer.c_str());
      }
    });
  }
  for (std::thread& t : threads) t.join();
  snmp_log(LOG_ERR, "no walk on this thread\n");
  const auto lines = Lines(testing::internal::GetCapturedStderr());
  ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kLines * 2 + 1));
  std::vector<int> pieces(kThreads), named(kThreads);
  for (const std::string& l : lines) {
    int t = -1;
    const std::string peer = std::sscanf(l.c_str(), "piece one of %d", &t) == 1 ||
                                     std::sscanf(l.c_str(), "from 10.0.0.%d", &t) == 1
                                 ? "10.0.0." + std::to_string(t) + ":161"
                                 : "";
    if (t >= 0 && t < kThreads &&
        l == "piece one of " + std::to_string(t) + ", piece two (peer " + peer + ")") {
      ++pieces[t];
    } else if (t >= 0 && t < kThreads && l == "from " + peer) {
      ++named[t];  // the line names its peer already: nothing added
    } else {
      EXPECT_EQ(l, "no walk on this thread") << "a line cut, mixed or wrongly named";
    }
  }
  for (int t = 0; t < kThreads; ++t) {
    EXPECT_EQ(pieces[t], kLines) << "thread " << t;
    EXPECT_EQ(named[t], kLines) << "thread " << t;
  }
}

// A session-set-up callback that takes its time, as a busy machine makes any call: the opens of
// many threads at once run it one at a time, and net-snmp never finds its list taken.
std::atomic<int> g_inside{0}, g_most{0}, g_calls{0};
int SlowSessionInit(int, int, void*, void*) {
  const int now = ++g_inside;
  for (int most = g_most; now > most && !g_most.compare_exchange_weak(most, now);) {
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(15));
  ++g_calls;
  --g_inside;
  return 0;
}

TEST(NetSnmpCallbacks, SessionsOpenedOnManyThreadsAtOnceNeverContendInNetSnmp) {
  EnsureNetSnmpReady();
  constexpr int kThreads = 16;
  ASSERT_EQ(snmp_register_callback(SNMP_CALLBACK_LIBRARY, SNMP_CALLBACK_SESSION_INIT,
                                   &SlowSessionInit, nullptr),
            SNMPERR_SUCCESS);
  testing::internal::CaptureStderr();
  std::atomic<int> opened{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&opened] {
      netsnmp_session templ;
      snmp_sess_init(&templ);
      templ.version = SNMP_VERSION_2c;
      char peer[] = "127.0.0.1:9";  // opened, never sent to
      templ.peername = peer;
      void* session = OpenWalkSession(&templ);
      if (session != nullptr) {
        ++opened;
        snmp_sess_close(session);
      }
    });
  }
  for (std::thread& t : threads) t.join();
  const std::string err = testing::internal::GetCapturedStderr();
  snmp_unregister_callback(SNMP_CALLBACK_LIBRARY, SNMP_CALLBACK_SESSION_INIT, &SlowSessionInit,
                           nullptr, 1);
  EXPECT_EQ(opened.load(), kThreads);
  EXPECT_EQ(g_calls.load(), kThreads);
  EXPECT_EQ(g_most.load(), 1) << "the callback list ran on two threads at once";
  EXPECT_EQ(err, "") << "net-snmp waited for its own callback lock";
}

}  // namespace
