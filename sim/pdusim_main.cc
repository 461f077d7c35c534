// pdusim: serves a simulated AC power-distribution unit over SNMPv2c on 127.0.0.1 until SIGINT or
// SIGTERM (then exits 0), or prints its dataset as .snmprec with --dump-snmprec. Bad arguments
// print one line to stderr and exit 2.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "sim/agent.h"
#include "sim/dataset.h"
#include "sim/faults.h"

namespace {

const char kHelp[] =
    R"(Usage: pdusim [--port N] [--data FILE | --addresses LIST] [--community TEXT] [FAULT]...
  or:  pdusim --dump-snmprec [--data FILE | --addresses LIST]
  or:  pdusim --help | --version
Serves a simulated AC power-distribution unit over SNMPv2c (GET, GETNEXT, GETBULK) on
127.0.0.1, printing "pdusim listening on 127.0.0.1:PORT" once ready, until SIGINT or SIGTERM.
A wrong option or value is named in one line on standard error; the exit status is then 2.

Options:
  --port N              UDP port on 127.0.0.1 (default 0: any free port)
  --data FILE           serve the objects of FILE (.snmprec, below) instead of the default unit
                        (default: the default unit)
  --addresses LIST      addresses of the default unit: 1,2,3 or 1-64 or 1,5-8 (default 1)
  --community TEXT      the community answered; others are ignored (default Tormelix@2027q)
  --dump-snmprec        print the dataset as .snmprec to stdout and exit (default: serve it)
  -h, --help            print this text and exit
  --version             print the version and exit

The default unit serves, for each address A, leaves 1..1269 as 1.3.6.1.4.1.61333.1.1.4.A.LEAF.0:
leaf 1 = 1 (communication normal), leaf 2 = A, leaves 3..16 floats (voltages 220+A%11, 229.5,
228.5 V; currents 4.25, 3.75, 5 A; powers 880, 760, 1020 W; power factors 0.875, 0.9, 0.95;
frequency 50 Hz; total power 2660 W), leaf 17 = Gauge32 A*1000, alarm flags 177..604 = 0
except 178, 250 and 381 = 1, leaves 605/606 = floats 253/187, leaf 607 = 16, others 0.

.snmprec format (also read by snmpsim): one object per line, OID|TAG|VALUE, OID without a
leading dot; blank lines and lines starting with # are ignored. TAG is 2 INTEGER, 4 OCTET
STRING, 64 IpAddress, 65 Counter32, 66 Gauge32, 67 TimeTicks, 68 Opaque; a trailing x (4x,
64x, 68x) means VALUE is hex. A float is an Opaque holding 9f 78 04 and the big-endian IEEE
single, e.g. 1.3.6.1.4.1.61333.1.1.4.1.15.0|68x|9f780442480000 is 50.0.

Faults (request numbers count from 1 since start; every fault is off by default):
  --silent                  never answer
  --silent-after N          answer the first N requests, then nothing
  --error-status S          answer with error status S (e.g. 5 genErr, 1 tooBig), index 1 ...
  --error-at N              ... from request N on (default 1) ...
  --error-count C           ... for C requests (default 1; 0 = all)
  --repeat-oid              GETNEXT/GETBULK answer the OID asked for instead of its successor
  --endless-subtree         past a unit's last leaf, answer ROOT.A.1270.n, n = 1, 2, 3 ...
  --exception-leaf L        serve leaf L as an exception instead of its value ...
  --exception NAME          ... noSuchObject (default), noSuchInstance or endOfMibView
  --foreign-binding         GETBULK answers carry 1.3.6.1.4.1.61333.1.1.5.0 as 2nd binding
  --bulk-successors K       answer every GETBULK with K successors of its first binding
  --bare-float-leaf L       send leaf L with the bare tag 0x48 (4 bytes, 25.0)
  --bare-floats             send every float the older way: bare tag 0x48, its own 4 bytes
  --garbage before|instead  send a garbage datagram before the answer, or instead of it
  --wrong-request-id        answer with a different request id
  --truncate                send the answer cut to half its length
  --delay-ms MS             wait MS milliseconds before each answer
  --answer-from port|address
                            send answers from another port of 127.0.0.1, or from 127.0.0.2
                            (default: from the port the request came to)
  --max-repetitions-limit N
                            answer GETBULK with max-repetitions > N by tooBig, no bindings

Exit status:
  0  stopped by SIGINT or SIGTERM; --dump-snmprec, --help or --version done
  1  the UDP port could not be bound
  2  a wrong option or value, or a data file that cannot be read, named in one line on
     standard error
)";

[[noreturn]] void Usage(const std::string& why) {
  // One call, so the line reaches standard error whole.
  std::fprintf(stderr, "pdusim: %s (see pdusim --help)\n", why.c_str());
  std::exit(2);
}

unsigned long Number(const std::string& flag, const std::string& text, unsigned long max) {
  char* end = nullptr;
  unsigned long v = std::strtoul(text.c_str(), &end, 10);
  if (text.empty() || text[0] < '0' || text[0] > '9' || *end != '\0' || v > max) {
    Usage(flag + ": bad number '" + text + "'");
  }
  return v;
}

std::vector<unsigned> Addresses(const std::string& text) {
  std::vector<unsigned> out;
  size_t i = 0;
  while (i <= text.size()) {
    size_t comma = text.find(',', i);
    if (comma == std::string::npos) comma = text.size();
    std::string item = text.substr(i, comma - i);
    size_t dash = item.find('-');
    unsigned lo = unsigned(Number("--addresses", item.substr(0, dash), 255));
    unsigned hi = dash == std::string::npos
                      ? lo
                      : unsigned(Number("--addresses", item.substr(dash + 1), 255));
    if (hi < lo) Usage("--addresses: empty range '" + item + "'");
    for (unsigned a = lo; a <= hi; ++a) out.push_back(a);
    i = comma + 1;
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  uint16_t port = 0;
  std::string data_file, community = pdusim::kDefaultCommunity;
  std::vector<unsigned> addresses{1};
  bool dump = false, have_addresses = false;
  pdusim::Faults f;
  const unsigned long kU32 = 0xffffffffUL;

  for (int i = 1; i < argc; ++i) {
    std::string flag = argv[i];
    auto arg = [&]() -> std::string {
      if (i + 1 >= argc) Usage(flag + " needs a value");
      return argv[++i];
    };
    if (flag == "--help" || flag == "-h") {
      std::cout << kHelp;
      return 0;
    } else if (flag == "--version") {
      std::cout << std::string("pdusim ") + QRM_VERSION + "\n" << std::flush;
      return 0;
    } else if (flag == "--port") {
      port = uint16_t(Number(flag, arg(), 65535));
    } else if (flag == "--data") {
      data_file = arg();
    } else if (flag == "--addresses") {
      addresses = Addresses(arg());
      have_addresses = true;
    } else if (flag == "--community") {
      community = arg();
    } else if (flag == "--dump-snmprec") {
      dump = true;
    } else if (flag == "--silent") {
      f.silent = true;
    } else if (flag == "--silent-after") {
      f.silent_after = Number(flag, arg(), kU32);
    } else if (flag == "--error-status") {
      f.error_status = int(Number(flag, arg(), 18));
    } else if (flag == "--error-at") {
      f.error_at = Number(flag, arg(), kU32);
    } else if (flag == "--error-count") {
      f.error_count = Number(flag, arg(), kU32);
    } else if (flag == "--repeat-oid") {
      f.repeat_oid = true;
    } else if (flag == "--endless-subtree") {
      f.endless_subtree = true;
    } else if (flag == "--exception-leaf") {
      f.exception_leaf = unsigned(Number(flag, arg(), kU32));
    } else if (flag == "--exception") {
      std::string name = arg();
      if (name == "noSuchObject") {
        f.exception_tag = 0x80;
      } else if (name == "noSuchInstance") {
        f.exception_tag = 0x81;
      } else if (name == "endOfMibView") {
        f.exception_tag = 0x82;
      } else {
        Usage("--exception: expected noSuchObject, noSuchInstance or endOfMibView");
      }
    } else if (flag == "--foreign-binding") {
      f.foreign_binding = true;
    } else if (flag == "--bulk-successors") {
      f.bulk_successors = unsigned(Number(flag, arg(), 10000));
    } else if (flag == "--bare-float-leaf") {
      f.bare_float_leaf = unsigned(Number(flag, arg(), kU32));
    } else if (flag == "--bare-floats") {
      f.bare_floats = true;
    } else if (flag == "--garbage") {
      std::string when = arg();
      if (when != "before" && when != "instead") Usage("--garbage: expected before or instead");
      f.garbage =
          when == "before" ? pdusim::Faults::Garbage::kBefore : pdusim::Faults::Garbage::kInstead;
    } else if (flag == "--wrong-request-id" || flag == "--truncate") {
      if (f.mangle != pdusim::Faults::Mangle::kNone) {
        Usage("--wrong-request-id and --truncate exclude each other");
      }
      f.mangle = flag == "--truncate" ? pdusim::Faults::Mangle::kTruncated
                                      : pdusim::Faults::Mangle::kWrongRequestId;
    } else if (flag == "--answer-from") {
      const std::string from = arg();
      if (from != "port" && from != "address") Usage("--answer-from: expected port or address");
      f.answer_from = from == "port" ? pdusim::Faults::AnswerFrom::kOtherPort
                                     : pdusim::Faults::AnswerFrom::kOtherAddress;
    } else if (flag == "--delay-ms") {
      f.delay_ms = unsigned(Number(flag, arg(), 600000));
    } else if (flag == "--max-repetitions-limit") {
      f.max_repetitions_limit = unsigned(Number(flag, arg(), kU32));
    } else {
      Usage("unknown argument '" + flag + "'");
    }
  }
  if (!data_file.empty() && have_addresses) Usage("--data and --addresses exclude each other");

  pdusim::Dataset data;
  std::string error;
  if (data_file.empty()) {
    data = pdusim::Dataset::DefaultUnit(addresses);
  } else if (!pdusim::Dataset::LoadSnmprec(data_file, &data, &error)) {
    Usage(error);
  }
  if (dump) {
    std::cout << data.ToSnmprec() << std::flush;
    return 0;
  }

  // Block the stop signals before the agent thread exists so that only sigwait sees them.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);

  pdusim::Agent agent(std::move(data), community);
  agent.SetFaults(f);
  if (!agent.Start(port, &error)) {
    std::fprintf(stderr, "pdusim: %s\n", error.c_str());
    return 1;
  }
  std::cout << "pdusim listening on 127.0.0.1:" + std::to_string(agent.port()) + "\n" << std::flush;
  int sig = 0;
  sigwait(&stop, &sig);
  agent.Stop();
  return 0;
}
