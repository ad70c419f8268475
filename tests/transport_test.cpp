// The loopback transport against a real peer on 127.0.0.1 that has its own framing code.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "support/rawsocket.h"
#include "tcplibrary/tcplibrary.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

// A connected library socket and the peer's end of the connection.
class TransportTest : public ::testing::Test {
 protected:
  PlatEvent event = nullptr;
  RawSocket listener = RawSocket::Listen();
  RawSocket peer;

  void SetUp() override {
    ASSERT_EQ(TcpStartup(), 1);
    event = TcpCreateSocket(0);
    ASSERT_NE(event, nullptr);
  }
  void TearDown() override {
    PlatSocketClose(sktServer);
    PlatEventClose(event);
    PlatSocketCleanup();
  }
  void Connect() {
    ASSERT_EQ(TcpConnectLoopback(listener.Port()), 1);
    peer = listener.Accept(5000);
    ASSERT_TRUE(peer.Valid());
    ASSERT_EQ(WaitForEvents(), PLAT_FD_CONNECT);
  }
  // Everything the peer receives until nothing more comes for quietMs.
  Bytes PeerReceives(size_t expected, int quietMs = 200) {
    Bytes all;
    for (;;) {
      Bytes some = peer.ReceiveSome(all.size() >= expected ? quietMs : 5000, nullptr);
      if (some.empty()) return all;
      all.insert(all.end(), some.begin(), some.end());
    }
  }
  // Waits (at most 5 s) until network events are recorded for the library's socket, as the
  // message thread does, and returns them.
  uint32_t WaitForEvents() {
    PlatEvent never = PlatEventCreate();
    uint32_t events = 0;
    for (int i = 0; i < 50 && events == 0; ++i) {
      if (PlatWaitForEither(event, never, 100) == PLAT_WAIT_FIRST) events = TcpGetNetworkEvents();
    }
    PlatEventClose(never);
    return events;
  }
};

TEST_F(TransportTest, SentFramesCarryTheirTotalLengthFirst) {
  Connect();
  const uint8_t one = 0x06;
  ASSERT_EQ(TcpSendMessage(&one, 1), 1);
  EXPECT_EQ(PeerReceives(5), Hex("05 00 00 00 06"));

  Bytes largest(4092, 0xAB);
  ASSERT_EQ(TcpSendMessage(largest.data(), 4092), 1);
  Bytes got = PeerReceives(4096);
  ASSERT_EQ(got.size(), 4096u);
  EXPECT_EQ(Bytes(got.begin(), got.begin() + 4), Hex("00 10 00 00"));
  EXPECT_EQ(Bytes(got.begin() + 4, got.end()), largest);

  Bytes tooLarge(4093, 0xCD);
  EXPECT_EQ(TcpSendMessage(tooLarge.data(), 4093), 0);
  EXPECT_EQ(TcpSendMessage(tooLarge.data(), 0xFFFFFFFFu), 0);  // would wrap the total
  EXPECT_TRUE(PeerReceives(0).empty());
}

// Frames cut into pieces, sent together, too short or too long, and signed types: the hostile
// peer and event tests show what the game sees of them; frames cut short by a close, the
// event_stream fuzz target; a reset, the fault tests.

TEST_F(TransportTest, GracefulCloseIsReportedAfterTheDataIsRead) {
  Connect();
  ASSERT_TRUE(peer.SendAll(Frame(Hex("23 01 00 00 00 01 00 00 00"))));
  peer.Close();
  std::this_thread::sleep_for(milliseconds(100));  // data and close have both arrived
  EXPECT_EQ(WaitForEvents(), PLAT_FD_READ);
  uint8_t area[4096];
  EXPECT_EQ(TcpReceiveMessage(area, 4095), 0x23);
  EXPECT_EQ(WaitForEvents(), PLAT_FD_CLOSE);
}

TEST_F(TransportTest, TestingForCloseClearsARecordedRead) {
  Connect();
  ASSERT_TRUE(peer.SendAll(Frame(Hex("20 00 00 00 00 00 00 00 00"))));
  std::this_thread::sleep_for(milliseconds(100));
  EXPECT_EQ(TcpTestNetworkEvent(PLAT_FD_CLOSE), 0u);
  EXPECT_EQ(TcpGetNetworkEvents() & PLAT_FD_READ, 0u);
}

TEST_F(TransportTest, CloseAfterAShutdownLeavesTheSocketOpen) {
  Connect();
  EXPECT_EQ(TcpClose(), 1);
  EXPECT_TRUE(peer.WaitPeerClosed(5000));
  // The socket still exists: a send fails on it as shut down, not as "not a socket".
  EXPECT_EQ(PlatSocketSend(sktServer, "x", 1), PLAT_SOCKET_ERROR);
  EXPECT_EQ(PlatSocketLastError(), 10058);  // WSAESHUTDOWN
}

TEST_F(TransportTest, CloseAfterAResetNeverPauses) {
  Connect();
  peer.CloseAbortive();
  std::this_thread::sleep_for(milliseconds(100));
  // Windows still shuts the reset connection down, and the socket stays; where the shutdown
  // fails, FD_CLOSE is already recorded and the socket is closed at once.
  auto start = steady_clock::now();
  int result = TcpClose();
  EXPECT_LT(steady_clock::now() - start, milliseconds(1000));
  EXPECT_EQ(PlatSocketSend(sktServer, "x", 1), PLAT_SOCKET_ERROR);
  EXPECT_EQ(PlatSocketLastError(), result == 1 ? 10058 : PLAT_WSAENOTSOCK) << result;
}

// The send and connect time-outs are the session tests' (a Meetpoint that stops reading, one
// that never listens).

}  // namespace
