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
#include <map>
#include <thread>

#include "support/session_fixture.h"

namespace {

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

uint32_t U16(const Bytes& p, size_t at) { return at + 1 < p.size() ? p[at] | p[at + 1] << 8 : 0; }

// Checks that a payload is one of the requests sent here, whole: its type and its length agree.
bool WellFormedRequest(const Bytes& p) {
  if (p.empty()) return false;
  switch (p[0]) {
    case 0x03:
      return p.size() >= 5 && p.size() == 5 + U16(p, 1) + U16(p, 3 + U16(p, 1));
    case 0x04:
      return p.size() == 2;
    case 0x05:
      return p.size() >= 5 && p.size() == 5 + U16(p, 1) + U16(p, 3 + U16(p, 1));
    case 0x06:
      return p.size() == 1;
    case 0x07:
      return p == Hex("07 0B 00 00 00 03 00 00 00 61 62 63 76 02 00 00 00");
    case 0x08:
      return p.size() == 6;
    case 0x09:
      return p == Hex("09 0C 00 00 00 64 72 6F 70 70 65 72 00");
    case 0x0A:
      return p.size() == 5;
    case 0x0B:
      return p.back() == 0 && strlen(reinterpret_cast<const char*>(&p[1])) == p.size() - 2;
    default:
      return false;
  }
}

// One request of the mix; each kind logs the lines given and sends `frames` frames.
struct Request {
  void (*call)();
  std::vector<std::string> lines;
  int frames;
};

const uint8_t kBits = 0x0F;

const Request kMix[] = {
    {[] { RLSendVote(7, 1); }, {"RLSendVote( GiID:7 , Vote:1)"}, 1},
    {[] { RLJoinGame(5, nullptr); }, {"RLJoinGame( GiID:5 )"}, 1},
    {[] { RLSendLobbyMessage("thread", "a line of lobby chat"); },
     {"RLSendLobbyMessage( thread , a line of lobby chat )"},
     1},
    {[] { RLSetGameState(3); }, {"RLSetGameState( State:3 )"}, 1},
    {[] { RLSendStats(); }, {"RLSendStats()"}, 1},
    {[] { RLFlushServerDescriptionChanges(); }, {"RLFlushServerDescriptionChanges()"}, 1},
    {[] { RLAddIntegerStat(2, 42); }, {"RLAddIntegerStat( Index:2 , Value:42 )"}, 0},
    {[] { RLSendGameResults(11, "abc", 3, 'v', 2, nullptr, 0); },
     {"RLSendGameResults( GiID:11, ResSize:3, Vote:118, NumPlrs:2 )",
      "Results char 0 is a ASCII 97", "Results char 1 is b ASCII 98",
      "Results char 2 is c ASCII 99"},
     1},
    {[] { RLAccusePlayerOfDroppingOut(12, "dropper"); },
     {"RLAccusePlayerOfDroppingOut( GiID:12 , dropper )"},
     1},
    {[] { RLStartGameInstance(nullptr, 0); }, {"RLStartGameInstance()"}, 1},
    {[] { RLSetGameSpecificData(1, "descr", 5); },
     {"RLSetGameSpecificData( Block:'Extra', Size:5 )"},
     0},
    {[] { RLUpdateGameSpecificData(1, 3, 4, &kBits); },
     {"RLUpdateGameSpecificData( Block:'Extra', BitPos:3 BitSize:4 )"},
     0},
};
const int kKinds = sizeof kMix / sizeof kMix[0];

TEST_F(SessionTest, LoadOfEightThreadsAndPacedEventsLosesNothing) {
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
  gOutOfOrder = 0;
  RLSetVotingCallback(EchoVote, 0);
  RLSetLobbyMessageCallback(EchoLobbyMessage, 0);
  const size_t linesBefore = LogMessages().size();

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
  size_t expectedFrames = 1 + static_cast<size_t>(kEvents);  // MsgInitialise and the echoes
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < kEach; ++i) {
      const Request& r = kMix[(i + t) % kKinds];
      for (const std::string& line : r.lines) ++expectedLines[line];
      expectedFrames += static_cast<size_t>(r.frames);
    }
  }
  expectedLines["MP -> New game vote"] = expectedLines["RLSendVote( GiID:9 , Vote:2)"] =
      static_cast<size_t>((kEvents + 1) / 2);
  expectedLines["MP -> Incoming message"] = expectedLines["RLSendLobbyMessage( echo , back )"] =
      static_cast<size_t>(kEvents / 2);

  EXPECT_EQ(gEvents.load(), kEvents);
  EXPECT_EQ(gOutOfOrder.load(), 0);
  ASSERT_TRUE(meetpoint.WaitFrames(expectedFrames, 30000));
  EXPECT_FALSE(meetpoint.FramingError());
  std::vector<Bytes> frames = meetpoint.Frames();
  EXPECT_EQ(frames.size(), expectedFrames);
  size_t bad = 0;
  for (size_t i = 1; i < frames.size(); ++i) bad += !WellFormedRequest(frames[i]);
  EXPECT_EQ(bad, 0u);

  // Every line of the load is whole and counted; the console saw the same lines in the same
  // order, without their time stamps.
  std::vector<std::string> log = LogMessages();
  std::map<std::string, size_t> lines;
  for (size_t i = linesBefore; i < log.size(); ++i) ++lines[log[i]];
  EXPECT_EQ(lines, expectedLines);
  EXPECT_EQ(SplitLines(out->Text()), log);
}

}  // namespace
