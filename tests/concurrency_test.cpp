// Several game threads sending at once while events arrive: every frame reaches Meetpoint
// whole and none is lost.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "support/session_fixture.h"

namespace {

std::atomic<int> gVotes{0};

int RLCALL CountVote(const char*, uint32_t GiID, unsigned char, uint32_t) {
  ++gVotes;
  RLSendVote(GiID, 0);  // callbacks send too, from the message thread
  return 0;
}

uint32_t U16(const Bytes& p, size_t at) { return at + 1 < p.size() ? p[at] | p[at + 1] << 8 : 0; }

// Checks that a payload is one of the requests the threads send, whole: its type and its
// length agree.
bool WellFormedRequest(const Bytes& p) {
  if (p.empty()) return false;
  switch (p[0]) {
    case 0x03:
      return p.size() == 5;
    case 0x04:
      return p.size() == 2;
    case 0x05:
      return p.size() >= 5 && p.size() == 5 + U16(p, 1) + U16(p, 3 + U16(p, 1));
    case 0x08:
      return p.size() == 6;
    case 0x0A:
      return p.size() == 5;
    case 0x0B:
      return p.size() == 33 && p.back() == 0;
    default:
      return false;
  }
}

TEST_F(SessionTest, ThreadsSendingTogetherNeverMixTheirFrames) {
  Start();
  gVotes = 0;
  RLSetVotingCallback(CountVote, 0);
  const int kThreads = 4;
  const int kEach = 400;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kEach; ++i) {
        switch (i % 6) {
          case 0:
            RLSendVote(static_cast<uint32_t>(t), 1);
            break;
          case 1:
            RLJoinGame(static_cast<uint32_t>(i), nullptr);
            break;
          case 2:
            RLSendLobbyMessage("thread", "a line of lobby chat");
            break;
          case 3:
            RLSetGameState(static_cast<uint32_t>(i));
            break;
          case 4:
            RLSendStats();
            break;
          default:
            RLFlushServerDescriptionChanges();
            break;
        }
      }
    });
  }
  // Events arrive meanwhile; each is sent once the last has been taken.
  const int kEvents = 100;
  for (int e = 0; e < kEvents; ++e) {
    ASSERT_TRUE(meetpoint.SendFrame(NewGameVote(static_cast<uint32_t>(e), 1, "load")));
    ASSERT_TRUE(WaitUntil(5000, [&] { return gVotes.load() > e; }));
  }
  for (auto& th : threads) th.join();
  size_t expected = 1 + kThreads * kEach + kEvents;
  ASSERT_TRUE(meetpoint.WaitFrames(expected, 10000));
  EXPECT_FALSE(meetpoint.FramingError());
  std::vector<Bytes> frames = meetpoint.Frames();
  EXPECT_EQ(frames.size(), expected);
  size_t bad = 0;
  for (size_t i = 1; i < frames.size(); ++i) bad += !WellFormedRequest(frames[i]);
  EXPECT_EQ(bad, 0u);
}

}  // namespace
