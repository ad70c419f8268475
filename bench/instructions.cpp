// The instructions of a request against its floor, for callgrind: calls of each request on
// both sides with the reader inline, and collection on only while the calls run.
//
//   valgrind --tool=callgrind --collect-atstart=no rallylink_bench --instructions 2000
//   callgrind_annotate --inclusive=yes callgrind.out.<pid>
//
// The inclusive counts of RLSendVote, FloorSendVote, RLSendLobbyMessage and
// FloorSendLobbyMessage divided by the number of calls are the instructions per call; system
// calls count as nothing.
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

// count calls (a multiple of 256), the far end read after each 256 outside the collection.
template <typename Call>
void Calls(int count, GamePeer& peer, bool collect, Call call) {
  for (int done = 0; done < count; done += 256) {
    peer.ReadAvailable();
    if (collect) CALLGRIND_TOGGLE_COLLECT;
    for (int i = 0; i < 256; ++i) call(static_cast<uint32_t>(done + i));
    if (collect) CALLGRIND_TOGGLE_COLLECT;
  }
}

}  // namespace

int CountInstructions(int calls) {
  calls = (calls + 255) / 256 * 256;
  BenchSession session;
  if (!session.Started()) {
    fprintf(stderr, "no session: RLInitialise failed or Meetpoint's stand-in got no connection\n");
    return 1;
  }
  FloorLink floor;
  GamePeer& meetpoint = session.Meetpoint();
  // The first calls warm up the stdio buffers, the time zone and the lazy binding of symbols,
  // which the following calls then don't pay for.
  for (bool collect : {false, true}) {
    int n = collect ? calls : 256;
    Calls(n, meetpoint, collect, [](uint32_t i) { RLSendVote(i, 1); });
    Calls(n, floor.Peer(), collect, [&](uint32_t i) { FloorSendVote(floor, i, 1); });
    Calls(n, meetpoint, collect, [](uint32_t) { RLSendLobbyMessage(kLobbyFrom, kLobbyText); });
    Calls(n, floor.Peer(), collect,
          [&](uint32_t) { FloorSendLobbyMessage(floor, kLobbyFrom, kLobbyText); });
  }
  fprintf(stderr, "%d calls of each request on each side, after 256 to warm up\n", calls);
  return 0;
}
