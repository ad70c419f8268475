#include "msgthread/msgthread.h"

#include <cstdio>
#include <cstring>

#include "log/log.h"
#include "msgthread/handlers.h"
#include "tcplibrary/tcplibrary.h"

PlatEvent hSocketEvent = nullptr;
PlatEvent hExitEvent = nullptr;
std::atomic<uint8_t> bMsgThreadRunning{0};
PlatThread hMsgThread = PLAT_NO_THREAD;

// The thread that runs the message loop, 0 when none does.
static std::atomic<uint64_t> uMsgThreadId{0};
// Set on the message thread when a callback started a new session there; read and cleared by
// the loop on the same thread once the callback has returned.
static bool bHandOver = false;

void DispatchReceived(int type, const uint8_t* payload, uint32_t length) {
  switch (type) {
    case 0x20:
      Log.Write("MP -> New game instance");
      OnNewGameInstance(payload, length);
      break;
    case 0x21:
      Log.Write("MP -> New game results");
      OnNewGameResults(payload, length);
      break;
    case 0x22:
      Log.Write("MP -> New game vote");
      OnNewGameVote(payload, length);
      break;
    case 0x23:
      Log.Write("MP -> New game join");
      OnNewGameJoin(payload, length);
      break;
    case 0x2C:
      Log.Write("MP -> Incoming message");
      OnIncomingMessage(payload, length);
      break;
    default:
      // A failed receive comes here as type 0; a type byte of 0x80 or more is negative.
      Log.Write("MP -> Unknown message type");
      fprintf(stderr, "Unknown message 0x%02X\n", static_cast<unsigned>(type));
      break;
  }
}

LoopEnd RunMessageLoop(PlatEvent socketEvent, PlatEvent exitEvent, uint8_t* area) {
  for (;;) {
    int result = PlatWaitForEither(socketEvent, exitEvent, PLAT_INFINITE);
    if (result == PLAT_WAIT_FIRST) {
      uint32_t events = TcpGetNetworkEvents();
      if (events & PLAT_FD_CLOSE) return LoopEnd::kClosed;  // even unread data is left
      if (events & PLAT_FD_READ) {
        uint32_t length = 0;
        int type = TcpReceiveMessage(area, 4095, &length);
        DispatchReceived(type, area, length);
        if (bHandOver) {
          bHandOver = false;
          return LoopEnd::kHandOver;
        }
      }
    } else if (result == PLAT_WAIT_SECOND || result == PLAT_WAIT_FAILED) {
      return LoopEnd::kExit;
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
  while (RunMessageLoop(socketEvent, exitEvent, area) == LoopEnd::kHandOver) {
    // A callback ended the session and started a new one: the old events have no other user,
    // and the thread carries on with the new session's, if its start got that far.
    PlatEventClose(socketEvent);
    PlatEventClose(exitEvent);
    socketEvent = hSocketEvent;
    exitEvent = hExitEvent;
    if (socketEvent == nullptr || exitEvent == nullptr) break;
  }
  bMsgThreadRunning = 0;
  uMsgThreadId = 0;
}

void SetSocketEvent(PlatEvent event) { hSocketEvent = event; }

bool CreateExitEvent() {
  hExitEvent = PlatEventCreate();
  return hExitEvent != nullptr;
}

int StartMessageThread() {
  Log.Write("Starting message thread");
  if (bMsgThreadRunning == 1) return 0;
  hMsgThread = PlatThreadStart(MessageThread, nullptr);
  if (hMsgThread == PLAT_NO_THREAD) return 0;
  bMsgThreadRunning = 1;
  return 1;
}

int StopMessageThread() {
  Log.Write("Stopping message thread");
  if (bMsgThreadRunning == 0) return 0;
  PlatEventSet(hExitEvent);
  return 1;
}

void SignalMessageThreadExit() {
  if (bMsgThreadRunning == 1) PlatEventSet(hExitEvent);
}

static void ReleaseEvents() {
  if (hSocketEvent != nullptr) PlatEventClose(hSocketEvent);
  if (hExitEvent != nullptr) PlatEventClose(hExitEvent);
  hSocketEvent = nullptr;
  hExitEvent = nullptr;
}

bool EndMessageThread(uint32_t timeoutMs, bool atUnload) {
  if (OnMessageThread()) return false;
  if (hMsgThread != PLAT_NO_THREAD) {
    if (!PlatThreadJoin(hMsgThread, timeoutMs, atUnload)) return false;
    hMsgThread = PLAT_NO_THREAD;
    // A thread that ended before its start had marked it running left the mark behind.
    bMsgThreadRunning = 0;
  }
  ReleaseEvents();
  return true;
}

void HandOverMessageThread() {
  if (bHandOver) {
    // A session started and ended within this same callback: no loop ever took its events,
    // so nothing else will close them.
    ReleaseEvents();
  } else {
    // The loop still holds the old events and closes them itself once the callback returns.
    bHandOver = true;
    hSocketEvent = nullptr;
    hExitEvent = nullptr;
  }
}

bool OnMessageThread() { return uMsgThreadId != 0 && uMsgThreadId == PlatCurrentThreadId(); }
