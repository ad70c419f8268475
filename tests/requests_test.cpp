// The game's requests as Meetpoint receives them, their log lines, and the callbacks they
// install for the answers.
#include <gtest/gtest.h>

#include "support/session_fixture.h"

namespace {

class RequestsTest : public StartedSessionTest {
 protected:
  // The next frame Meetpoint receives after the ones seen so far.
  Bytes NextFrame() {
    size_t seen = seen_ + 1;
    EXPECT_TRUE(meetpoint.WaitFrames(seen + 1));
    std::vector<Bytes> frames = meetpoint.Frames();
    seen_ = frames.size() - 1;
    return frames.size() > seen ? frames[seen] : Bytes();
  }
  size_t seen_ = 0;  // MsgInitialise is frame 0
};

TEST_F(RequestsTest, EachRequestHasItsExactPayloadAndLogLines) {
  static const unsigned char kResults[] = {'a', 'b', 0xE9};
  const struct {
    uint32_t (*call)();
    const char* payload;
    std::vector<std::string> lines;
  } kCases[] = {
      {[] { return RLStartGameInstance(nullptr, 123); }, "06", {"RLStartGameInstance()"}},
      // The state's low byte goes out; the log has the whole value.
      {[] { return static_cast<uint32_t>(RLSetGameState(260)); },
       "04 04",
       {"RLSetGameState( State:260 )"}},
      {[] { return RLJoinGame(0x01020304, nullptr); },
       "0A 04 03 02 01",
       {"RLJoinGame( GiID:16909060 )"}},
      {[] { return RLSendVote(7, 200); }, "08 07 00 00 00 C8", {"RLSendVote( GiID:7 , Vote:200)"}},
      {[] { return RLAccusePlayerOfDroppingOut(9, ""); },
       "09 09 00 00 00 00",
       {"RLAccusePlayerOfDroppingOut( GiID:9 ,  )"}},
      {[] { return RLAccusePlayerOfDroppingOut(9, "Zed"); },
       "09 09 00 00 00 5A 65 64 00",
       {"RLAccusePlayerOfDroppingOut( GiID:9 , Zed )"}},
      {[] { return RLSendLobbyMessage("", ""); }, "05 00 00 00 00", {"RLSendLobbyMessage(  ,  )"}},
      {[] { return RLSendGameResults(0x11, nullptr, 0, 'V', 4, nullptr, 0); },
       "07 11 00 00 00 00 00 00 00 56 04 00 00 00",
       {"RLSendGameResults( GiID:17, ResSize:0, Vote:86, NumPlrs:4 )"}},
      {[] { return RLSendGameResults(2, kResults, 3, 1, 2, nullptr, 0); },
       "07 02 00 00 00 03 00 00 00 61 62 E9 01 02 00 00 00",
       {"RLSendGameResults( GiID:2, ResSize:3, Vote:1, NumPlrs:2 )", "Results char 0 is a ASCII 97",
        "Results char 1 is b ASCII 98", "Results char 2 is \xE9 ASCII 233"}},
  };
  for (const auto& c : kCases) {
    size_t before = LogMessages().size();
    EXPECT_EQ(c.call(), 0u) << c.payload;
    EXPECT_EQ(NextFrame(), Hex(c.payload));
    std::vector<std::string> log = LogMessages();
    EXPECT_EQ(
        std::vector<std::string>(log.begin() + static_cast<std::ptrdiff_t>(before), log.end()),
        c.lines);
  }
}

// A game's compiler passes an 8-bit or 16-bit argument in a whole 32-bit slot (or register)
// whose upper bits it needn't clear: the library reads the low bits alone.
TEST_F(RequestsTest, NarrowArgumentsTakeOnlyTheLowBitsOfTheirSlot) {
  auto sendVote = reinterpret_cast<uint32_t(RLCALL*)(uint32_t, uint32_t)>(
      reinterpret_cast<void (*)()>(&RLSendVote));
  EXPECT_EQ(sendVote(7, 0xABCDEF02u), 0u);
  EXPECT_EQ(NextFrame(), Hex("08 07 00 00 00 02"));
  EXPECT_EQ(RLShutdown(), 0);
  ASSERT_TRUE(meetpoint.WaitGameClosed());
  auto initialise = reinterpret_cast<int(RLCALL*)(uint32_t, uint32_t)>(
      reinterpret_cast<void (*)()>(&RLInitialise));
  size_t before = meetpoint.Frames().size();
  ASSERT_EQ(initialise(0xFFFFFFFFu, 0xDEAD1234u), 0);
  ASSERT_TRUE(meetpoint.WaitFrames(before + 1));
  EXPECT_EQ(meetpoint.Frames()[before], Hex("01 34 12"));
  EXPECT_EQ(CountLog("RLSendVote( GiID:7 , Vote:2)"), 1u);
}

TEST_F(RequestsTest, GameResultsOfMoreThan1010BytesAreRefused) {
  // More than 1010 result bytes are refused before anything is logged per byte or sent.
  std::vector<unsigned char> tooMany(1011, 'x');
  EXPECT_EQ(RLSendGameResults(3, tooMany.data(), 1011, 0, 1, RecordResults, 0), 1u);
  EXPECT_EQ(
      LogFrom("RLSendGameResults( GiID:3, ResSize:1011, Vote:0, NumPlrs:1 )"),
      (std::vector<std::string>{"RLSendGameResults( GiID:3, ResSize:1011, Vote:0, NumPlrs:1 )",
                                "FAILED: RLSendGameResults()"}));
  std::vector<unsigned char> most(1010, 'y');
  EXPECT_EQ(RLSendGameResults(3, most.data(), 1010, 0, 1, nullptr, 0), 0u);
  EXPECT_EQ(NextFrame().size(), 1024u);
}

TEST_F(RequestsTest, AccusedNamesUpTo4086CharactersFitTheLargestFrame) {
  std::string longest(4086, 'n');
  EXPECT_EQ(RLAccusePlayerOfDroppingOut(1, longest.c_str()), 0u);
  Bytes payload = NextFrame();
  EXPECT_EQ(payload.size(), 4092u);  // in a frame of 4096 bytes
  EXPECT_EQ(payload.back(), 0);
  std::string tooLong(4087, 'n');
  EXPECT_EQ(RLAccusePlayerOfDroppingOut(1, tooLong.c_str()), 1u);
  std::vector<std::string> log = LogMessages();
  EXPECT_EQ(log.back(), "FAILED: RLAccusePlayerOfDroppingOut()");
  EXPECT_EQ(log[log.size() - 2], "RLAccusePlayerOfDroppingOut( GiID:1 , " + tooLong + " )");
  EXPECT_EQ(RLSendVote(1, 1), 0u);  // nothing of the refused name reached the wire
  EXPECT_EQ(NextFrame(), Hex("08 01 00 00 00 01"));
}

TEST_F(RequestsTest, LobbyStringsAreCutOnTheWireButLoggedWhole) {
  std::string from(40, 'f');
  std::string text(256, 't');
  EXPECT_EQ(RLSendLobbyMessage(from.c_str(), text.c_str()), 0u);
  Bytes payload = NextFrame();
  ASSERT_EQ(payload.size(), 1u + 2 + 31 + 2 + 255);
  EXPECT_EQ(Bytes(payload.begin(), payload.begin() + 3), Hex("05 1F 00"));
  EXPECT_EQ(Bytes(payload.begin() + 34, payload.begin() + 36), Hex("FF 00"));
  EXPECT_EQ(LogMessages().back(), "RLSendLobbyMessage( " + from + " , " + text + " )");
  std::string exact(255, 'e');
  EXPECT_EQ(RLSendLobbyMessage("Al", exact.c_str()), 0u);
  EXPECT_EQ(NextFrame().size(), 1u + 2 + 2 + 2 + 255);
}

TEST_F(RequestsTest, AnswersReachTheCallbackTheRequestInstalled) {
  EXPECT_EQ(RLStartGameInstance(RecordGameInstance, 31), 0u);
  NextFrame();
  SendEvent(NewGameInstance(77, 3));
  EXPECT_EQ(RLJoinGame(77, RecordJoin), 0u);
  NextFrame();
  SendEvent(NewGameJoin(77, 1));
  EXPECT_EQ(RLSendGameResults(77, "ok", 2, 'W', 1, RecordResults, 32), 0u);
  NextFrame();
  SendEvent(NewGameResults(77, 'W', {{"Ann", 1510}}));
  ASSERT_TRUE(gCalls.WaitFor(3));
  EXPECT_EQ(gCalls.Calls(), (std::vector<std::string>{"instance 77 3 31", "join 1 77 0",
                                                      "results 77 87 1 Ann=1510 32"}));
}

}  // namespace
