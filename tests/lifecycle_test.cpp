// The session's life as a careless game lives it: every export before any session and after
// the end of one, and a hundred sessions in one process, ended in each of the ways a session
// ends, leaving no thread and no handle behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <regex>
#include <thread>

#include "support/session_fixture.h"

namespace {

class LifecycleTest : public SessionTest {};

// Calls each of the nineteen exports but the three of the session, and returns their results
// in a fixed order (RLSetLobbyMessageCallback has none).
std::vector<uint32_t> CallEveryRequest() {
  const uint8_t bits = 0xFF;
  RLSetLobbyMessageCallback(RecordLobbyMessage, 1);
  return {
      RLStartGameInstance(RecordGameInstance, 2),
      RLJoinGame(3, RecordJoin),
      RLSendVote(4, 1),
      RLSendGameResults(5, "ab", 2, 'w', 2, RecordResults, 6),
      RLAccusePlayerOfDroppingOut(7, "late"),
      RLSendLobbyMessage("me", "hello"),
      RLAddIntegerStat(1, 8),
      RLAddFloatStat(2, 0.5),
      RLResetStats(),
      RLSendStats(),
      RLSetGameSpecificData(1, "data", 4),
      RLUpdateGameSpecificData(1, 0, 8, &bits),
      RLFlushServerDescriptionChanges(),
      RLSetVotingCallback(RecordVote, 9),
      RLFreeGameResults(nullptr),
      static_cast<uint32_t>(RLSetGameState(2)),
  };
}

TEST_F(LifecycleTest, ExportsOutsideASessionFailOrKeepTheirDataWithoutTouchingMeetpoint) {
  // Sends fail with 1; the exports that only keep data return their constants.
  const std::vector<uint32_t> kOutside = {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 1, 1, 1, 1};
  EXPECT_EQ(CallEveryRequest(), kOutside);
  EXPECT_EQ(RLShutdown(), 1);
  EXPECT_EQ(RLShutdown(), 1);

  Start();
  const std::vector<uint32_t> kInside = {0, 0, 0, 0, 0, 0, 1, 1, 1, 0, 0, 0, 0, 1, 1, 0};
  EXPECT_EQ(CallEveryRequest(), kInside);
  ASSERT_TRUE(meetpoint.WaitFrames(10));
  EXPECT_EQ(RLShutdown(), 0);
  EXPECT_EQ(RLShutdown(), 1);
  ASSERT_TRUE(meetpoint.WaitGameClosed());

  EXPECT_EQ(CallEveryRequest(), kOutside);
  // Each refused request wrote one failure line (to the console: the log is closed).
  std::vector<std::string> console = SplitLines(out->Text());
  for (std::string name : {"RLStartGameInstance", "RLJoinGame", "RLSendVote", "RLSendGameResults",
                           "RLAccusePlayerOfDroppingOut", "RLSendLobbyMessage"}) {
    EXPECT_EQ(std::count(console.begin(), console.end(), "FAILED: " + name + "()"), 1) << name;
  }
  // Only the session's own frames reached Meetpoint: MsgInitialise, nine requests, the last
  // game state and MsgShutdown.
  EXPECT_EQ(meetpoint.Frames().size(), 12u);
  // What was installed outside a session served inside it, and still stands after it.
  EXPECT_EQ(CountLog("FAILED: RLSendVote()"), 0u);  // the log was closed for the failures
  Start();
  SendEvent(NewGameJoin(3, 1));
  ASSERT_TRUE(gCalls.WaitFor(1));
  EXPECT_EQ(gCalls.Calls()[0], "join 1 3 0");
}

TEST_F(LifecycleTest, RequestsDuringTheStartNeverGoOutBeforeMsgInitialise) {
  // Game threads send while another thread starts the session: until RLInitialise has sent
  // MsgInitialise their requests fail, and none reaches Meetpoint before it.
  std::atomic<bool> stop{false};
  std::atomic<int> sent{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&] {
      while (!stop) sent += RLSendVote(1, 1) == 0;
    });
  }
  EXPECT_EQ(RLInitialise(0, 0x0102), 0);
  ASSERT_TRUE(WaitUntil(5000, [&] { return sent.load() > 0; }));
  stop = true;
  for (auto& th : threads) th.join();
  ASSERT_TRUE(meetpoint.WaitFrames(1 + static_cast<size_t>(sent.load())));
  EXPECT_EQ(meetpoint.Frames()[0], Hex("01 02 01"));
  EXPECT_EQ(meetpoint.Frames().size(), 1 + static_cast<size_t>(sent.load()));
}

TEST_F(LifecycleTest, AStartRacingTheEndOfASessionWaitsForItsWholeTeardown) {
  RLSetVotingCallback(RecordVote, 0);
  Start();
  const int kRounds = 16;
  for (int round = 1; round <= kRounds; ++round) {
    std::thread stopper([] { RLShutdown(); });
    // Refused while the session is open; once the stop has begun, the start waits for all of
    // it (log, socket library, events) before it begins its own.
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (RLInitialise(0, 1) != 0) ASSERT_LT(std::chrono::steady_clock::now(), until);
    stopper.join();
    // The new session has its connection, its thread and its log.
    ASSERT_TRUE(meetpoint.WaitConnected(round + 1));
    SendEvent(NewGameVote(static_cast<uint32_t>(round), 1, "racer"));
    ASSERT_EQ(RLSendVote(1, 1), 0u);
  }
  EXPECT_EQ(RLShutdown(), 0);
  EXPECT_EQ(gCalls.Calls().size(), static_cast<size_t>(kRounds));
  // Every opening of the log is closed before the next one opens.
  std::string banners;  // O for an opening banner, C for a closing one, in order
  for (const std::string& line : SplitLines(ReadTextFile("RallylinkLog.txt"))) {
    if (line == "#### Opening log ####" || line == "#### Closing log ####") banners += line[5];
  }
  EXPECT_TRUE(std::regex_match(banners, std::regex("(OC)+"))) << banners;
}

// A callback that holds the message thread for longer than RLShutdown waits for it (5 s): the
// next start waits 5 s more, then refuses, so that two threads never serve one connection.
TEST_F(LifecycleTest, SlowAStartWaitsForTheLastSessionsThreadThenRefuses) {
  static std::atomic<bool> release;
  release = false;
  Start();
  RLSetVotingCallback(
      [](const char*, uint32_t, unsigned char, uint32_t) -> int {
        gCalls.Add("holding");
        WaitUntil(30000, [] { return release.load(); });
        return 0;
      },
      0);
  ASSERT_TRUE(meetpoint.SendFrame(NewGameVote(1, 1, "holder")));
  ASSERT_TRUE(gCalls.WaitFor(1));
  RLShutdown();
  EXPECT_EQ(RLInitialise(0, 1), 1);
  release = true;
  RLSetVotingCallback(nullptr, 0);
  EXPECT_EQ(RLInitialise(0, 1), 0);
}

// Ends the session in one of three ways: by the game, by Meetpoint closing the connection, or
// by the game from inside a callback on the message thread.
int RLCALL ShutdownFromCallback(const char*, uint32_t, unsigned char, uint32_t) {
  RLShutdown();
  gCalls.Add("shut down");
  return 0;
}

TEST_F(LifecycleTest, SlowAHundredSessionsLeaveNoThreadOrHandleBehind) {
  int threads = 0;
  int handles = 0;
  for (int cycle = 0; cycle < 100; ++cycle) {
    Start();
    ASSERT_TRUE(meetpoint.WaitConnected(cycle + 1));
    switch (cycle % 3) {
      case 0:
        EXPECT_EQ(RLShutdown(), 0);
        break;
      case 1:
        meetpoint.CloseGame();
        ASSERT_TRUE(WaitUntil(5000, [] { return RLSetGameState(1) == 1; }));
        EXPECT_EQ(RLShutdown(), 1);
        break;
      default: {
        gCalls.Clear();
        RLSetVotingCallback(ShutdownFromCallback, 0);
        ASSERT_TRUE(meetpoint.SendFrame(NewGameVote(1, 1, "bye")));
        ASSERT_TRUE(gCalls.WaitFor(1));
        RLSetVotingCallback(nullptr, 0);
        break;
      }
    }
    ASSERT_TRUE(meetpoint.WaitGameClosed());
    if (cycle == 0) {
      // The first session set up whatever stays for the process's life.
      threads = ThreadCount();
      handles = HandleCount();
    }
  }
  // The last session ended the usual way, so its message thread has gone as well.
  EXPECT_TRUE(WaitUntil(5000, [&] { return ThreadCount() == threads; }))
      << ThreadCount() << " threads, " << threads << " after the first session";
  EXPECT_TRUE(WaitUntil(5000, [&] { return HandleCount() <= handles; }))
      << HandleCount() << " handles, " << handles << " after the first session";
}

}  // namespace
