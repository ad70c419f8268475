// The cost of a request against its floor: nanoseconds per call of RLSendVote and
// RLSendLobbyMessage and of the floor's same two requests, timed in interleaved rounds in one
// run, with the ratio taken per round.
#pragma once

#include <string>

#include "floor.h"
#include "measure.h"
#include "peer.h"

// Where the far end reads the game's frames while the calls are timed.
enum class Reader {
  // In the timing thread between blocks of 256 calls, outside the timed part: nothing else
  // runs while the calls are timed, so the figure is the cost of the call itself.
  kInline,
  // On a thread of its own that waits for data and reads it while the calls are timed: both
  // sides then also pay for the reader's wake-ups and for the socket that it holds.
  kOwnThread,
};

// One clock's figure: the ratio of each round (the two sides timed back to back), and the
// nanoseconds per call of the round whose ratio is the median, so that the three agree.
struct CostOf {
  double libraryNs = 0, floorNs = 0;
  Spread ratio;
};
// Wall time, and the CPU time of the calling thread where the system measures it finely (0
// elsewhere), which the other programs on a shared machine disturb far less.
struct RequestCost {
  CostOf wall, cpu;
};
struct RequestCosts {
  RequestCost vote, lobby;
};

// rounds rounds of blocksPerRound blocks of 256 calls for each request and side.
RequestCosts MeasureRequestCost(BenchSession& session, FloorLink& floor, Reader reader, int rounds,
                                int blocksPerRound);

// Makes one call of each request on both sides and compares what reached the far end, the
// log file and the console. Empty when both sides did the same; otherwise what differs.
std::string CompareRequestOutput(BenchSession& session, FloorLink& floor);
