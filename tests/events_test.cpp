// Events from Meetpoint reaching the game: the installed callbacks with their arguments and
// user data, the defaults' printed text and unknown types.
#include <gtest/gtest.h>

#include "support/session_fixture.h"

namespace {

using EventsTest = StartedSessionTest;

// Each event as the default callbacks print it (after its "MP -> " line) and as an installed
// callback receives it.
const struct {
  Bytes payload;
  const char* printed;
  const char* recorded;
} kEvents[] = {
    {IncomingMessage("Ann", "hi all"), "MP -> Incoming message\n<Ann> hi all\n",
     "lobby <Ann> <hi all> 11"},
    {NewGameInstance(0xFFFFFFFF, 0x0102),
     "MP -> New game instance\nGiID is -1 voting flags are 258\n", "instance 4294967295 258 33"},
    {NewGameResults(9, 'W', {{"Ann", 1500}, {"Bo", 1400}}),
     "MP -> New game results\nResults from GiID 9 Vote of W\n - Has 2 players\n"
     "PLAYER Ann has rating 1500\nPLAYER Bo has rating 1400\n",
     "results 9 87 2 Ann=1500 Bo=1400 44"},
    {NewGameResults(10, 'L', {}),
     "MP -> New game results\nResults from GiID 10 Vote of L\n - Has 0 players\n",
     "results 10 76 0 44"},
    {NewGameVote(4, 3, "Cy"), "MP -> New game vote\nVote from Cy is 3 or 'EXCELLENT' GiID is 4\n",
     "vote <Cy> 4 3 22"},
    {NewGameVote(4, 4, "Di"), "MP -> New game vote\nVote from Di is 4 or 'unknown' GiID is 4\n",
     "vote <Di> 4 4 22"},
    {NewGameJoin(5, 1), "MP -> New game join\nResult of join 5 was 1\n",
     "join 1 5 0"},  // Result first, and always user data 0
};

TEST_F(EventsTest, EachEventReachesTheDefaultsAndThenItsCallbackWithItsUserData) {
  std::string printed;
  for (const auto& e : kEvents) {
    SendEvent(e.payload);
    printed += e.printed;
  }
  RLSetLobbyMessageCallback(RecordLobbyMessage, 11);
  RLSetVotingCallback(RecordVote, 22);
  RLStartGameInstance(RecordGameInstance, 33);
  RLJoinGame(5, RecordJoin);
  RLSendGameResults(5, "abc", 3, 'G', 2, RecordResults, 44);
  std::vector<std::string> recorded;
  for (const auto& e : kEvents) {
    SendEvent(e.payload);
    recorded.push_back(e.recorded);
  }
  ASSERT_TRUE(gCalls.WaitFor(recorded.size()));
  EXPECT_EQ(gCalls.Calls(), recorded);
  std::string console = out->Text();
  EXPECT_NE(console.find(printed), std::string::npos) << console;
  // Each results callback gives its block back before the next event is handled.
  std::vector<std::string> log =
      LogFrom("RLSendGameResults( GiID:5, ResSize:3, Vote:71, NumPlrs:2 )");
  ASSERT_GE(log.size(), 7u);
  EXPECT_EQ(std::vector<std::string>(log.begin() + 6, log.begin() + 9),
            (std::vector<std::string>{"MP -> New game results", "RLFreeGameResults()",
                                      "MP -> New game results"}));
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
}

}  // namespace
