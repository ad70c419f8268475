// Starting and ending a session against the fake Meetpoint: the frames it sees, the log and
// the console, the debugger output, and every way the start-up can fail.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <regex>

#ifdef _WIN32
#include <windows.h>
#endif

#include "support/session_fixture.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

class StartStopTest : public SessionTest {
 protected:
  std::unique_ptr<DebugOutputCapture> debug = std::make_unique<DebugOutputCapture>();
  std::string Debug() {
    WaitUntil(2000, [&] { return !debug->Text().empty(); });
    return debug->Text();
  }
};

TEST_F(StartStopTest, AWholeSessionSendsItsFramesAndLogsItsLines) {
  Start(0xBEEF);
  EXPECT_EQ(meetpoint.Frames()[0], Hex("01 EF BE"));
  std::vector<std::string> log = LogMessages();
  ASSERT_EQ(log.size(), 5u);
  EXPECT_EQ(log[0], "RLInitialise()");
  EXPECT_TRUE(std::regex_match(
      log[1],
      std::regex(
          R"(Rallylink v 1\.0\.0\.0   last built [A-Z][a-z]{2} [ 123]\d \d{4} at \d\d:\d\d:\d\d)")))
      << log[1];
  EXPECT_EQ(log[2], "Success, WSA initialised");
  EXPECT_EQ(log[3], "ClientPort is " + std::to_string(meetpoint.Port()));
  EXPECT_EQ(log[4], "Starting message thread");

  // MsgShutdown gets 300 ms to reach Meetpoint before the connection closes.
  auto stopping = steady_clock::now();
  EXPECT_EQ(RLShutdown(), 0);
  EXPECT_GE(steady_clock::now() - stopping, milliseconds(250));
  EXPECT_EQ(FramesAfter(1), (std::vector<Bytes>{Hex("04 05"), Hex("02")}));
  EXPECT_TRUE(meetpoint.WaitGameClosed());
  std::vector<std::string> end = LogFrom("RLShutdown()");
  EXPECT_EQ(end, (std::vector<std::string>{"RLShutdown()", "RLSetGameState( State:5 )",
                                           "Stopping message thread"}));
  std::string file = ReadTextFile("RallylinkLog.txt");
  EXPECT_EQ(file.rfind("#### Opening log ####"), file.find("#### Opening log ####"));
  EXPECT_NE(file.find("]  Stopping message thread\n\n#### Closing log ####\n# Date: "),
            std::string::npos);
  EXPECT_EQ(file.substr(file.size() - 22), "#####################\n");

  // The console has the same lines without their stamps and banners: the load test.
}

// A callback ends the session and starts the next one, twice over: every session gets its
// frames, the thread that ran the callback serves the last one, and no session's events are
// left open, however many begin and end inside one callback.
TEST_F(StartStopTest, ACallbackMayEndTheSessionAndStartTheNextOne) {
  const int threads = ThreadCount();
  int handles = 0;
  for (int cycle = 1; cycle <= 2; ++cycle) {
    Start();
    size_t before = meetpoint.Frames().size();
    RLSetVotingCallback(
        [](const char*, uint32_t GiID, unsigned char, uint32_t) -> int {
          RLSendVote(GiID, 2);
          std::string results;
          for (int restart = 0; restart < 2; ++restart) {
            results += std::to_string(RLShutdown());
            results += std::to_string(RLInitialise(0, 1));
          }
          gCalls.Add(results);
          return 0;
        },
        0);
    gCalls.Clear();
    ASSERT_TRUE(meetpoint.SendFrame(NewGameVote(12, 1, "Bo")));
    ASSERT_TRUE(gCalls.WaitFor(1));
    EXPECT_EQ(gCalls.Calls()[0], "0000");
    ASSERT_TRUE(meetpoint.WaitConnected(3 * cycle));
    ASSERT_TRUE(meetpoint.WaitFrames(before + 7));
    EXPECT_EQ(FramesAfter(before),
              (std::vector<Bytes>{Hex("08 0C 00 00 00 02"), Hex("04 05"), Hex("02"),
                                  Hex("01 01 00"), Hex("04 05"), Hex("02"), Hex("01 01 00")}));
    // The thread that ran the callback carries on with the last session's events.
    RLSetVotingCallback(RecordVote, 5);
    SendEvent(NewGameVote(13, 0, "Cy"));
    ASSERT_TRUE(gCalls.WaitFor(2));
    EXPECT_EQ(gCalls.Calls()[1], "vote <Cy> 13 0 5");
    // One thread served the three sessions, and RLShutdown joins it (the system may list a
    // joined thread for a moment longer).
    EXPECT_EQ(RLShutdown(), 0);
    EXPECT_TRUE(WaitUntil(1000, [&] { return ThreadCount() == threads; }));
    ASSERT_TRUE(meetpoint.WaitGameClosed());
    if (cycle == 1) handles = HandleCount();  // after whatever the first session set up for good
  }
  EXPECT_TRUE(WaitUntil(1000, [&] { return HandleCount() <= handles; }))
      << HandleCount() << " handles, " << handles << " after the first cycle";
}

// Inside a callback, a start that fails at the registry and then one that succeeds: the thread
// that ran the callback serves the session that the second one made.
TEST_F(StartStopTest, ACallbacksFailedStartLeavesTheNextStartWhole) {
  static std::string port;
  port = std::to_string(meetpoint.Port());
  Start();
  RLSetVotingCallback(
      [](const char*, uint32_t, unsigned char, uint32_t) -> int {
        std::string results = std::to_string(RLShutdown());
        DeleteClientPortKey();
        results += std::to_string(RLInitialise(0, 1));
        SetClientPortValue(port);
        gCalls.Add(results + std::to_string(RLInitialise(0, 1)));
        return 0;
      },
      0);
  ASSERT_TRUE(meetpoint.SendFrame(NewGameVote(12, 1, "Bo")));
  ASSERT_TRUE(gCalls.WaitFor(1));
  EXPECT_EQ(gCalls.Calls()[0], "010");
  ASSERT_TRUE(meetpoint.WaitConnected(2));
  RLSetVotingCallback(RecordVote, 5);
  SendEvent(NewGameVote(13, 0, "Cy"));
  ASSERT_TRUE(gCalls.WaitFor(2));
  EXPECT_EQ(gCalls.Calls()[1], "vote <Cy> 13 0 5");
}

// The system's text for an error code, as the platform under test words it.
static std::string SystemText(uint32_t code) {
#ifdef _WIN32
  char text[256] = {0};
  FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, code,
                 MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), text, 255, nullptr);
  return text;
#else
  return code == 2 ? "The system cannot find the file specified.\r\n"
                   : "More data is available.\r\n";
#endif
}

TEST_F(StartStopTest, AStartFailsWhenTheRegistryNamesNoPort) {
  const struct {
    void (*prepare)();
    const char* failure;
    uint32_t systemError;  // 0: none is written
  } cases[] = {
      {DeleteClientPortKey, "Failed to open ClientPort key", 0},
      {DeleteClientPortValue, "Failed to get ClientPort", 2},
      {[] { SetClientPortValue("1234567890123456"); }, "Failed to get ClientPort", 234},
  };
  // The last session's socket number goes back to the system, and the game's own connections
  // take it: a failed start's sends must reach none of them.
  Start();
  ASSERT_EQ(RLShutdown(), 0);
  ASSERT_TRUE(meetpoint.WaitGameClosed());
  RawSocket listener = RawSocket::Listen();
  std::vector<RawSocket> others;
  for (int i = 0; i < 8; ++i) {
    others.push_back(RawSocket::Connect(listener.Port()));
    others.push_back(listener.Accept(1000));
  }
  for (const auto& c : cases) {
    remove("RallylinkLog.txt");
    debug.reset();  // one capture at a time
    debug = std::make_unique<DebugOutputCapture>();
    c.prepare();
    EXPECT_EQ(RLInitialise(0, 0), 1);
    EXPECT_EQ(Debug(), (c.systemError != 0 ? SystemText(c.systemError) : "") +
                           "Failed to read client port from registry\n");
    // RLShutdown after the failed start: its sends fail, it still closes the log.
    EXPECT_EQ(RLShutdown(), 1);
    EXPECT_EQ(LogFrom("Success, WSA initialised"),
              (std::vector<std::string>{"Success, WSA initialised", c.failure,
                                        "Failed to read client port from registry", "RLShutdown()",
                                        "RLSetGameState( State:5 )", "FAILED: RLSetGameState()",
                                        "FAILED: RLShutdown()", "Stopping message thread"}));
    EXPECT_NE(ReadTextFile("RallylinkLog.txt").find("#### Closing log ####"), std::string::npos);
    SetClientPortValue(std::to_string(meetpoint.Port()));
  }
}

TEST_F(StartStopTest, PortTextIsReadAsANumberAndCutToSixteenBits) {
  RawSocket at4464 = RawSocket::Listen(4464);
  if (!at4464.Valid()) GTEST_SKIP() << "port 4464 is in use on this machine";
  SetClientPortValue("70000");
  EXPECT_EQ(RLInitialise(0, 0), 0);
  EXPECT_EQ(CountLog("ClientPort is 70000"), 1u);
  RawSocket game = at4464.Accept(5000);
  EXPECT_TRUE(game.Valid());
  EXPECT_TRUE(debug->Text().find("Failed") == std::string::npos);
}

// Meetpoint isn't running: the start gives up after 5 s. Once Meetpoint listens, a retry
// without RLShutdown ends what the failed start left and starts a session that works.
TEST_F(StartStopTest, SlowNothingListeningTimesOutAfterFiveSecondsAndARetryConnects) {
  meetpoint.Kill();
  std::string port = std::to_string(meetpoint.Port());
  auto start = steady_clock::now();
  EXPECT_EQ(RLInitialise(0, 0), 1);
  auto elapsed = steady_clock::now() - start;
  EXPECT_GE(elapsed, milliseconds(4900));
  EXPECT_LT(elapsed, milliseconds(9000));
  EXPECT_NE(out->Text().find("Timed out connecting to remote process\nFailed to connect to server "
                             "'Meetpoint'\n"),
            std::string::npos);
  EXPECT_EQ(Debug(), "Failed to connect to server 'Meetpoint'\n");

  ASSERT_TRUE(meetpoint.Restart());
  EXPECT_EQ(RLInitialise(0, 0x0102), 0);
  ASSERT_TRUE(meetpoint.WaitFrames(1));  // Meetpoint has the connection
  RLSetVotingCallback(RecordVote, 0);
  SendEvent(NewGameVote(9, 1, "Al"));
  ASSERT_TRUE(gCalls.WaitFor(1));
  EXPECT_EQ(meetpoint.Frames(), (std::vector<Bytes>{Hex("01 02 01")}));
  std::vector<std::string> log = LogFrom("ClientPort is " + port);
  ASSERT_EQ(log.size(), 10u);
  log.erase(log.begin() + 4);  // the second start's version line
  EXPECT_EQ(log, (std::vector<std::string>{
                     "ClientPort is " + port, "Failed to connect to server 'Meetpoint'",
                     "Stopping message thread", "RLInitialise()", "Success, WSA initialised",
                     "ClientPort is " + port, "Starting message thread", "RLSetVotingCallback()",
                     "MP -> New game vote"}));
  std::string file = ReadTextFile("RallylinkLog.txt");
  EXPECT_NE(file.find("]  Stopping message thread\n\n#### Closing log ####"), std::string::npos);
  EXPECT_NE(file.find("#### Opening log ####"), file.rfind("#### Opening log ####"));
}

}  // namespace
