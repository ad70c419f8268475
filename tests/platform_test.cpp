// The platform layer's contract, held to the same tests on every platform, so that the POSIX
// implementation behaves as Windows does where the library relies on it.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "platform/platform.h"
#include "rallylink_version.h"
#include "support/test_env.h"

#ifndef _WIN32
#include <sys/resource.h>
#include <unistd.h>
#endif

namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

// The socket tests' socket is made by the platform layer with a started socket library.
class Platform : public ::testing::Test {
 protected:
  PlatSocket s = PLAT_INVALID_SOCKET;
  PlatEvent event = nullptr;
  void OpenSocket() {
    ASSERT_EQ(PlatSocketStartup(), 0);
    s = PlatSocketCreate();
    ASSERT_NE(s, PLAT_INVALID_SOCKET);
    ASSERT_EQ(PlatSocketBind(s, PlatLoopbackAddress(), 0), 0);
    event = PlatEventCreate();
    ASSERT_EQ(PlatSocketEventSelect(s, event, 0x39), 0);
  }
  void TearDown() override {
    if (event == nullptr) return;
    PlatSocketClose(s);
    PlatEventClose(event);
    PlatSocketCleanup();
  }
  // Connects s to a peer of its own, waits for the connection's network events with `other`
  // as the second event and takes them into *events. Returns the peer's end.
  RawSocket ConnectPeer(PlatEvent other, uint32_t* events) {
    RawSocket listener = RawSocket::Listen();
    PlatSocketConnect(s, PlatLoopbackAddress(), listener.Port());
    EXPECT_EQ(PlatSocketSelect(s, true, 5, 0), 1);
    RawSocket peer = listener.Accept(5000);
    EXPECT_EQ(PlatWaitForEither(event, other, 5000), PLAT_WAIT_FIRST);
    EXPECT_EQ(PlatSocketEnumEvents(s, events), 0);
    return peer;
  }
};

TEST_F(Platform, LockIsRecursiveForItsOwner) {
  PlatLock lock;
  PlatLockInit(&lock);
  PlatLockEnter(&lock);
  PlatLockEnter(&lock);
  std::atomic<bool> entered{false};
  EXPECT_TRUE(PlatLockTryEnter(&lock));  // the owner's try succeeds...
  PlatLockLeave(&lock);
  std::thread other([&] {
    EXPECT_FALSE(PlatLockTryEnter(&lock));  // ...another thread's fails without waiting
    PlatLockGuard guard(&lock);
    entered = true;
  });
  std::this_thread::sleep_for(milliseconds(50));
  EXPECT_FALSE(entered);
  PlatLockLeave(&lock);
  std::this_thread::sleep_for(milliseconds(50));
  EXPECT_FALSE(entered);  // still held once
  PlatLockLeave(&lock);
  other.join();
  EXPECT_TRUE(entered);
  PlatLockDelete(&lock);
}

TEST_F(Platform, EventResetsAutomaticallyAndPrefersTheFirst) {
  PlatEvent a = PlatEventCreate();
  PlatEvent b = PlatEventCreate();
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(PlatWaitForEither(a, b, 0), PLAT_WAIT_TIMEOUT);
  PlatEventSet(a);
  PlatEventSet(a);  // signalling twice is still one signal
  PlatEventSet(b);
  EXPECT_EQ(PlatWaitForEither(a, b, 0), PLAT_WAIT_FIRST);
  EXPECT_EQ(PlatWaitForEither(a, b, 0), PLAT_WAIT_SECOND);
  EXPECT_EQ(PlatWaitForEither(a, b, 20), PLAT_WAIT_TIMEOUT);
  std::thread setter([&] {
    std::this_thread::sleep_for(milliseconds(50));
    PlatEventSet(b);
  });
  EXPECT_EQ(PlatWaitForEither(a, b, PLAT_INFINITE), PLAT_WAIT_SECOND);
  setter.join();
  PlatEventClose(a);
  PlatEventClose(b);
  // Closing an event gives back what it held.
  int handles = HandleCount();
  for (int i = 0; i < 20; ++i) PlatEventClose(PlatEventCreate());
  EXPECT_EQ(HandleCount(), handles);
}

TEST_F(Platform, ThreadAJoinWaitsForTheThreadsEndAndNoLonger) {
  static PlatEvent events[2];
  static std::atomic<int> stage{0};
  events[0] = PlatEventCreate();  // go
  events[1] = PlatEventCreate();  // never signalled
  stage = 0;
  PlatThread thread = PlatThreadStart(
      [](void*) {
        PlatWaitForEither(events[0], events[1], 5000);
        PlatSleep(100);  // so that the second join has to wait for the end
        stage = 1;
      },
      nullptr);
  ASSERT_NE(thread, PLAT_NO_THREAD);
  EXPECT_FALSE(PlatThreadJoin(thread, 50));  // still waiting for go: the handle stays valid
  PlatEventSet(events[0]);
  EXPECT_TRUE(PlatThreadJoin(thread, 4999));  // a time-out whose milliseconds carry into seconds
  EXPECT_EQ(stage, 1);
  PlatEventClose(events[0]);
  PlatEventClose(events[1]);
}

#ifndef _WIN32
// With no descriptor left, creating an event fails and leaves the error code that Windows would
// give, where the socket functions report it.
TEST_F(Platform, EventAFailedCreationLeavesItsErrorCode) {
  int lowestFree = dup(0);
  ASSERT_GE(lowestFree, 0);
  close(lowestFree);
  rlimit saved;
  getrlimit(RLIMIT_NOFILE, &saved);
  rlimit none = saved;
  none.rlim_cur = static_cast<rlim_t>(lowestFree);  // every lower descriptor is in use
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &none), 0);
  PlatEvent created = PlatEventCreate();
  int error = PlatSocketLastError();
  setrlimit(RLIMIT_NOFILE, &saved);
  EXPECT_EQ(created, nullptr);
  EXPECT_EQ(error, 4);  // ERROR_TOO_MANY_OPEN_FILES
}
#endif

TEST_F(Platform, VersionTheLibraryFileCarriesTheProjectVersion) {
  uint32_t size = PlatVersionInfoSize("rallylink.dll");
  ASSERT_GT(size, 0u);
  std::vector<char> buffer(size);
  uint16_t v[4] = {};
  ASSERT_TRUE(PlatReadFileVersion("rallylink.dll", buffer.data(), size, v));
  EXPECT_EQ(std::vector<uint16_t>(v, v + 4),
            (std::vector<uint16_t>{RALLYLINK_VERSION_MAJOR, RALLYLINK_VERSION_MINOR,
                                   RALLYLINK_VERSION_PATCH, RALLYLINK_VERSION_TWEAK}));
  EXPECT_EQ(PlatVersionInfoSize("no-such-module.dll"), 0u);
  EXPECT_FALSE(PlatReadFileVersion("no-such-module.dll", buffer.data(), size, v));
}

// The value a game's registry names Meetpoint's port with, read again and again.
TEST_F(Platform, RegistryReadsGiveTheirHandlesBack) {
  ScratchDir dir;
  SetClientPortValue("4321");
  int handles = HandleCount();
  for (int i = 0; i < 20; ++i) {
    PlatRegKey key = nullptr;
    ASSERT_EQ(PlatRegOpenLocalMachineKey("Software\\Brightmoor\\Orvane", &key), 0);
    char data[16] = {0};
    uint32_t size = sizeof data;
    EXPECT_EQ(PlatRegQueryValue(key, "ClientPort", data, &size), 0);
    EXPECT_STREQ(data, "4321");
    PlatRegCloseKey(key);
  }
  EXPECT_EQ(HandleCount(), handles);
  DeleteClientPortKey();
}

TEST_F(Platform, SocketARefusedConnectIsNeverWritable) {
  OpenSocket();
  RawSocket closed = RawSocket::Listen();
  uint16_t port = closed.Port();
  closed.Close();
  EXPECT_EQ(PlatSocketConnect(s, PlatLoopbackAddress(), port), PLAT_SOCKET_ERROR);
  EXPECT_EQ(PlatSocketLastError(), PLAT_WSAEWOULDBLOCK);
  auto start = steady_clock::now();
  EXPECT_EQ(PlatSocketSelect(s, true, 1, 0), 0);
  EXPECT_GE(steady_clock::now() - start, milliseconds(950));
}

TEST_F(Platform, SocketErrorsUseWindowsSocketsNumbers) {
  OpenSocket();
  char byte = 0;
  EXPECT_EQ(PlatSocketSend(s, &byte, 1), PLAT_SOCKET_ERROR);  // not connected
  EXPECT_NE(PlatSocketLastError(), PLAT_WSAEWOULDBLOCK);

  RawSocket listener = RawSocket::Listen();
  PlatSocketConnect(s, PlatLoopbackAddress(), listener.Port());
  ASSERT_EQ(PlatSocketSelect(s, true, 5, 0), 1);
  RawSocket peer = listener.Accept(5000);
  EXPECT_EQ(PlatSocketRecv(s, &byte, 1), PLAT_SOCKET_ERROR);
  EXPECT_EQ(PlatSocketLastError(), PLAT_WSAEWOULDBLOCK);

  peer.CloseAbortive();
  std::this_thread::sleep_for(milliseconds(100));
  // After a reset a receive reports the end of the connection: as a reset, or (under Wine) as
  // a close.
  int received = PlatSocketRecv(s, &byte, 1);
  EXPECT_LE(received, 0);
  if (received == PLAT_SOCKET_ERROR) {
    EXPECT_EQ(PlatSocketLastError(), PLAT_WSAECONNRESET);
  }
  // Sending on the reset connection fails without a signal ending the process.
  for (int i = 0; i < 3; ++i) EXPECT_EQ(PlatSocketSend(s, "abc", 3), PLAT_SOCKET_ERROR);

  EXPECT_EQ(PlatSocketSend(PLAT_INVALID_SOCKET, "abc", 3), PLAT_SOCKET_ERROR);
  EXPECT_EQ(PlatSocketLastError(), PLAT_WSAENOTSOCK);
}

TEST_F(Platform, SocketEventsAreRecordedOnceAndReEnabledByTheirCall) {
  OpenSocket();
  PlatEvent never = PlatEventCreate();
  uint32_t events = 0;
  RawSocket peer = ConnectPeer(never, &events);
  EXPECT_EQ(events, PLAT_FD_CONNECT);

  peer.SendAll("abcd", 4);
  ASSERT_EQ(PlatWaitForEither(event, never, 5000), PLAT_WAIT_FIRST);
  ASSERT_EQ(PlatSocketEnumEvents(s, &events), 0);
  EXPECT_EQ(events, PLAT_FD_READ);
  // More data without a receive records nothing new.
  peer.SendAll("efgh", 4);
  EXPECT_EQ(PlatWaitForEither(event, never, 200), PLAT_WAIT_TIMEOUT);
  // A receive that leaves data behind re-enables FD_READ at once.
  char buffer[8];
  EXPECT_EQ(PlatSocketRecv(s, buffer, 2), 2);
  ASSERT_EQ(PlatWaitForEither(event, never, 5000), PLAT_WAIT_FIRST);
  ASSERT_EQ(PlatSocketEnumEvents(s, &events), 0);
  EXPECT_EQ(events, PLAT_FD_READ);
  EXPECT_EQ(PlatSocketRecv(s, buffer, 8), 6);
  PlatEventClose(never);
}

// A socket's network event and the other event due together: the first in the list wins and
// the second stays signalled for the next wait, whichever of the two the socket signals.
TEST_F(Platform, SocketNetworkEventsTakeTheirTurnWithTheOtherEvent) {
  OpenSocket();
  PlatEvent other = PlatEventCreate();
  uint32_t events = 0;
  RawSocket peer = ConnectPeer(other, &events);

  peer.SendAll("abcd", 4);
  PlatEventSet(other);
  std::this_thread::sleep_for(milliseconds(50));  // both are due before the wait starts
  EXPECT_EQ(PlatWaitForEither(event, other, 5000), PLAT_WAIT_FIRST);
  EXPECT_EQ(PlatWaitForEither(event, other, 0), PLAT_WAIT_SECOND);
  EXPECT_EQ(PlatWaitForEither(event, other, 0), PLAT_WAIT_TIMEOUT);
  ASSERT_EQ(PlatSocketEnumEvents(s, &events), 0);
  EXPECT_EQ(events, PLAT_FD_READ);

  char buffer[8];
  EXPECT_EQ(PlatSocketRecv(s, buffer, 8), 4);
  peer.SendAll("efgh", 4);
  PlatEventSet(other);
  std::this_thread::sleep_for(milliseconds(50));
  EXPECT_EQ(PlatWaitForEither(other, event, 5000), PLAT_WAIT_FIRST);
  EXPECT_EQ(PlatWaitForEither(other, event, 0), PLAT_WAIT_SECOND);
  EXPECT_EQ(PlatWaitForEither(other, event, 0), PLAT_WAIT_TIMEOUT);
  PlatEventClose(other);
}

// The listening side (an accepted socket inherits the event selection) is the listening
// tests'.

TEST_F(Platform, StartupSocketsNeedAStartedLibraryAndTheLastCleanUpReleasesThem) {
  EXPECT_EQ(PlatSocketCreate(), PLAT_INVALID_SOCKET);
  EXPECT_EQ(PlatSocketLastError(), PLAT_WSANOTINITIALISED);
  ASSERT_EQ(PlatSocketStartup(), 0);
  ASSERT_NE(PlatSocketCreate(), PLAT_INVALID_SOCKET);
  EXPECT_EQ(PlatSocketCleanup(), 0);
  EXPECT_EQ(PlatSocketCleanup(), PLAT_SOCKET_ERROR);
  EXPECT_EQ(PlatSocketLastError(), PLAT_WSANOTINITIALISED);
}

}  // namespace
