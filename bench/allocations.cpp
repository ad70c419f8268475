// Heap allocations per request and per event. This program's malloc, calloc and realloc count
// every call, the library's included (it is loaded into the same process), and hand the work
// to the C library's own allocator. Everything the measuring code itself needs (frames, the
// reader thread) is made before the counting starts.
#include <atomic>
#include <cstdlib>

#include "frames.h"
#include "linux_figures.h"
#include "rallylink.h"
#include "results.h"

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

int RLCALL CountVote(const char*, uint32_t, unsigned char, uint32_t) {
  EventArrived();
  return 0;
}

int RLCALL TakeResults(uint32_t, char, uint32_t, PlayerResult* players, uint32_t) {
  RLFreeGameResults(players);
  EventArrived();
  return 0;
}

template <typename Work>
double AllocationsPer(int count, Work work) {
  uint64_t before = gAllocations.load();
  work();
  return static_cast<double>(gAllocations.load() - before) / count;
}

std::vector<mp::Bytes> Frames(int count, mp::Bytes (*make)(uint32_t)) {
  std::vector<mp::Bytes> frames;
  for (int i = 0; i < count; ++i) frames.push_back(make(static_cast<uint32_t>(i)));
  return frames;
}

}  // namespace

std::vector<std::string> AllocationRows(BenchSession& session, FloorLink& floor, bool quick) {
  const int requests = 1000, events = quick ? 200 : 1000;
  session.Meetpoint().StartReader();
  floor.Peer().StartReader();
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
  session.Meetpoint().StopReader();
  floor.Peer().StopReader();

  std::vector<mp::Bytes> votes = Frames(events, VoteEventFrame);
  std::vector<mp::Bytes> results = Frames(events, ResultsEventFrame);
  RLSetVotingCallback(CountVote, 0);
  double vote = AllocationsPer(events, [&] { SendPacedEvents(session, votes); });
  RLSetVotingCallback(nullptr, 0);
  RLSendGameResults(1, nullptr, 0, 0, 0, TakeResults, 0);  // installs the results callback
  double result = AllocationsPer(events, [&] { SendPacedEvents(session, results); });
  RLSendGameResults(1, nullptr, 0, 0, 0, nullptr, 0);
  return {
      TableRow("Heap allocations per request (RLSendVote, RLSendLobbyMessage)",
               Format("%.3f", library), Format("%.3f", floorPer), "-", "0"),
      TableRow("Heap allocations per event (MsgNewGameVote)", Format("%.3f", vote), "0", "-", "0"),
      TableRow("Heap allocations per event (MsgNewGameResults, block for the game)",
               Format("%.3f", result), "1", "-", "1 (the results block)")};
}
