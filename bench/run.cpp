#include "run.h"

#include <vector>

#include "event_latency.h"
#include "floor.h"
#include "peer.h"
#include "request_cost.h"
#include "results.h"

namespace {

void AddCost(std::vector<Figure>& figures, const std::string& name, const std::string& target,
             const RequestCost& cost, bool cpu) {
  figures.push_back(
      {name, "ns", target, cost.wall.libraryNs, cost.wall.floorNs, cost.wall.ratio.median});
  if (cpu && cost.cpu.libraryNs > 0) {
    figures.push_back({name + ", CPU time of the calling thread", "ns", target, cost.cpu.libraryNs,
                       cost.cpu.floorNs, cost.cpu.ratio.median});
  }
}

void AddLatency(std::vector<Figure>& figures, const std::string& tag, const EventLatency& e) {
  const std::string wait = ", floor waiting on the socket and a second object";
  const std::string receive = ", floor blocked in the receive";
  const LatencyOf& l = e.library;
  figures.push_back({"Event latency p50 (" + tag + ")" + wait, "us", "<= 1.10", l.p50Us,
                     e.waitFloor.p50Us, l.p50Us / e.waitFloor.p50Us});
  figures.push_back({"Event latency p50 (" + tag + ")" + receive, "us", "-", l.p50Us,
                     e.receiveFloor.p50Us, l.p50Us / e.receiveFloor.p50Us});
  figures.push_back({"Event latency p99 (" + tag + ")" + wait, "us", "-", l.p99Us,
                     e.waitFloor.p99Us, l.p99Us / e.waitFloor.p99Us});
  figures.push_back({"Event latency p99 (" + tag + ")" + receive, "us", "-", l.p99Us,
                     e.receiveFloor.p99Us, l.p99Us / e.receiveFloor.p99Us});
  figures.push_back({"Event throughput (" + tag + ")" + wait, "/s", "-", l.perSecond,
                     e.waitFloor.perSecond, l.perSecond / e.waitFloor.perSecond});
  if (l.lost > 0) {
    figures.push_back({"Events lost (" + tag + ")", "", "0", static_cast<double>(l.lost),
                       static_cast<double>(e.receiveFloor.lost + e.waitFloor.lost), 0});
  }
}

}  // namespace

int MeasureRun(const std::string& tag, bool quick, FILE* out) {
  std::vector<Figure> figures;
  {
    BenchSession session;
    if (!session.Started()) return 1;
    FloorLink floor;
    std::string differences = CompareRequestOutput(session, floor);
    if (!differences.empty()) {
      fprintf(stderr, "the floor does not do what the library does:\n%s", differences.c_str());
      return 1;
    }
    // Under Wine every call takes a hundred times longer: fewer rounds keep a run near 20 s.
    const bool onLinux = tag == "Linux";
    const int inlineRounds = quick ? 4 : onLinux ? 100 : 20;
    const int threadRounds = quick ? 2 : onLinux ? 30 : 10;
    const int events = quick ? 300 : onLinux ? 6000 : 3000;
    fprintf(stderr, "%s: request cost, reader inline...\n", tag.c_str());
    RequestCosts inlineCost =
        MeasureRequestCost(session, floor, Reader::kInline, inlineRounds, onLinux ? 2 : 1);
    fprintf(stderr, "%s: request cost, reader on its own thread...\n", tag.c_str());
    RequestCosts threadCost =
        MeasureRequestCost(session, floor, Reader::kOwnThread, threadRounds, 1);
    fprintf(stderr, "%s: event latency...\n", tag.c_str());
    EventLatency latency = MeasureEventLatency(session, floor.log, events, 50);

    const std::string target = onLinux ? "<= 1.05" : "<= 1.10";
    const std::string own = ", reader on its own thread while timed";
    AddCost(figures, "Request cost, RLSendVote (" + tag + ")", target, inlineCost.vote, true);
    AddCost(figures, "Request cost, RLSendLobbyMessage (" + tag + ")", target, inlineCost.lobby,
            true);
    AddCost(figures, "Request cost, RLSendVote (" + tag + ")" + own, "-", threadCost.vote, false);
    AddCost(figures, "Request cost, RLSendLobbyMessage (" + tag + ")" + own, "-", threadCost.lobby,
            false);
    AddLatency(figures, tag, latency);
    fprintf(stderr, "%s: ending the session...\n", tag.c_str());
  }
  WriteFigures(figures, out);
  return 0;
}
