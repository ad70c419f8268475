// The TCP library against a real peer on 127.0.0.1 that has its own framing code: the
// connecting side that the library uses, and the listening side with its receive into the
// block queue.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "support/test_env.h"
#include "tcplibrary/tcpbuffer.h"
#include "tcplibrary/tcplibrary.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

class TcpLibraryTest : public ::testing::Test {
 protected:
  PlatEvent event = nullptr;
  PlatEvent never = PlatEventCreate();
  RawSocket listener = RawSocket::Listen();  // the peer's, for the connecting side
  RawSocket peer;
  uint16_t port = 0;  // the library's own, for the listening side

  void SetUp() override {
    ASSERT_EQ(TcpStartup(), 1);
    ReceiveBuffer.Clear();
  }
  void TearDown() override {
    PlatSocketClose(sktServer);
    if (event != nullptr) PlatEventClose(event);
    PlatEventClose(never);
    PlatSocketCleanup();
  }
  // The library's socket connected to the peer.
  void Connect() {
    event = TcpCreateSocket(0);
    ASSERT_NE(event, nullptr);
    ASSERT_EQ(TcpConnectLoopback(listener.Port()), 1);
    peer = listener.Accept(5000);
    ASSERT_TRUE(peer.Valid());
    ASSERT_EQ(WaitForEvents(), PLAT_FD_CONNECT);
  }
  // The library's socket listening on a free port of its own.
  void Listen() {
    RawSocket probe = RawSocket::Listen();
    port = probe.Port();
    probe.Close();
    event = TcpCreateSocket(port);
    ASSERT_NE(event, nullptr);
    ASSERT_EQ(TcpListen(), 1);
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
    uint32_t events = 0;
    for (int i = 0; i < 50 && events == 0; ++i) {
      if (PlatWaitForEither(event, never, 100) == PLAT_WAIT_FIRST) events = TcpGetNetworkEvents();
    }
    return events;
  }
};

TEST_F(TcpLibraryTest, SentFramesCarryTheirTotalLengthFirst) {
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
  Bytes frame(4 + 4093);
  EXPECT_EQ(TcpSendFrame(frame.data(), 4093), 0);
  EXPECT_TRUE(PeerReceives(0).empty());
}

// A peer that reads nothing for a while fills the connection's buffers, so that the kernel
// takes frames in pieces: each frame that TcpSendMessage reports sent arrives whole, in
// order, and one it refuses leaves nothing of itself on the wire.
TEST_F(TcpLibraryTest, FramesTheKernelTakesInPiecesArriveWhole) {
  Connect();
  Bytes got;
  std::thread reader([&] {
    std::this_thread::sleep_for(milliseconds(300));
    got = PeerReceives(0, 1000);
  });
  Bytes expected;
  // 1500 frames of 4 KiB are more than the connection's buffers hold; the deadline bounds a
  // run whose sends keep failing.
  auto deadline = steady_clock::now() + std::chrono::seconds(20);
  for (uint32_t i = 0; expected.size() < 1500 * 4096u && steady_clock::now() < deadline; ++i) {
    Bytes payload(4092, static_cast<uint8_t>(i));
    if (TcpSendMessage(payload.data(), 4092) != 1) continue;
    Bytes frame = Frame(payload);
    expected.insert(expected.end(), frame.begin(), frame.end());
  }
  reader.join();
  EXPECT_EQ(got.size(), expected.size());
  EXPECT_TRUE(got == expected);
}

// Frames cut into pieces, sent together, too short or too long, and signed types: the hostile
// peer and event tests show what the game sees of them; frames cut short by a close, the
// event_stream fuzz target; a reset, the fault tests.

TEST_F(TcpLibraryTest, GracefulCloseIsReportedAfterTheDataIsRead) {
  Connect();
  ASSERT_TRUE(peer.SendAll(Frame(Hex("23 01 00 00 00 01 00 00 00"))));
  peer.Close();
  std::this_thread::sleep_for(milliseconds(100));  // data and close have both arrived
  EXPECT_EQ(WaitForEvents(), PLAT_FD_READ);
  uint8_t area[4096];
  EXPECT_EQ(TcpReceiveMessage(area, 4095), 0x23);
  EXPECT_EQ(WaitForEvents(), PLAT_FD_CLOSE);
}

TEST_F(TcpLibraryTest, TestingForCloseClearsARecordedRead) {
  Connect();
  ASSERT_TRUE(peer.SendAll(Frame(Hex("20 00 00 00 00 00 00 00 00"))));
  std::this_thread::sleep_for(milliseconds(100));
  EXPECT_EQ(TcpTestNetworkEvent(PLAT_FD_CLOSE), 0u);
  EXPECT_EQ(TcpGetNetworkEvents() & PLAT_FD_READ, 0u);
}

TEST_F(TcpLibraryTest, CloseAfterAShutdownLeavesTheSocketOpen) {
  Connect();
  EXPECT_EQ(TcpClose(), 1);
  EXPECT_TRUE(peer.WaitPeerClosed(5000));
  // The socket still exists: a send fails on it as shut down, not as "not a socket".
  EXPECT_EQ(PlatSocketSend(sktServer, "x", 1), PLAT_SOCKET_ERROR);
  EXPECT_EQ(PlatSocketLastError(), 10058);  // WSAESHUTDOWN
}

TEST_F(TcpLibraryTest, CloseAfterAResetNeverPauses) {
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

TEST_F(TcpLibraryTest, ListeningAcceptsALoopbackConnectionInPlaceOfTheListeningSocket) {
  Listen();
  RawSocket client = RawSocket::Connect(port);
  ASSERT_TRUE(client.Valid());
  EXPECT_EQ(WaitForEvents() & PLAT_FD_ACCEPT, PLAT_FD_ACCEPT);
  PlatSocket listening = sktServer;
  EXPECT_EQ(TcpAccept(), 1);
  EXPECT_NE(sktServer, listening);
  // The accepted connection works both ways and signals the same event.
  const uint8_t vote[] = {0x08, 1, 0, 0, 0, 2};
  EXPECT_EQ(TcpSendMessage(vote, 6), 1);
  Bytes got = client.ReceiveSome(5000, nullptr);
  EXPECT_EQ(got, Hex("0A 00 00 00 08 01 00 00 00 02"));
  ASSERT_TRUE(client.SendAll(Frame(Hex("81 02 03"))));
  EXPECT_EQ(WaitForEvents() & PLAT_FD_READ, PLAT_FD_READ);
  uint32_t count = 0;
  EXPECT_EQ(TcpReceiveToBuffer(4096, &count), -127);
  EXPECT_EQ(count, 7u);
  EXPECT_EQ(ReceiveBuffer.GetNextBlockSize(), 7u);
}

TEST_F(TcpLibraryTest, ListeningAcceptWithNothingPendingFailsAndClosesTheListeningSocket) {
  Listen();
  PlatSocket listening = sktServer;
  EXPECT_EQ(TcpAccept(), 0);
  EXPECT_EQ(sktServer, PLAT_INVALID_SOCKET);
  uint32_t events;
  EXPECT_EQ(PlatSocketEnumEvents(listening, &events), PLAT_SOCKET_ERROR);  // closed
  EXPECT_EQ(PlatSocketLastError(), PLAT_WSAENOTSOCK);
}

TEST_F(TcpLibraryTest, ListeningReceiveToBufferKeepsTheRestAndFailsOnceThePeerClosed) {
  Listen();
  RawSocket client = RawSocket::Connect(port);
  WaitForEvents();
  ASSERT_EQ(TcpAccept(), 1);
  Bytes two = Frame(Hex("20 01 00 00 00 02 00 00 00"));
  Bytes second = Frame(Hex("23 05 00 00 00 01 00 00 00"));
  two.insert(two.end(), second.begin(), second.begin() + 6);  // and half of the next
  ASSERT_TRUE(client.SendAll(two));
  std::this_thread::sleep_for(milliseconds(100));
  ASSERT_NE(WaitForEvents() & PLAT_FD_READ, 0u);
  uint32_t count = 0;
  EXPECT_EQ(TcpReceiveToBuffer(4096, &count), 0x20);
  EXPECT_EQ(count, 19u);
  uint8_t block[64];
  uint32_t size = 0;
  ASSERT_TRUE(ReceiveBuffer.PopBlock(block, &size));
  EXPECT_EQ(size, 13u);
  EXPECT_EQ(ReceiveBuffer.HeldBytes(), 6u);
  EXPECT_EQ(ReceiveBuffer.GetNextBlockSize(), 0u);

  ReceiveBuffer.Clear();
  client.Close();
  std::this_thread::sleep_for(milliseconds(100));
  count = 99;
  EXPECT_EQ(TcpReceiveToBuffer(4096, &count), 0);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(ReceiveBuffer.HeldBytes(), 0u);
}

TEST_F(TcpLibraryTest, ListeningAPeerFromAnotherAddressIsRefusedButItsConnectionKept) {
  Listen();
  RawSocket client = RawSocket::Connect(port, "127.0.0.2");
  if (!client.Valid()) GTEST_SKIP() << "no second loopback address here";
  WaitForEvents();
  EXPECT_EQ(TcpAccept(), 0);
  ASSERT_NE(sktServer, PLAT_INVALID_SOCKET);
  const uint8_t state[] = {0x04, 1};
  EXPECT_EQ(TcpSendMessage(state, 2), 1);  // the connection is still there
  EXPECT_EQ(client.ReceiveSome(5000, nullptr), Hex("06 00 00 00 04 01"));
}

}  // namespace
