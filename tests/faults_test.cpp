// Faults around the game: Meetpoint killed in the middle of a session and started again,
// Meetpoint that stops reading, and a game callback that blocks.
// Whatever happens, no export hangs beyond its bounded waits and nothing the game was promised
// is lost.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "support/session_fixture.h"

namespace {

class FaultsTest : public SessionTest {};

using std::chrono::milliseconds;
using std::chrono::steady_clock;

// How long fn takes.
template <typename F>
steady_clock::duration Timed(F fn) {
  auto start = steady_clock::now();
  fn();
  return steady_clock::now() - start;
}

TEST_F(FaultsTest, MeetpointKilledMidSessionEndsTheThreadAndARestartedOneServesANewSession) {
  int threadsBefore = ThreadCount();
  Start();
  EXPECT_EQ(ThreadCount(), threadsBefore + 1);
  meetpoint.Kill();
  // The message thread sees the reset and ends; the game learns of it from its next send.
  EXPECT_TRUE(WaitUntil(5000, [&] { return ThreadCount() == threadsBefore; }));
  EXPECT_EQ(RLSetGameState(1), 1);
  EXPECT_EQ(CountLog("FAILED: RLSetGameState()"), 1u);
  int result = 0;
  EXPECT_LT(Timed([&] { result = RLShutdown(); }), milliseconds(2000));
  EXPECT_EQ(result, 1);

  ASSERT_TRUE(meetpoint.Restart());
  Start();
  ASSERT_TRUE(meetpoint.WaitConnected(2));
  RLSetVotingCallback(RecordVote, 4);
  SendEvent(NewGameVote(3, 1, "back"));
  ASSERT_TRUE(gCalls.WaitFor(1));
  EXPECT_EQ(gCalls.Calls()[0], "vote <back> 3 1 4");
  EXPECT_EQ(RLSendVote(3, 2), 0u);
  ASSERT_TRUE(meetpoint.WaitFrames(3));
  EXPECT_EQ(meetpoint.Frames().back(), Hex("08 03 00 00 00 02"));
}

TEST_F(FaultsTest, AfterMeetpointEndsItsSendingRequestsStillGoOut) {
  int threadsBefore = ThreadCount();
  Start();
  meetpoint.ShutdownSending();
  // The message thread sees the close and ends without telling the game or closing anything.
  ASSERT_TRUE(WaitUntil(5000, [&] { return ThreadCount() == threadsBefore; }));
  // Meetpoint still reads: the next requests are sent as usual.
  EXPECT_EQ(RLSendVote(7, 1), 0u);
  ASSERT_TRUE(meetpoint.WaitFrames(2));
  Bytes raw = meetpoint.RawBytes();
  EXPECT_EQ(Bytes(raw.end() - 10, raw.end()), Hex("0A 00 00 00 08 07 00 00 00 01"));
  EXPECT_EQ(RLShutdown(), 0);
  ASSERT_TRUE(meetpoint.WaitFrames(4));
  EXPECT_EQ(FramesAfter(2), (std::vector<Bytes>{Hex("04 05"), Hex("02")}));
  EXPECT_EQ(LogFrom("RLShutdown()"),
            (std::vector<std::string>{"RLShutdown()", "RLSetGameState( State:5 )",
                                      "Stopping message thread"}));
}

TEST_F(FaultsTest, SlowMeetpointThatStopsReadingMakesSendsFailWithinTheirWait) {
  Start();
  meetpoint.StopReading();
  // Frames of 4096 bytes until the connection's buffers are full: the send that finds no
  // room fails, after at most its 5-second wait.
  const std::string name(4086, 'n');  // the longest name a frame holds
  steady_clock::duration longest{};
  int sent = 0;
  uint32_t result = 0;
  while (sent < 100000) {
    longest =
        std::max(longest, Timed([&] { result = RLAccusePlayerOfDroppingOut(1, name.c_str()); }));
    if (result != 0) break;
    ++sent;
  }
  EXPECT_EQ(result, 1u);
  EXPECT_LT(longest, milliseconds(7000));
  EXPECT_EQ(CountLog("FAILED: RLAccusePlayerOfDroppingOut()"), 1u);
  // The session still ends within bounded time (its two small frames may yet find room).
  EXPECT_LT(Timed([] { RLShutdown(); }), milliseconds(7000));
}

// The first vote's callback blocks until the test lets it go.
std::atomic<bool> gRelease{false};

int RLCALL BlockOnFirstVote(const char* Voter, uint32_t GiID, unsigned char Vote,
                            uint32_t UserData) {
  RecordVote(Voter, GiID, Vote, UserData);
  if (GiID == 1) WaitUntil(10000, [] { return gRelease.load(); });
  return 0;
}

TEST_F(FaultsTest, ABlockingCallbackHoldsLaterEventsBackAndLosesNone) {
  Start();
  gRelease = false;
  RLSetVotingCallback(BlockOnFirstVote, 0);
  SendEvent(NewGameVote(1, 1, "first"));
  ASSERT_TRUE(gCalls.WaitFor(1));
  // The second event waits in the connection while the callback blocks.
  ASSERT_TRUE(meetpoint.SendFrame(NewGameVote(2, 1, "second")));
  std::this_thread::sleep_for(milliseconds(300));
  EXPECT_EQ(gCalls.Calls().size(), 1u);
  // The callback holds no lock of the library: the game's own sends go out meanwhile.
  EXPECT_EQ(RLSendVote(9, 3), 0u);
  ASSERT_TRUE(meetpoint.WaitFrames(2));
  EXPECT_EQ(meetpoint.Frames().back(), Hex("08 09 00 00 00 03"));
  gRelease = true;
  ASSERT_TRUE(gCalls.WaitFor(2));
  SendEvent(NewGameVote(3, 1, "third"));
  ASSERT_TRUE(gCalls.WaitFor(3));
  EXPECT_EQ(gCalls.Calls(), (std::vector<std::string>{"vote <first> 1 1 0", "vote <second> 2 1 0",
                                                      "vote <third> 3 1 0"}));
}

}  // namespace
