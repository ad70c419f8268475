// A game's view for the tests of the exported functions: a private folder, a fake Meetpoint
// whose port is in the registry, standard output captured, and the log read back.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "events.h"
#include "fake_meetpoint.h"
#include "rallylink.h"
#include "test_env.h"

class SessionTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // RLInitialise with Meetpoint up; waits for its MsgInitialise.
  void Start(uint16_t initialiseValue = 0x1234);
  // The log's time-stamped lines with the stamps taken off, in order.
  std::vector<std::string> LogMessages();
  // How many log lines equal line exactly.
  size_t CountLog(const std::string& line);
  // The log's lines from the first that equals `from` on (empty if there is none).
  std::vector<std::string> LogFrom(const std::string& from);
  // Sends an event and waits until the library has received it (its "MP -> " line is logged),
  // so that the next event can't arrive in the same receive.
  void SendEvent(const Bytes& payload) { SendRaw(Frame(payload)); }
  // Sends raw bytes and waits until the library has dispatched one more message (its
  // "MP -> " line is logged), whatever the bytes made of it.
  void SendRaw(const Bytes& raw, int timeoutMs = 5000);
  // The payloads that Meetpoint received after the first `skip` frames.
  std::vector<Bytes> FramesAfter(size_t skip);

  ScratchDir dir;
  FakeMeetpoint meetpoint;
  std::unique_ptr<StreamCapture> out;
};

// The same view with a session started before each test.
class StartedSessionTest : public SessionTest {
 protected:
  void SetUp() override {
    SessionTest::SetUp();
    Start();
  }
};

// Records the calls of the test's callbacks, from whatever thread they come.
class CallLog {
 public:
  void Add(const std::string& call);
  // The calls from index `from` on.
  std::vector<std::string> Calls(size_t from = 0);
  bool WaitFor(size_t count, int timeoutMs = 5000);
  void Clear();

 private:
  std::mutex mutex_;
  std::vector<std::string> calls_;
};

extern CallLog gCalls;

// Callbacks that record their arguments in gCalls.
int RLCALL RecordLobbyMessage(const char* From, const char* Text, uint32_t UserData);
int RLCALL RecordGameInstance(uint32_t GiID, uint32_t VotingFlags, uint32_t UserData);
int RLCALL RecordResults(uint32_t GiID, char Vote, uint32_t NumPlrs, PlayerResult* Players,
                         uint32_t UserData);
int RLCALL RecordVote(const char* Voter, uint32_t GiID, unsigned char Vote, uint32_t UserData);
int RLCALL RecordJoin(uint32_t Result, uint32_t GiID, uint32_t UserData);
