// Scaling: RLSendVote calls per second from 1, 2, 4 and 8 game threads, library and floor,
// under Google Benchmark (real time, repetitions in random interleaved order). The far ends
// read on threads of their own, as the calls come from several threads at once.
#include <benchmark/benchmark.h>

#include <map>

#include "linux_figures.h"
#include "measure.h"
#include "rallylink.h"
#include "results.h"

namespace {

FloorLink* gFloor = nullptr;

void LibraryRequests(benchmark::State& state) {
  uint32_t giid = 0;
  for (auto _ : state) RLSendVote(giid++, 1);
  state.SetItemsProcessed(state.iterations());
}

void FloorRequests(benchmark::State& state) {
  uint32_t giid = 0;
  for (auto _ : state) FloorSendVote(*gFloor, giid++, 1);
  state.SetItemsProcessed(state.iterations());
}

// Keeps the request rate of every repetition, by benchmark and thread count.
class CollectRates : public benchmark::BenchmarkReporter {
 public:
  bool ReportContext(const Context&) override { return true; }
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Iteration || run.error_occurred) continue;
      auto rate = run.counters.find("items_per_second");
      if (rate == run.counters.end()) continue;
      rates[run.run_name.function_name][run.threads].push_back(rate->second.value);
    }
  }
  std::map<std::string, std::map<int, std::vector<double>>> rates;
};

}  // namespace

std::vector<std::string> ScalingRows(BenchSession& session, FloorLink& floor, bool quick) {
  gFloor = &floor;
  session.Meetpoint().StartReader();
  floor.Peer().StartReader();
  const double minTime = quick ? 0.05 : 0.5;
  const int repetitions = quick ? 1 : 5;
  for (auto* b : {benchmark::RegisterBenchmark("library", LibraryRequests),
                  benchmark::RegisterBenchmark("floor", FloorRequests)}) {
    b->Threads(1)->Threads(2)->Threads(4)->Threads(8)->UseRealTime()->MinTime(minTime);
    b->Repetitions(repetitions);
  }
  std::string interleave = "--benchmark_enable_random_interleaving=true";
  char* args[] = {const_cast<char*>("rallylink_bench"), &interleave[0], nullptr};
  int argc = 2;
  benchmark::Initialize(&argc, args);
  CollectRates collect;
  benchmark::RunSpecifiedBenchmarks(&collect);
  session.Meetpoint().StopReader();
  floor.Peer().StopReader();

  std::vector<std::string> rows;
  double single = SpreadOf(collect.rates["library"][1]).median;
  for (int threads : {1, 2, 4, 8}) {
    Spread library = SpreadOf(collect.rates["library"][threads]);
    Spread floorRate = SpreadOf(collect.rates["floor"][threads]);
    rows.push_back(TableRow(
        Format("Scaling, RLSendVote from %d game thread%s, reader on its own thread", threads,
               threads > 1 ? "s" : ""),
        Format("%.0f /s (%.0f-%.0f; x%.2f of 1 thread)", library.median, library.low, library.high,
               library.median / single),
        Format("%.0f /s", floorRate.median),
        Format("%.3f (%d repetitions)", library.median / floorRate.median, repetitions), "-"));
  }
  return rows;
}
