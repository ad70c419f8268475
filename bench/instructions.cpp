// The instructions of a request against its floor, for callgrind: calls of each request on
// both sides with the reader inline, and collection on only while the calls run.
//
//   valgrind --tool=callgrind --collect-atstart=no rallylink_bench --instructions 2000
//   callgrind_annotate --inclusive=yes callgrind.out.<pid>
//
// The inclusive counts of RLSendVote, FloorSendVote, RLSendLobbyMessage and
// FloorSendLobbyMessage divided by the number of calls are the instructions per call; system
// calls count as nothing. With a side ("library" or "floor") only that side's calls are made,
// for counting each side's system calls in a run of its own:
//
//   strace -f -c rallylink_bench --instructions 10240 library
#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#else
#define CALLGRIND_TOGGLE_COLLECT
#endif

#include <cstdio>

#include "floor.h"
#include "linux_figures.h"
#include "peer.h"
#include "rallylink.h"

namespace {

// 256 calls, the far end read before them, outside the collection.
template <typename Call>
void Block(uint32_t first, GamePeer& peer, bool collect, Call call) {
  peer.ReadAvailable();
  if (collect) CALLGRIND_TOGGLE_COLLECT;
  for (uint32_t i = 0; i < 256; ++i) call(first + i);
  if (collect) CALLGRIND_TOGGLE_COLLECT;
}

}  // namespace

int CountInstructions(int calls, Sides sides) {
  BenchSession session;
  if (!session.Started()) return 1;
  FloorLink floor;
  GamePeer& meetpoint = session.Meetpoint();
  // The sides take turns every 256 calls: the cost of formatting the time stamp depends on the
  // time (a one-digit second is printed differently), so both must see the same seconds. The
  // first block warms up the stdio buffers, the time zone and the lazy binding of symbols,
  // which the following calls then don't pay for.
  const int blocks = (calls + 255) / 256;
  for (int b = 0; b <= blocks; ++b) {
    bool collect = b > 0;
    uint32_t first = static_cast<uint32_t>(b) * 256;
    if (sides != Sides::kFloor) {
      Block(first, meetpoint, collect, [](uint32_t i) { RLSendVote(i, 1); });
      Block(first, meetpoint, collect,
            [](uint32_t) { RLSendLobbyMessage(kLobbyFrom, kLobbyText); });
    }
    if (sides != Sides::kLibrary) {
      Block(first, floor.Peer(), collect, [&](uint32_t i) { FloorSendVote(floor, i, 1); });
      Block(first, floor.Peer(), collect,
            [&](uint32_t) { FloorSendLobbyMessage(floor, kLobbyFrom, kLobbyText); });
    }
  }
  calls = blocks * 256;
  fprintf(stderr, "%d calls of each request on each side, after 256 to warm up\n", calls);
  return 0;
}
