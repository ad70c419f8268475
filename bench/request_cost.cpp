#include "request_cost.h"

#include <algorithm>
#include <functional>
#include <vector>

#include "frames.h"
#include "rallylink.h"
#include "surroundings.h"

namespace {

const int kBlock = 256;

struct Sample {
  double wallNs, cpuNs;
};

// Times blocks of calls; with the inline reader the far end is read after each block, with
// the clocks stopped.
template <typename Call>
Sample PerCall(int blocks, GamePeer& peer, Reader reader, Call call) {
  int64_t wall = 0, cpu = 0;
  uint32_t i = 0;
  for (int b = 0; b < blocks; ++b) {
    int64_t wall0 = NowNs(), cpu0 = ThreadCpuNs();
    for (int n = 0; n < kBlock; ++n) call(i++);
    cpu += ThreadCpuNs() - cpu0;
    wall += NowNs() - wall0;
    if (reader == Reader::kInline) peer.ReadAvailable();
  }
  double calls = static_cast<double>(blocks) * kBlock;
  return {static_cast<double>(wall) / calls, static_cast<double>(cpu) / calls};
}

// The samples of one request and its floor on one clock, round by round.
struct Rounds {
  std::vector<double> libraryNs, floorNs;
  void Add(double library, double floor) {
    libraryNs.push_back(library);
    floorNs.push_back(floor);
  }
  CostOf Cost() const {
    std::vector<size_t> order(libraryNs.size());
    std::vector<double> ratios;
    for (size_t i = 0; i < order.size(); ++i) {
      order[i] = i;
      ratios.push_back(libraryNs[i] / floorNs[i]);
    }
    CostOf cost;
    if (order.empty()) return cost;
    std::sort(order.begin(), order.end(),
              [&](size_t a, size_t b) { return ratios[a] < ratios[b]; });
    size_t middle = order[order.size() / 2];
    cost.libraryNs = libraryNs[middle];
    cost.floorNs = floorNs[middle];
    cost.ratio = SpreadOf(ratios);
    cost.ratio.median = ratios[middle];
    return cost;
  }
};

struct Pairs {
  Rounds wall, cpu;
  void Add(const Sample& library, const Sample& floor) {
    wall.Add(library.wallNs, floor.wallNs);
    if (library.cpuNs > 0 && floor.cpuNs > 0)
      cpu.Add(library.cpuNs, floor.cpuNs);  // not on Windows
  }
  RequestCost Cost() const { return {wall.Cost(), cpu.Cost()}; }
};

}  // namespace

RequestCosts MeasureRequestCost(BenchSession& session, FloorLink& floor, Reader reader, int rounds,
                                int blocksPerRound) {
  GamePeer& libraryPeer = session.Meetpoint();
  GamePeer& floorPeer = floor.Peer();
  if (reader == Reader::kOwnThread) {
    libraryPeer.StartReader();
    floorPeer.StartReader();
  } else {
    libraryPeer.ReadAvailable();
    floorPeer.ReadAvailable();
  }
  auto libraryVote = [](uint32_t i) { RLSendVote(i, 1); };
  auto floorVote = [&](uint32_t i) { FloorSendVote(floor, i, 1); };
  auto libraryLobby = [](uint32_t) { RLSendLobbyMessage(kLobbyFrom, kLobbyText); };
  auto floorLobby = [&](uint32_t) { FloorSendLobbyMessage(floor, kLobbyFrom, kLobbyText); };
  Pairs vote, lobby;
  // Round 0 warms caches and buffers and is not counted. Odd rounds time the library first,
  // even rounds the floor first, so that a slow drift of the machine favours neither.
  for (int round = 0; round <= rounds; ++round) {
    Sample lv, fv, ll, fl;
    int n = blocksPerRound;
    if (round % 2 == 1) {
      lv = PerCall(n, libraryPeer, reader, libraryVote);
      fv = PerCall(n, floorPeer, reader, floorVote);
      ll = PerCall(n, libraryPeer, reader, libraryLobby);
      fl = PerCall(n, floorPeer, reader, floorLobby);
    } else {
      fv = PerCall(n, floorPeer, reader, floorVote);
      lv = PerCall(n, libraryPeer, reader, libraryVote);
      fl = PerCall(n, floorPeer, reader, floorLobby);
      ll = PerCall(n, libraryPeer, reader, libraryLobby);
    }
    if (round == 0) continue;
    vote.Add(lv, fv);
    lobby.Add(ll, fl);
  }
  if (reader == Reader::kOwnThread) {
    libraryPeer.StopReader();
    floorPeer.StopReader();
  }
  return {vote.Cost(), lobby.Cost()};
}

// ---------------------------------------------------------------------------------------------

namespace {

// The last line of a text; a log file's time stamp "[hh:mm:ss]" is cut off, since the two
// sides may write theirs in different seconds.
std::string LastLine(const std::string& text) {
  std::vector<std::string> lines = SplitLines(text);
  if (lines.empty()) return "";
  std::string line = lines.back();
  if (line.size() > 10 && line[0] == '[' && line[9] == ']') line.replace(1, 8, "hh:mm:ss");
  return line;
}

struct Output {
  std::string frames, fileLine, consoleLine;
};

template <typename Call>
Output OutputOf(GamePeer& peer, const std::string& logPath,
                const std::function<std::string()>& console, Call call) {
  peer.ReadAvailable();
  mp::Bytes bytes;
  call();
  Output out;
  peer.ReadAtLeast(5, 2000, &bytes);
  out.frames = DescribeRequests(bytes);
  out.fileLine = LastLine(ReadTextFile(logPath));
  out.consoleLine = LastLine(console());
  return out;
}

std::string Compare(const char* request, const Output& library, const Output& floor) {
  std::string differences;
  auto check = [&](const char* what, const std::string& a, const std::string& b) {
    if (a != b)
      differences +=
          std::string(request) + ", " + what + ": library \"" + a + "\", floor \"" + b + "\"\n";
  };
  check("frames", library.frames, floor.frames);
  check("log file", library.fileLine, floor.fileLine);
  check("console", library.consoleLine, floor.consoleLine);
  return differences;
}

}  // namespace

std::string CompareRequestOutput(BenchSession& session, FloorLink& floor) {
  auto libraryConsole = [&] { return session.ConsoleText(); };
  auto floorConsole = [] { return ReadTextFile("floor-console.txt"); };
  const char* libraryLog = "RallylinkLog.txt";
  const char* floorLog = "floor-log.txt";
  Output lv = OutputOf(session.Meetpoint(), libraryLog, libraryConsole, [] { RLSendVote(7, 1); });
  Output fv = OutputOf(floor.Peer(), floorLog, floorConsole, [&] { FloorSendVote(floor, 7, 1); });
  Output ll = OutputOf(session.Meetpoint(), libraryLog, libraryConsole,
                       [] { RLSendLobbyMessage(kLobbyFrom, kLobbyText); });
  Output fl = OutputOf(floor.Peer(), floorLog, floorConsole,
                       [&] { FloorSendLobbyMessage(floor, kLobbyFrom, kLobbyText); });
  return Compare("RLSendVote", lv, fv) + Compare("RLSendLobbyMessage", ll, fl);
}
