// Event latency: from just before the stand-in Meetpoint writes a MsgNewGameVote frame to the
// entry of the game's voting callback, against the two event floors receiving the same frame.
// Each event is sent once the previous one has arrived (a second frame in the same receive
// would be lost, by design), so the rate of the loop is the event throughput. The three sides
// take turns every eventsPerRound events, so a short disturbance of the machine falls on all
// of them alike.
#pragma once

#include "floor.h"
#include "peer.h"

struct LatencyOf {
  double p50Us = 0, p99Us = 0, perSecond = 0;
  int lost = 0;  // events that never arrived
};

struct EventLatency {
  LatencyOf library;
  LatencyOf receiveFloor;  // blocked in the receive
  LatencyOf waitFloor;     // waiting on the socket and a second object
};

EventLatency MeasureEventLatency(BenchSession& session, FloorLog& floorLog, int events,
                                 int eventsPerRound);
