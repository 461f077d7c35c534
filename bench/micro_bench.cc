// Micro benchmarks of the device's hot paths, in-process:
//
//   BM_RoundDone           one round end in frame mode 2, no observer attached (the host does
//                          nothing with what it is handed); allocs/round counted
//   BM_RunCheckThreshold   the alarm evaluation alone (429 signals), after a warm-up round, so
//                          every signal's state is already known to the host; allocs/round
//   BM_StoreBinding        taking one INTEGER / one opaque float binding into the record
//   BM_Walk                one whole walk of the 1269-leaf unit against an in-process
//                          simulator, default request (0) and max_repetitions 100
//   BM_DestroyDark         destroying own-thread devices (default settings: 10 s per attempt,
//                          one retry) whose unit has gone dark, each with its first request in
//                          flight, one after another as a host shutting down does: 1 and 50
//                          devices; real time per device
//
// Each runs three times; the RESULT lines carry the medians: the thread's CPU time, except for
// walks and destructions (real time). Allocations are those of the benchmark's own thread
// (bench/alloc_counter.h), so the simulator's thread never counts. The device writes progress lines
// to standard output at every walk and round; those still go through write(2) but to /dev/null, and
// the report goes to the original standard output. After the usual table, one "RESULT key value"
// line per figure follows, for scripts/bench.sh.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <ext/stdio_filebuf.h>
#include <json/reader.h>

#include "bench/alloc_counter.h"
#include "device/value_store.h"
#include "sim/agent.h"
#include "sim/dataset.h"
#include "tests/support/device_probe.h"

namespace {

constexpr unsigned kAddress = 1;

Json::Value Parse(const std::string& text) {
  Json::Value v;
  Json::CharReaderBuilder b;
  std::string errors;
  std::unique_ptr<Json::CharReader> r(b.newCharReader());
  if (!r->parse(text.data(), text.data() + text.size(), &v, &errors)) {
    std::cerr << "micro_bench: bad JSON: " << errors << std::endl;
    std::abort();
  }
  return v;
}

// A device in frame mode 2 holding what a walk of the simulator's default unit leaves in the
// record: communication normal (slot 1 = 1) and its three active alarm flags, so the round
// reports 3 signals in alarm and 426 normal ones.
// Every benchmark runs three times and reports the median: the machine is shared and noisy.
void Repeated(benchmark::internal::Benchmark* b) { b->Repetitions(3)->ReportAggregatesOnly(true); }
void RepeatedShort(benchmark::internal::Benchmark* b) { Repeated(b->MinTime(0.25)); }

void ConfigureForRounds(DeviceProbe* dev) {
  dev->Init(std::weak_ptr<QRMController>(), 1, Json::Value());
  dev->InitSetting(Parse(R"({"appSetting":{"b_mode":2}})"));
  SetSlot(dev->data(), 1, 1.0f);
  SetSlot(dev->data(), 2, static_cast<float>(kAddress));
  for (unsigned leaf : pdusim::Dataset::DefaultActiveAlarms()) {
    SetSlot(dev->data(), static_cast<int>(leaf), 1.0f);
  }
}

void BM_RoundDone(benchmark::State& state) {
  DeviceProbe dev;
  ConfigureForRounds(&dev);
  dev.RoundDone();  // warm-up: the host learns every signal's state
  const long before = ThreadAllocations();
  for (auto _ : state) dev.RoundDone();
  const long allocations = ThreadAllocations() - before;
  state.counters["allocs/round"] =
      benchmark::Counter(static_cast<double>(allocations), benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_RoundDone)->Unit(benchmark::kMicrosecond)->Apply(RepeatedShort);

void BM_RunCheckThreshold(benchmark::State& state) {
  DeviceProbe dev;
  ConfigureForRounds(&dev);
  dev.RoundDone();  // warm-up round
  const long before = ThreadAllocations();
  for (auto _ : state) {
    dev.set_counter(1);  // as RoundDone does before the evaluation
    dev.RunCheckThreshold();
  }
  const long allocations = ThreadAllocations() - before;
  state.counters["allocs/round"] =
      benchmark::Counter(static_cast<double>(allocations), benchmark::Counter::kAvgIterations);
  state.counters["ns/signal"] =
      benchmark::Counter(429.0 * static_cast<double>(state.iterations()),
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_RunCheckThreshold)->Unit(benchmark::kMicrosecond)->Apply(RepeatedShort);

// One binding of leaf 7 of unit 1, as net-snmp's parser leaves it.
struct Binding {
  std::vector<oid> root{1, 3, 6, 1, 4, 1, 61333, 1, 1, 4, kAddress};
  std::vector<oid> name{1, 3, 6, 1, 4, 1, 61333, 1, 1, 4, kAddress, 7, 0};
  long integer = -42;
  float real = 229.5f;
  netsnmp_variable_list var{};

  explicit Binding(bool opaque_float) {
    var.name = name.data();
    var.name_length = name.size();
    if (opaque_float) {
      var.type = ASN_OPAQUE_FLOAT;
      var.val.floatVal = &real;
      var.val_len = sizeof real;
    } else {
      var.type = ASN_INTEGER;
      var.val.integer = &integer;
      var.val_len = sizeof integer;
    }
  }
};

void BM_StoreBinding(benchmark::State& state) {
  Binding b(state.range(0) != 0);
  SNMP_MARLUXA_AC_POWER_Data_t record{};
  const long before = ThreadAllocations();
  for (auto _ : state) {
    benchmark::DoNotOptimize(StoreBinding(record, b.var, b.root.data(), b.root.size()));
    benchmark::ClobberMemory();
  }
  const long allocations = ThreadAllocations() - before;
  state.counters["allocs/binding"] =
      benchmark::Counter(static_cast<double>(allocations), benchmark::Counter::kAvgIterations);
  state.SetLabel(state.range(0) != 0 ? "opaque float" : "INTEGER");
}
BENCHMARK(BM_StoreBinding)->ArgName("float")->Arg(0)->Arg(1)->Apply(RepeatedShort);

void BM_Walk(benchmark::State& state) {
  const int repetitions = static_cast<int>(state.range(0));
  pdusim::Agent agent(pdusim::Dataset::DefaultUnit({kAddress}));
  std::string error;
  if (!agent.Start(0, &error)) {
    state.SkipWithError(("simulator: " + error).c_str());
    return;
  }
  DeviceProbe dev;
  dev.Init(std::weak_ptr<QRMController>(), 1, Json::Value());
  std::string app = R"("b_mode":2,"use_thread":0,"timeout_ms":2000,"retries":0)";
  if (repetitions > 0) app += ",\"max_repetitions\":" + std::to_string(repetitions);
  dev.InitSetting(Parse("{\"ip\":\"127.0.0.1:" + std::to_string(agent.port()) + "\",\"address\":" +
                        std::to_string(kAddress) + ",\"appSetting\":{" + app + "}}"));
  dev.RefreshStatus();  // warm-up walk
  if (Slot(dev.data(), 2) != static_cast<float>(kAddress)) {
    state.SkipWithError("the warm-up walk did not reach leaf 2");
    return;
  }
  agent.ResetCounters();
  const long before = ThreadAllocations();
  for (auto _ : state) dev.RefreshStatus();
  const long allocations = ThreadAllocations() - before;
  const double walks = static_cast<double>(state.iterations());
  const double exchanges = static_cast<double>(agent.requests());
  agent.Stop();
  using benchmark::Counter;
  state.counters["exchanges/walk"] = Counter(exchanges / walks);
  state.counters["allocs/walk"] = Counter(static_cast<double>(allocations) / walks);
  state.counters["allocs/exchange"] = Counter(static_cast<double>(allocations) / exchanges);
  // Walk time over the simulator's request count: real time, as the walk mostly waits.
  state.counters["time/exchange"] = Counter(exchanges, Counter::kIsRate | Counter::kInvert);
}
BENCHMARK(BM_Walk)
    ->ArgName("max_repetitions")
    ->Arg(0)
    ->Arg(100)
    ->UseRealTime()
    ->MinTime(0.5)
    ->Unit(benchmark::kMillisecond)
    ->Apply(Repeated);

void BM_DestroyDark(benchmark::State& state) {
  const int count = static_cast<int>(state.range(0));
  pdusim::Agent agent(pdusim::Dataset::DefaultUnit({kAddress}));
  std::string error;
  if (!agent.Start(0, &error)) {
    state.SkipWithError(("simulator: " + error).c_str());
    return;
  }
  pdusim::Faults dark;
  dark.silent = true;
  agent.SetFaults(dark);
  const Json::Value config = Parse("{\"ip\":\"127.0.0.1:" + std::to_string(agent.port()) +
                                   "\",\"address\":1,\"appSetting\":{\"use_thread\":1}}");
  for (auto _ : state) {
    state.PauseTiming();
    std::vector<DeviceProbe*> devices;
    const uint64_t before = agent.requests();
    for (int i = 0; i < count; ++i) {
      devices.push_back(new DeviceProbe);
      devices.back()->InitSetting(config);
    }
    // Until every device has its first request in flight (bounded: 10 s).
    for (int i = 0; i < 2000 && agent.requests() < before + static_cast<uint64_t>(count); ++i) {
      usleep(5000);
    }
    if (agent.requests() < before + static_cast<uint64_t>(count)) {
      state.SkipWithError("not every device sent its first request");
    }
    state.ResumeTiming();
    for (DeviceProbe* d : devices) delete d;
  }
  state.counters["devices"] = count;
  state.counters["time/device"] =
      benchmark::Counter(static_cast<double>(count) * static_cast<double>(state.iterations()),
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_DestroyDark)
    ->ArgName("devices")
    ->Arg(1)
    ->Arg(50)
    ->Iterations(10)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond)
    ->Apply(Repeated);

// The console table, plus the medians kept for the RESULT lines.
class Reporter : public benchmark::ConsoleReporter {
 public:
  Reporter() : ConsoleReporter(OO_Tabular) {}
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (!run.error_occurred && run.run_type == Run::RT_Aggregate &&
          run.aggregate_name == "median") {
        kept_.push_back(run);
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  const std::vector<Run>& runs() const { return kept_; }

 private:
  std::vector<Run> kept_;
};

// "BM_Walk/max_repetitions:100/min_time:0.500/real_time_median" -> "walk_rep100" etc.
std::string Key(const std::string& name) {
  if (name.rfind("BM_RoundDone", 0) == 0) return "round_done";
  if (name.rfind("BM_RunCheckThreshold", 0) == 0) return "check_threshold";
  if (name.rfind("BM_StoreBinding/float:0", 0) == 0) return "store_integer";
  if (name.rfind("BM_StoreBinding/float:1", 0) == 0) return "store_float";
  if (name.rfind("BM_Walk/max_repetitions:0/", 0) == 0) return "walk_default";
  if (name.rfind("BM_Walk/max_repetitions:100/", 0) == 0) return "walk_rep100";
  if (name.rfind("BM_DestroyDark/devices:1/", 0) == 0) return "destroy_dark_1";
  if (name.rfind("BM_DestroyDark/devices:50/", 0) == 0) return "destroy_dark_50";
  return "";
}

std::string CounterKey(const std::string& counter) {
  std::string out;
  for (char c : counter) out += (c == '/' ? '_' : c);
  return out;
}

// The counts mean nothing unless the replacement allocator is the one in use: a malloc and an
// operator new (a vector object and its storage) must each show.
bool AllocationCountingWorks() {
  const long before = ThreadAllocations();
  void* volatile p = std::malloc(64);
  std::free(p);
  auto* v = new std::vector<int>(100);
  benchmark::DoNotOptimize(v->data());
  delete v;
  return ThreadAllocations() - before >= 3;
}

}  // namespace

int main(int argc, char** argv) {
  if (!AllocationCountingWorks()) {
    std::cerr << "micro_bench: heap allocations are not being counted" << std::endl;
    return 1;
  }
  // Standard output becomes /dev/null for the device; the report keeps the original.
  std::cout.flush();
  const int report_fd = dup(STDOUT_FILENO);
  const int null_fd = open("/dev/null", O_WRONLY);
  if (report_fd < 0 || null_fd < 0 || dup2(null_fd, STDOUT_FILENO) < 0) {
    std::perror("micro_bench: redirecting standard output");
    return 1;
  }
  close(null_fd);
  __gnu_cxx::stdio_filebuf<char> report_buf(report_fd, std::ios::out);
  std::ostream report(&report_buf);

  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  Reporter reporter;
  reporter.SetOutputStream(&report);
  reporter.SetErrorStream(&std::cerr);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();

  for (const auto& run : reporter.runs()) {
    const std::string key = Key(run.benchmark_name());
    if (key.empty()) continue;
    // Times in microseconds whatever the benchmark's display unit: real time for walks, which
    // mostly wait for the simulator; the thread's CPU time for the rest, which never wait and
    // would otherwise count the time other processes of this shared machine hold the core.
    const double to_us = 1e6 / benchmark::GetTimeUnitMultiplier(run.time_unit);
    const bool walk = key.rfind("walk", 0) == 0 || key.rfind("destroy", 0) == 0;
    report << "RESULT " << key << "_us "
           << (walk ? run.GetAdjustedRealTime() : run.GetAdjustedCPUTime()) * to_us << "\n";
    for (const auto& c : run.counters) {
      double value = c.second.value;
      if (c.first == "time/exchange" || c.first == "ns/signal" || c.first == "time/device") {
        // Rate counters are already finished by the reporter: seconds per unit.
        const char* name = c.first == "ns/signal"       ? "ns_per_signal"
                           : c.first == "time/exchange" ? "us_per_exchange"
                                                        : "us_per_device";
        value *= (c.first == "ns/signal" ? 1e9 : 1e6);
        report << "RESULT " << key << "_" << name << " " << value << "\n";
        continue;
      }
      report << "RESULT " << key << "_" << CounterKey(c.first) << " " << value << "\n";
    }
  }
  report.flush();
  return 0;
}
