#include "event_latency.h"

#include <functional>
#include <utility>
#include <vector>

#include "event_floor.h"
#include "frames.h"
#include "measure.h"
#include "rallylink.h"

namespace {

Gate gLibraryArrived;
std::atomic<int64_t> gLibraryArrivedNs{0};

int RLCALL TimeVote(const char*, uint32_t, unsigned char, uint32_t) {
  gLibraryArrivedNs = NowNs();
  gLibraryArrived.Post();
  return 0;
}

// One side of the comparison: how an event is sent to it, how its arrival is seen, and what
// was measured.
struct Side {
  Side(std::function<bool(const mp::Bytes&)> sender, Gate* gate, std::atomic<int64_t>* when)
      : send(std::move(sender)), arrived(gate), arrivedNs(when) {}

  std::function<bool(const mp::Bytes&)> send;
  Gate* arrived;
  std::atomic<int64_t>* arrivedNs;
  std::vector<double> us;
  int64_t ns = 0;
  int lost = 0;

  void Round(uint32_t first, int count) {
    int64_t start = NowNs();
    for (int i = 0; i < count; ++i) {
      mp::Bytes frame = VoteEventFrame(first + static_cast<uint32_t>(i));
      int64_t sent = NowNs();
      send(frame);
      if (arrived->Wait(5000)) {
        us.push_back(static_cast<double>(*arrivedNs - sent) / 1000.0);
      } else {
        ++lost;
      }
    }
    ns += NowNs() - start;
  }

  LatencyOf Figures() const {
    LatencyOf f;
    f.p50Us = Percentile(us, 0.5);
    f.p99Us = Percentile(us, 0.99);
    f.perSecond = ns > 0 ? static_cast<double>(us.size()) / (static_cast<double>(ns) / 1e9) : 0;
    f.lost = lost;
    return f;
  }
};

}  // namespace

EventLatency MeasureEventLatency(BenchSession& session, FloorLog& floorLog, int events,
                                 int eventsPerRound) {
  EventFloor receive(floorLog, EventFloor::Wait::kReceive);
  EventFloor wait(floorLog, EventFloor::Wait::kSocketAndSecondObject);
  RLSetVotingCallback(TimeVote, 0);
  Side library{[&](const mp::Bytes& f) { return session.Meetpoint().Send(f); }, &gLibraryArrived,
               &gLibraryArrivedNs};
  Side receiveFloor{[&](const mp::Bytes& f) { return receive.Send(f); }, &receive.arrived,
                    &receive.arrivedNs};
  Side waitFloor{[&](const mp::Bytes& f) { return wait.Send(f); }, &wait.arrived, &wait.arrivedNs};
  // Each round starts with the next side in turn.
  Side* sides[3] = {&library, &receiveFloor, &waitFloor};
  for (int done = 0, round = 0; done < events; done += eventsPerRound, ++round) {
    for (int s = 0; s < 3; ++s)
      sides[(round + s) % 3]->Round(static_cast<uint32_t>(done), eventsPerRound);
  }
  RLSetVotingCallback(nullptr, 0);
  return {library.Figures(), receiveFloor.Figures(), waitFloor.Figures()};
}
