// Events from Meetpoint reaching the game: the installed callbacks with their arguments and
// user data, the defaults' printed text and unknown types.
#include <gtest/gtest.h>

#include "support/session_fixture.h"

namespace {

class EventsTest : public SessionTest {
 protected:
  void SetUp() override {
    SessionTest::SetUp();
    Start();
  }
};

TEST_F(EventsTest, EachEventReachesItsCallbackWithItsUserData) {
  RLSetLobbyMessageCallback(RecordLobbyMessage, 11);
  RLSetVotingCallback(RecordVote, 22);
  RLStartGameInstance(RecordGameInstance, 33);
  RLJoinGame(5, RecordJoin);
  const char results[] = "abc";
  RLSendGameResults(5, results, 3, 'G', 2, RecordResults, 44);

  SendEvent(NewGameInstance(0xFFFFFFFF, 0x0102));
  SendEvent(NewGameJoin(5, 1));
  SendEvent(NewGameVote(5, 200, "Voter"));
  SendEvent(IncomingMessage("Ann", "hello there"));
  SendEvent(NewGameResults(5, 'G', {{"Ann", 1500}, {"Bo", 1400}}));
  ASSERT_TRUE(gCalls.WaitFor(5));
  EXPECT_EQ(gCalls.Calls(), (std::vector<std::string>{
                                "instance 4294967295 258 33",
                                "join 1 5 0",  // Result first, and always user data 0
                                "vote <Voter> 5 200 22",
                                "lobby <Ann> <hello there> 11",
                                "results 5 71 2 Ann=1500 Bo=1400 44",
                            }));
  // The results callback gives its block back after it has recorded its call.
  ASSERT_TRUE(WaitUntil(5000, [&] { return CountLog("RLFreeGameResults()") == 1; }));
  std::vector<std::string> log = LogFrom("MP -> New game instance");
  EXPECT_EQ(log, (std::vector<std::string>{"MP -> New game instance", "MP -> New game join",
                                           "MP -> New game vote", "MP -> Incoming message",
                                           "MP -> New game results", "RLFreeGameResults()"}));
}

TEST_F(EventsTest, DefaultsPrintEachEvent) {
  SendEvent(IncomingMessage("Ann", "hi all"));
  SendEvent(NewGameInstance(0xFFFFFFFF, 7));
  SendEvent(NewGameResults(9, 'W', {{"Ann", 1500}, {"Bo", 1400}}));
  SendEvent(NewGameResults(10, 'L', {}));
  SendEvent(NewGameVote(4, 3, "Cy"));
  SendEvent(NewGameVote(4, 4, "Di"));
  SendEvent(NewGameJoin(5, 1));
  // Events are handled one at a time: once this callback runs, every default has printed.
  RLSetVotingCallback(RecordVote, 0);
  SendEvent(NewGameVote(0, 0, "barrier"));
  ASSERT_TRUE(gCalls.WaitFor(1));
  std::string console = out->Text();
  const char* expected =
      "<Ann> hi all\n"
      "MP -> New game instance\n"
      "GiID is -1 voting flags are 7\n"
      "MP -> New game results\n"
      "Results from GiID 9 Vote of W\n"
      " - Has 2 players\n"
      "PLAYER Ann has rating 1500\n"
      "PLAYER Bo has rating 1400\n"
      "MP -> New game results\n"
      "Results from GiID 10 Vote of L\n"
      " - Has 0 players\n"
      "MP -> New game vote\n"
      "Vote from Cy is 3 or 'EXCELLENT' GiID is 4\n"
      "MP -> New game vote\n"
      "Vote from Di is 4 or 'unknown' GiID is 4\n"
      "MP -> New game join\n"
      "Result of join 5 was 1\n";
  EXPECT_NE(console.find(expected), std::string::npos) << console;
}

TEST_F(EventsTest, UnknownTypesAreLoggedAndPrintedOnStandardError) {
  StreamCapture err(stderr);
  RLSetVotingCallback(RecordVote, 0);
  SendEvent(Hex("24 01 02"));
  SendEvent(Hex("2B"));
  SendEvent(Hex("80 00"));
  SendEvent(NewGameVote(1, 1, "still here"));
  ASSERT_TRUE(gCalls.WaitFor(1));
  EXPECT_EQ(err.Text(), "Unknown message 0x24\nUnknown message 0x2B\nUnknown message 0xFFFFFF80\n");
  EXPECT_EQ(CountLog("MP -> Unknown message type"), 3u);
}

TEST_F(EventsTest, ACallbackMayCallTheExports) {
  RLSetLobbyMessageCallback(
      [](const char* From, const char* Text, uint32_t) -> int {
        RLSendLobbyMessage(From, Text);  // an echo, sent from the message thread
        RLSetVotingCallback(RecordVote, 77);
        gCalls.Add("echoed");
        return 0;
      },
      0);
  SendEvent(IncomingMessage("Ed", "ping"));
  ASSERT_TRUE(gCalls.WaitFor(1));
  ASSERT_TRUE(meetpoint.WaitFrames(2));
  EXPECT_EQ(meetpoint.Frames()[1], Hex("05 02 00 45 64 04 00 70 69 6E 67"));
  SendEvent(NewGameVote(8, 2, "Fay"));
  ASSERT_TRUE(gCalls.WaitFor(2));
  EXPECT_EQ(gCalls.Calls()[1], "vote <Fay> 8 2 77");
}

TEST_F(EventsTest, NullCallbacksPutTheDefaultsBack) {
  RLSetVotingCallback(RecordVote, 1);
  EXPECT_EQ(RLSetVotingCallback(nullptr, 7), 1u);
  SendEvent(NewGameVote(2, 1, "Hal"));
  RLSetLobbyMessageCallback(RecordLobbyMessage, 0);
  SendEvent(IncomingMessage("x", "barrier"));
  ASSERT_TRUE(gCalls.WaitFor(1));
  EXPECT_NE(out->Text().find("Vote from Hal is 1 or 'GOOD' GiID is 2\n"), std::string::npos);
  EXPECT_EQ(RLFreeGameResults(nullptr), 1u);
  EXPECT_EQ(CountLog("RLFreeGameResults()"), 1u);
}

}  // namespace
