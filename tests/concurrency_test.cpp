// Load: eight game threads send a mix of every request while Meetpoint sends a stream of
// events, each as soon as the last was taken, and the callbacks send requests of their own.
// Every frame reaches Meetpoint whole and none is lost, every event arrives once and in order,
// every log line is whole, and the run ends within its bound.
//
// The full load is 8 x 10,000 requests and 10,000 events. Under Wine, where every system call
// costs many times more, the default is a fifth of that; RALLYLINK_LOAD=full (or =small) in the
// environment chooses either size anywhere.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <thread>

#include "support/session_fixture.h"

namespace {

class ConcurrencyTest : public SessionTest {};

std::atomic<int> gEvents{0};
std::atomic<int> gOutOfOrder{0};

// Event e carries the number e: a vote's GiID, a lobby message's text.
void Took(int number) {
  if (number != gEvents.load()) ++gOutOfOrder;
  ++gEvents;
}

int RLCALL EchoVote(const char*, uint32_t GiID, unsigned char, uint32_t) {
  RLSendVote(9, 2);  // callbacks send too, from the message thread
  Took(static_cast<int>(GiID));
  return 0;
}

int RLCALL EchoLobbyMessage(const char*, const char* Text, uint32_t) {
  RLSendLobbyMessage("echo", "back");
  Took(atoi(Text));
  return 0;
}

const uint8_t kBits = 0x0F;

// The mix of requests that the game threads send, each kind in turn, and the frames each sends.
const struct {
  void (*call)();
  size_t frames;
} kMix[] = {
    {[] { RLSendVote(7, 1); }, 1},
    {[] { RLJoinGame(5, nullptr); }, 1},
    {[] { RLSendLobbyMessage("thread", "a line of lobby chat"); }, 1},
    {[] { RLSetGameState(3); }, 1},
    {[] { RLSendStats(); }, 1},
    {[] { RLFlushServerDescriptionChanges(); }, 1},
    {[] { RLAddIntegerStat(2, 42); }, 0},
    {[] { RLSendGameResults(11, "abc", 3, 'v', 2, nullptr, 0); }, 1},
    {[] { RLAccusePlayerOfDroppingOut(12, "dropper"); }, 1},
    {[] { RLStartGameInstance(nullptr, 0); }, 1},
    {[] { RLSetGameSpecificData(1, "descr", 5); }, 0},
    {[] { RLUpdateGameSpecificData(1, 3, 4, &kBits); }, 0},
};
const int kKinds = sizeof kMix / sizeof kMix[0];

// What a call does alone: the log lines it writes and the frames it sends.
struct Effect {
  std::vector<std::string> lines;
  std::vector<Bytes> frames;
};

TEST_F(ConcurrencyTest, LoadOfEightThreadsAndPacedEventsLosesNothing) {
  const char* load = getenv("RALLYLINK_LOAD");
#ifdef _WIN32
  const bool full = load != nullptr && strcmp(load, "full") == 0;
#else
  const bool full = load == nullptr || strcmp(load, "small") != 0;
#endif
  const int kThreads = 8;
  const int kEach = full ? 10000 : 2000;
  const int kEvents = full ? 10000 : 2000;

  Start();
  gEvents = 0;
  RLSetVotingCallback(EchoVote, 0);
  RLSetLobbyMessageCallback(EchoLobbyMessage, 0);
  // Each kind once on its own, and one event of each kind with its echo, give the lines and
  // frames that the load must repeat exactly.
  auto effectOf = [&](const std::function<void()>& call, size_t frames) {
    size_t lines = LogMessages().size(), sent = meetpoint.Frames().size();
    call();
    EXPECT_TRUE(meetpoint.WaitFrames(sent + frames));
    std::vector<std::string> log = LogMessages();
    return Effect{
        std::vector<std::string>(log.begin() + static_cast<std::ptrdiff_t>(lines), log.end()),
        FramesAfter(sent)};
  };
  auto event = [&](const Bytes& payload) {
    int taken = gEvents.load();
    ASSERT_TRUE(meetpoint.SendFrame(payload));
    ASSERT_TRUE(WaitUntil(5000, [&] { return gEvents.load() > taken; }));
  };
  // The statistics and description frames carry what the kinds after them set: the second
  // round sends what the load will.
  std::vector<Effect> kinds;
  for (int round = 0; round < 2; ++round) {
    kinds.clear();
    for (const auto& kind : kMix) kinds.push_back(effectOf(kind.call, kind.frames));
  }
  Effect voteEvent = effectOf([&] { event(NewGameVote(0, 1, "load")); }, 1);
  Effect lobbyEvent = effectOf([&] { event(IncomingMessage("load", "1")); }, 1);
  std::set<Bytes> knownFrames;
  for (const Effect& e : kinds) knownFrames.insert(e.frames.begin(), e.frames.end());
  knownFrames.insert(voteEvent.frames.begin(), voteEvent.frames.end());
  knownFrames.insert(lobbyEvent.frames.begin(), lobbyEvent.frames.end());
  // A flush between one thread's RLSetGameSpecificData and another's update sends the block
  // without the update's bits.
  Effect between = effectOf(
      [] {
        kMix[10].call();
        kMix[5].call();
        kMix[11].call();
      },
      1);
  knownFrames.insert(between.frames.begin(), between.frames.end());
  gEvents = 0;
  gOutOfOrder = 0;
  const size_t linesBefore = LogMessages().size();
  const size_t framesBefore = meetpoint.Frames().size();

  auto start = std::chrono::steady_clock::now();
  std::atomic<int> finished{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, kEach, &finished] {
      for (int i = 0; i < kEach; ++i) kMix[(i + t) % kKinds].call();
      ++finished;
    });
  }
  // Each event goes out once the last has been taken: frames that arrive together are lost
  // by the receive.
  for (int e = 0; e < kEvents; ++e) {
    Bytes payload = e % 2 == 0 ? NewGameVote(static_cast<uint32_t>(e), 1, "load")
                               : IncomingMessage("load", std::to_string(e));
    ASSERT_TRUE(meetpoint.SendFrame(payload));
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (gEvents.load() <= e) {
      ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "event " << e << " not taken";
      std::this_thread::yield();
    }
  }
  // A deadlock would leave threads that can never be joined: report it and stop.
  if (!WaitUntil(120000, [&] { return finished.load() == kThreads; })) {
    fprintf(stderr, "the game threads did not finish: deadlock\n");
    abort();
  }
  for (auto& th : threads) th.join();
  auto took = std::chrono::steady_clock::now() - start;
  fprintf(
      stderr, "load: %d threads x %d requests, %d events: %lld ms\n", kThreads, kEach, kEvents,
      static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(took).count()));

  // What every thread and every event must have produced.
  std::map<std::string, size_t> expectedLines;
  size_t expectedFrames = framesBefore;
  auto add = [&](const Effect& e, size_t times) {
    for (const std::string& line : e.lines) expectedLines[line] += times;
    expectedFrames += e.frames.size() * times;
  };
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < kEach; ++i) add(kinds[static_cast<size_t>((i + t) % kKinds)], 1);
  }
  add(voteEvent, static_cast<size_t>((kEvents + 1) / 2));
  add(lobbyEvent, static_cast<size_t>(kEvents / 2));

  EXPECT_EQ(gEvents.load(), kEvents);
  EXPECT_EQ(gOutOfOrder.load(), 0);
  ASSERT_TRUE(meetpoint.WaitFrames(expectedFrames, 30000));
  EXPECT_FALSE(meetpoint.FramingError());
  std::vector<Bytes> frames = FramesAfter(framesBefore);
  EXPECT_EQ(frames.size(), expectedFrames - framesBefore);
  size_t unknown = 0;
  for (const Bytes& frame : frames) unknown += knownFrames.count(frame) == 0;
  EXPECT_EQ(unknown, 0u);

  // Every line of the load is whole and counted; the console saw the same lines in the same
  // order, without their time stamps.
  std::vector<std::string> log = LogMessages();
  std::map<std::string, size_t> lines;
  for (size_t i = linesBefore; i < log.size(); ++i) ++lines[log[i]];
  EXPECT_EQ(lines, expectedLines);
  EXPECT_EQ(SplitLines(out->Text()), log);
}

}  // namespace
