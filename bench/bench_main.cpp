// The Linux benchmark: every figure of the library against a floor measured in the same run,
// printed as one table. Request cost and event latency are timed in interleaved rounds; the
// scaling over game threads runs under Google Benchmark; idle wake-ups are read from the
// kernel's counters of the message thread; heap allocations are counted by the malloc of this
// program, which the library's calls reach too; resident memory comes from a separate probe
// process that loads the library itself.
//
//   rallylink_bench [--quick] [--rows FILE]...
//
// --quick shortens every measurement (for a check that the program works, not for figures);
// each --rows FILE appends the table rows written by another run (the Wine program).
#include <benchmark/benchmark.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>

#include "bench_common.h"
#include "rallylink.h"

// ---------------------------------------------------------------------------------------------
// Heap allocations: this program's malloc counts every call, the library's included, and
// hands the work to the C library's own allocator.

extern "C" void* __libc_malloc(size_t size);
extern "C" void* __libc_calloc(size_t count, size_t size);
extern "C" void* __libc_realloc(void* block, size_t size);
extern "C" void __libc_free(void* block);

static std::atomic<uint64_t> gAllocations{0};

extern "C" void* malloc(size_t size) {
  gAllocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_malloc(size);
}
extern "C" void* calloc(size_t count, size_t size) {
  gAllocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_calloc(count, size);
}
extern "C" void* realloc(void* block, size_t size) {
  gAllocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_realloc(block, size);
}
extern "C" void free(void* block) { __libc_free(block); }

namespace {

bool gQuick = false;
Gate gEventGate;
std::atomic<long> gCallbackThread{0};

long ThreadId() { return static_cast<long>(syscall(SYS_gettid)); }

int RLCALL CountVote(const char*, uint32_t, unsigned char, uint32_t) {
  gCallbackThread = ThreadId();
  gEventGate.Post();
  return 0;
}

int RLCALL TakeResults(uint32_t, char, uint32_t, PlayerResult* players, uint32_t) {
  RLFreeGameResults(players);
  gEventGate.Post();
  return 0;
}

uint32_t ResultsEventFrame(uint32_t giid, uint8_t* frame) {
  uint8_t payload[14 + 2 * 36] = {0x21};
  auto put = [&](size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) payload[at + i] = static_cast<uint8_t>(v >> (8 * i));
  };
  put(1, giid);
  payload[5] = 1;
  put(6, 2);
  put(10, 2 * 36);
  memcpy(payload + 14, "First", 6);
  memcpy(payload + 14 + 36, "Second", 7);
  return BuildFrame(payload, sizeof payload, frame);
}

// Sends count events built by makeFrame, each once the previous one reached its callback.
template <typename MakeFrame>
int SendPacedEvents(BenchSession& session, int count, MakeFrame makeFrame) {
  uint8_t frame[128];
  int delivered = 0;
  for (int i = 0; i < count; ++i) {
    uint32_t size = makeFrame(static_cast<uint32_t>(i), frame);
    session.Meetpoint().Send(frame, size);
    delivered += gEventGate.Wait(5000);
  }
  return delivered;
}

template <typename Work>
double AllocationsPer(int count, Work work) {
  uint64_t before = gAllocations.load();
  work();
  return static_cast<double>(gAllocations.load() - before) / count;
}

std::vector<std::string> AllocationRows(BenchSession& session, FloorLink& floor) {
  const int requests = 1000, events = gQuick ? 200 : 1000;
  double library = AllocationsPer(2 * requests, [&] {
    for (int i = 0; i < requests; ++i) {
      RLSendVote(static_cast<uint32_t>(i), 1);
      RLSendLobbyMessage(kLobbyFrom, kLobbyText);
    }
  });
  double floorPer = AllocationsPer(2 * requests, [&] {
    for (int i = 0; i < requests; ++i) {
      FloorSendVote(floor, static_cast<uint32_t>(i), 1);
      FloorSendLobbyMessage(floor, kLobbyFrom, kLobbyText);
    }
  });
  RLSetVotingCallback(CountVote, 0);
  double vote = AllocationsPer(events, [&] { SendPacedEvents(session, events, VoteEventFrame); });
  RLSetVotingCallback(nullptr, 0);
  RLSendGameResults(1, nullptr, 0, 0, 0, TakeResults, 0);  // installs the results callback
  double results =
      AllocationsPer(events, [&] { SendPacedEvents(session, events, ResultsEventFrame); });
  RLSendGameResults(1, nullptr, 0, 0, 0, nullptr, 0);
  return {
      TableRow("Heap allocations per request (RLSendVote, RLSendLobbyMessage)",
               Format("%.3f", library), Format("%.3f", floorPer), "-", "0"),
      TableRow("Heap allocations per event (MsgNewGameVote)", Format("%.3f", vote), "0", "-", "0"),
      TableRow("Heap allocations per event (MsgNewGameResults, block for the game)",
               Format("%.3f", results), "1", "-", "1 (the results block)")};
}

// ---------------------------------------------------------------------------------------------
// Idle: the context switches of the message thread while nothing arrives, against a thread
// of this program that waits on a condition for the same time.

long ContextSwitches(long tid) {
  std::ifstream status("/proc/self/task/" + std::to_string(tid) + "/status");
  std::string line;
  long total = 0;
  while (std::getline(status, line)) {
    if (line.rfind("voluntary_ctxt_switches:", 0) == 0 ||
        line.rfind("nonvoluntary_ctxt_switches:", 0) == 0) {
      total += atol(line.c_str() + line.find(':') + 1);
    }
  }
  return total;
}

std::vector<std::string> IdleRows(BenchSession& session, int seconds) {
  RLSetVotingCallback(CountVote, 0);
  SendPacedEvents(session, 1, VoteEventFrame);  // tells which thread the callbacks run on
  RLSetVotingCallback(nullptr, 0);
  long messageThread = gCallbackThread;

  Gate release;
  std::atomic<long> floorThread{0};
  std::thread idle([&] {
    floorThread = ThreadId();
    release.Wait(3600 * 1000);
  });
  while (floorThread == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // both are asleep by now

  long libraryBefore = ContextSwitches(messageThread);
  long floorBefore = ContextSwitches(floorThread);
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  long libraryWakeups = ContextSwitches(messageThread) - libraryBefore;
  long floorWakeups = ContextSwitches(floorThread) - floorBefore;
  release.Post();
  idle.join();
  return {TableRow(Format("Idle wake-ups of the message thread in %d s", seconds),
                   Format("%ld", libraryWakeups), Format("%ld", floorWakeups), "-", "0")};
}

// ---------------------------------------------------------------------------------------------
// Scaling: requests per second from 1, 2, 4 and 8 game threads, library and floor.

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

std::vector<std::string> ScalingRows(FloorLink& floor) {
  gFloor = &floor;
  const double minTime = gQuick ? 0.05 : 0.5;
  const int repetitions = gQuick ? 1 : 5;
  for (auto* b : {benchmark::RegisterBenchmark("library", LibraryRequests),
                  benchmark::RegisterBenchmark("floor", FloorRequests)}) {
    b->Threads(1)->Threads(2)->Threads(4)->Threads(8)->UseRealTime()->MinTime(minTime);
    b->Repetitions(repetitions);
  }
  // Repetitions of the library and the floor run in a random interleaved order.
  std::string interleave = "--benchmark_enable_random_interleaving=true";
  char* args[] = {const_cast<char*>("rallylink_bench"), &interleave[0], nullptr};
  int argc = 2;
  benchmark::Initialize(&argc, args);
  CollectRates collect;
  benchmark::RunSpecifiedBenchmarks(&collect);

  std::vector<std::string> rows;
  double single = SpreadOf(collect.rates["library"][1]).median;
  for (int threads : {1, 2, 4, 8}) {
    Spread library = SpreadOf(collect.rates["library"][threads]);
    Spread floorRate = SpreadOf(collect.rates["floor"][threads]);
    rows.push_back(TableRow(
        Format("Scaling, RLSendVote from %d game thread%s", threads, threads > 1 ? "s" : ""),
        Format("%.0f /s (%.0f-%.0f; x%.2f of 1 thread)", library.median, library.low, library.high,
               library.median / single),
        Format("%.0f /s", floorRate.median), Format("%.3f", library.median / floorRate.median),
        "-"));
  }
  return rows;
}

// ---------------------------------------------------------------------------------------------
// Memory: the probe reports its resident size before it loads the library and after it has
// run a session with requests and events.

std::vector<std::string> MemoryRows() {
  std::string out = "memory-probe.txt";
  std::string command = std::string(RALLYLINK_MEMORY_PROBE) + " " + RALLYLINK_LIBRARY_PATH + " " +
                        out + " </dev/null";
  long without = 0, with = 0;
  if (system(command.c_str()) == 0) {
    std::ifstream in(out);
    in >> without >> with;
  }
  if (without <= 0) return {TableRow("Resident memory", "probe failed", "-", "-", "-")};
  return {TableRow("Resident memory, session open vs library not loaded",
                   Format("%ld KiB (+%ld KiB)", with, with - without), Format("%ld KiB", without),
                   Format("%.3f", static_cast<double>(with) / without), "-")};
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> extraRows;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--quick") == 0) {
      gQuick = true;
    } else if (strcmp(argv[i], "--rows") == 0 && i + 1 < argc) {
      std::ifstream in(argv[++i]);
      std::string line;
      while (std::getline(in, line)) {
        if (!line.empty()) extraRows.push_back(line);
      }
    } else {
      fprintf(stderr, "usage: %s [--quick] [--rows FILE]...\n", argv[0]);
      return 2;
    }
  }

  std::vector<std::string> rows;
  bool started;
  {
    BenchSession session;
    started = session.Started();
    if (started) {
      FloorLink floor;
      auto add = [&](const std::vector<std::string>& more) {
        rows.insert(rows.end(), more.begin(), more.end());
      };
      fprintf(stderr, "request cost...\n");
      RequestCosts cost = MeasureRequestCost(floor, gQuick ? 5 : 60, gQuick ? 100 : 300);
      fprintf(stderr, "event latency...\n");
      EventLatency latency = MeasureEventLatency(session, floor.log, gQuick ? 1000 : 10000, 50);
      add(CommonRows("Linux", cost, latency));
      fprintf(stderr, "scaling...\n");
      add(ScalingRows(floor));
      fprintf(stderr, "allocations...\n");
      add(AllocationRows(session, floor));
      fprintf(stderr, "idle...\n");
      add(IdleRows(session, gQuick ? 1 : 10));
      fprintf(stderr, "memory...\n");
      add(MemoryRows());
    }
  }
  if (!started) {
    fprintf(stderr, "no session: RLInitialise failed or Meetpoint's stand-in got no connection\n");
    return 1;
  }
  printf("| Figure | Library | Floor (same run) | Ratio (spread) | Target |\n");
  printf("|---|---|---|---|---|\n");
  for (const std::string& row : rows) printf("%s\n", row.c_str());
  for (const std::string& row : extraRows) printf("%s\n", row.c_str());
  return 0;
}
