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

TEST_F(TransportTest, AFrameInPiecesIsCompleted) {
  Connect();
  Bytes frame = Frame(Hex("22 07 00 00 00 01 41 6C 00"));
  // The length field itself is split, then the payload, each piece after a pause.
  std::thread sender([&] {
    for (size_t cut : {size_t(0), size_t(2), size_t(6)}) {
      size_t end = cut == 6 ? frame.size() : cut + (cut == 0 ? 2 : 4);
      peer.SendAll(frame.data() + cut, end - cut);
      std::this_thread::sleep_for(milliseconds(150));
    }
  });
  uint32_t events = WaitForEvents();
  uint8_t area[4096];
  uint32_t length = 0;
  int type = TcpReceiveMessage(area, 4095, &length);
  sender.join();
  EXPECT_EQ(events, PLAT_FD_READ);
  EXPECT_EQ(type, 0x22);
  EXPECT_EQ(length, 9u);
  EXPECT_EQ(Bytes(area, area + 9), Hex("22 07 00 00 00 01 41 6C 00"));
}

TEST_F(TransportTest, TypesAreSignedAndShortFramesFail) {
  Connect();
  uint8_t area[4096];
  ASSERT_TRUE(peer.SendAll(Frame(Hex("81 01"))));
  ASSERT_NE(WaitForEvents() & PLAT_FD_READ, 0u);
  EXPECT_EQ(TcpReceiveMessage(area, 4095), -127);

  // A length field below 5 leaves no type byte: a failed receive.
  ASSERT_TRUE(peer.SendAll(Hex("04 00 00 00")));
  ASSERT_NE(WaitForEvents() & PLAT_FD_READ, 0u);
  uint32_t length = 99;
  EXPECT_EQ(TcpReceiveMessage(area, 4095, &length), 0);
  EXPECT_EQ(length, 0u);
}

TEST_F(TransportTest, BytesBeyondTheFrameInTheSameReceiveAreLost) {
  Connect();
  Bytes two = Frame(Hex("20 01 00 00 00 02 00 00 00"));
  Bytes second = Frame(Hex("23 05 00 00 00 01 00 00 00"));
  two.insert(two.end(), second.begin(), second.end());
  ASSERT_TRUE(peer.SendAll(two));
  std::this_thread::sleep_for(milliseconds(100));  // both frames are in the kernel's buffer
  ASSERT_NE(WaitForEvents() & PLAT_FD_READ, 0u);
  uint8_t area[4096];
  uint32_t length = 0;
  EXPECT_EQ(TcpReceiveMessage(area, 4095, &length), 0x20);
  EXPECT_EQ(length, 9u);
  // The area also got the second frame's bytes, but nothing of it is left on the socket.
  EXPECT_EQ(Bytes(area + 9, area + 9 + 13), second);
  uint32_t none = 0;
  EXPECT_EQ(PlatSocketRecv(sktServer, &none, 4), PLAT_SOCKET_ERROR);
  EXPECT_EQ(PlatSocketLastError(), PLAT_WSAEWOULDBLOCK);
}

TEST_F(TransportTest, AFrameLongerThanTheMaximumFails) {
  Connect();
  Bytes big(4092, 0x20);
  ASSERT_TRUE(peer.SendAll(Frame(big)));  // 4096 bytes: one more than the message thread takes
  std::this_thread::sleep_for(milliseconds(100));
  ASSERT_NE(WaitForEvents() & PLAT_FD_READ, 0u);
  uint8_t area[4096];
  EXPECT_EQ(TcpReceiveMessage(area, 4095), 0);
}

TEST_F(TransportTest, PeerClosingMidFrameFailsTheReceive) {
  Connect();
  ASSERT_TRUE(peer.SendAll(Hex("10 00 00 00 22 07")));
  ASSERT_NE(WaitForEvents() & PLAT_FD_READ, 0u);
  std::thread closer([&] {
    std::this_thread::sleep_for(milliseconds(100));
    peer.Close();
  });
  uint8_t area[4096];
  EXPECT_EQ(TcpReceiveMessage(area, 4095), 0);
  closer.join();
}

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

TEST_F(TransportTest, AbortiveCloseIsReportedAsClose) {
  Connect();
  peer.CloseAbortive();
  EXPECT_NE(WaitForEvents() & PLAT_FD_CLOSE, 0u);
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
  // The socket still exists: a second shutdown fails on it for another reason than "not a
  // socket".
  EXPECT_EQ(PlatSocketSend(sktServer, "x", 1), PLAT_SOCKET_ERROR);
  EXPECT_NE(PlatSocketLastError(), PLAT_WSAENOTSOCK);
}

TEST_F(TransportTest, CloseAfterAResetClosesTheSocketAtOnce) {
  Connect();
  peer.CloseAbortive();
  std::this_thread::sleep_for(milliseconds(100));
  auto start = steady_clock::now();
  int result = TcpClose();
  if (result == 0) {
    // The shutdown failed on the reset connection: FD_CLOSE was already recorded.
    EXPECT_LT(steady_clock::now() - start, milliseconds(1000));
    EXPECT_EQ(PlatSocketSend(sktServer, "x", 1), PLAT_SOCKET_ERROR);
    EXPECT_EQ(PlatSocketLastError(), PLAT_WSAENOTSOCK);
  }
}

TEST_F(TransportTest, SlowSendFailsWithinItsWaitWhenThePeerNeverReads) {
  peer = RawSocket();
  listener.SetSmallReceiveBuffer();
  Connect();
  Bytes chunk(4092, 0x11);
  auto start = steady_clock::now();
  int sent = 0;
  while (TcpSendMessage(chunk.data(), 4092) == 1 && sent < 100000) ++sent;
  // The kernel's buffers filled up; the last send waited at most about 5 s and failed.
  EXPECT_LT(sent, 100000);
  EXPECT_LT(steady_clock::now() - start, std::chrono::seconds(30));
}

TEST_F(TransportTest, SlowConnectToAClosedPortTimesOutAfterFiveSeconds) {
  uint16_t closedPort = listener.Port();
  listener.Close();
  testing::internal::CaptureStdout();
  auto start = steady_clock::now();
  EXPECT_EQ(TcpConnectLoopback(closedPort), 0);
  auto elapsed = steady_clock::now() - start;
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Timed out connecting to remote process\n");
  EXPECT_GE(elapsed, milliseconds(4900));
  EXPECT_LT(elapsed, milliseconds(8000));
}

}  // namespace
