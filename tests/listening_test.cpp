// The listening side of the TCP library and its receive into the block queue, against a raw
// peer on 127.0.0.1.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "support/rawsocket.h"
#include "tcplibrary/tcpbuffer.h"
#include "tcplibrary/tcplibrary.h"

namespace {

using std::chrono::milliseconds;

class ListeningTest : public ::testing::Test {
 protected:
  PlatEvent event = nullptr;
  PlatEvent never = PlatEventCreate();
  uint16_t port = 0;

  void SetUp() override {
    ASSERT_EQ(TcpStartup(), 1);
    RawSocket probe = RawSocket::Listen();  // a free port for the library to serve on
    port = probe.Port();
    probe.Close();
    event = TcpCreateSocket(port);
    ASSERT_NE(event, nullptr);
    ReceiveBuffer.Clear();
  }
  void TearDown() override {
    PlatSocketClose(sktServer);
    PlatEventClose(event);
    PlatEventClose(never);
    PlatSocketCleanup();
  }
  uint32_t WaitForEvents() {
    uint32_t events = 0;
    for (int i = 0; i < 50 && events == 0; ++i) {
      if (PlatWaitForEither(event, never, 100) == PLAT_WAIT_FIRST) events = TcpGetNetworkEvents();
    }
    return events;
  }
};

TEST_F(ListeningTest, AcceptsALoopbackConnectionInPlaceOfTheListeningSocket) {
  ASSERT_EQ(TcpListen(), 1);
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

TEST_F(ListeningTest, AcceptWithNothingPendingFailsAndClosesTheListeningSocket) {
  ASSERT_EQ(TcpListen(), 1);
  PlatSocket listening = sktServer;
  EXPECT_EQ(TcpAccept(), 0);
  EXPECT_EQ(sktServer, PLAT_INVALID_SOCKET);
  uint32_t events;
  EXPECT_EQ(PlatSocketEnumEvents(listening, &events), PLAT_SOCKET_ERROR);  // closed
  EXPECT_EQ(PlatSocketLastError(), PLAT_WSAENOTSOCK);
}

TEST_F(ListeningTest, ReceiveToBufferKeepsWhatFollowsTheFrameAndFailsOnceThePeerHasClosed) {
  ASSERT_EQ(TcpListen(), 1);
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

TEST_F(ListeningTest, APeerFromAnotherAddressIsRefusedButItsConnectionKept) {
  ASSERT_EQ(TcpListen(), 1);
  RawSocket client = RawSocket::Connect(port, "127.0.0.2");
  if (!client.Valid()) GTEST_SKIP() << "no second loopback address here";
  WaitForEvents();
  EXPECT_EQ(TcpAccept(), 0);
  ASSERT_NE(sktServer, PLAT_INVALID_SOCKET);
  const uint8_t state[] = {0x04, 1};
  EXPECT_EQ(TcpSendMessage(state, 2), 1);  // the connection is still there
  EXPECT_EQ(client.ReceiveSome(5000, nullptr), Hex("06 00 00 00 04 01"));
}

TEST_F(ListeningTest, ConnectReachesAnyAddressAndPort) {
  RawSocket server = RawSocket::Listen();
  EXPECT_EQ(TcpConnect(PlatLoopbackAddress(), server.Port()), 1);
  EXPECT_TRUE(server.Accept(5000).Valid());
}

}  // namespace
