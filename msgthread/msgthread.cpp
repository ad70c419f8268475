#include "msgthread/msgthread.h"

#include <cstdio>
#include <cstring>

#include "log/log.h"
#include "msgthread/handlers.h"
#include "tcplibrary/tcplibrary.h"

PlatEvent hSocketEvent = nullptr;
PlatEvent hExitEvent = nullptr;
std::atomic<uint8_t> bMsgThreadRunning{0};
PlatThread hMsgThread = 0;
std::atomic<bool> bConnectionClosed{false};

// Threads started and not yet ended: exact even when a thread ends before its start returns,
// which bMsgThreadRunning is not.
static std::atomic<int> nMsgThreadsAlive{0};
static std::atomic<uint64_t> uMsgThreadId{0};

void DispatchMessage(int type, const uint8_t* payload, uint32_t length) {
  switch (type) {
    case 0x20:
      Log.Printf("MP -> New game instance");
      OnNewGameInstance(payload, length);
      break;
    case 0x21:
      Log.Printf("MP -> New game results");
      OnNewGameResults(payload, length);
      break;
    case 0x22:
      Log.Printf("MP -> New game vote");
      OnNewGameVote(payload, length);
      break;
    case 0x23:
      Log.Printf("MP -> New game join");
      OnNewGameJoin(payload, length);
      break;
    case 0x2C:
      Log.Printf("MP -> Incoming message");
      OnIncomingMessage(payload, length);
      break;
    default:
      // A failed receive comes here as type 0; a type byte of 0x80 or more is negative.
      Log.Printf("MP -> Unknown message type");
      fprintf(stderr, "Unknown message 0x%02X\n", static_cast<unsigned>(type));
      break;
  }
}

bool RunMessageLoop(PlatEvent socketEvent, PlatEvent exitEvent, uint8_t* area) {
  for (;;) {
    int result = PlatWaitForEither(socketEvent, exitEvent, PLAT_INFINITE);
    if (result == PLAT_WAIT_FIRST) {
      uint32_t events = TcpGetNetworkEvents();
      if (events & PLAT_FD_CLOSE) return true;  // Meetpoint closed: even unread data is left
      if (events & PLAT_FD_READ) {
        uint32_t length = 0;
        int type = TcpReceiveMessage(area, 4095, &length);
        DispatchMessage(type, area, length);
      }
    } else if (result == PLAT_WAIT_SECOND || result == PLAT_WAIT_FAILED) {
      return false;
    }
  }
}

static void MessageThread(void*) {
  uint8_t area[4096];
  memset(area, 0, sizeof area);  // once: later messages overwrite what they need
  PlatEvent socketEvent = hSocketEvent;
  PlatEvent exitEvent = hExitEvent;
  uMsgThreadId = PlatCurrentThreadId();
  bMsgThreadRunning = 1;
  if (RunMessageLoop(socketEvent, exitEvent, area)) bConnectionClosed = true;
  bMsgThreadRunning = 0;
  uMsgThreadId = 0;
  --nMsgThreadsAlive;
  PlatThreadEnd();
}

int StartMessageThread() {
  Log.Printf("Starting message thread");
  if (bMsgThreadRunning == 1) return 0;
  ++nMsgThreadsAlive;
  hMsgThread = PlatThreadStart(MessageThread, nullptr);
  if (hMsgThread == PLAT_THREAD_FAILED) {
    --nMsgThreadsAlive;
    return 0;
  }
  bMsgThreadRunning = 1;
  return 1;
}

int StopMessageThread() {
  Log.Printf("Stopping message thread");
  if (bMsgThreadRunning == 0) return 0;
  PlatEventSet(hExitEvent);
  return 1;
}

bool OnMessageThread() { return uMsgThreadId != 0 && uMsgThreadId == PlatCurrentThreadId(); }

bool WaitForMessageThreadEnd(uint32_t timeoutMs) {
  if (OnMessageThread()) return false;
  for (uint32_t waited = 0; nMsgThreadsAlive > 0; waited += 5) {
    if (waited >= timeoutMs) return false;
    PlatSleep(5);
  }
  return true;
}
