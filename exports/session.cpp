// Starting, reporting on and ending the link to Meetpoint: RLInitialise, RLSetGameState and
// RLShutdown.
#include <cstdio>
#include <cstdlib>

#include "exports/send.h"
#include "exports/startstop.h"
#include "log/log.h"
#include "msgthread/msgthread.h"
#include "platform/lockorder.h"
#include "rallylink.h"
#include "session/sessiondata.h"
#include "tcplibrary/tcplibrary.h"
#include "tcplibrary/wire.h"

// How long RLShutdown, RLInitialise and the unload wait for a message thread that is still
// running.
static const uint32_t kThreadEndWaitMs = 5000;

static PlatLock csStartStop;
// Set by a start that failed part-way and cleared once what it set up has been ended; read and
// written with csStartStop held.
static bool bStartFailed = false;

void CreateStartStopLock() { PlatLockInit(&csStartStop); }
void DeleteStartStopLock() { PlatLockDelete(&csStartStop); }

// Holds csStartStop for a whole start or stop. On the message thread (a callback) the lock is
// only taken when it is free: its holder may be waiting for that very thread to end.
class StartStopGuard {
 public:
  StartStopGuard()
      : guard_(OnMessageThread()
                   ? RankedLockGuard(&csStartStop, LockRank::kStartStop, RankedLockGuard::TryOnly{})
                   : RankedLockGuard(&csStartStop, LockRank::kStartStop)) {}
  bool Held() const { return guard_.Held(); }

 private:
  RankedLockGuard guard_;
};

// Writes the library's version and build time to the log. A file without readable version
// information is reported as unknown; the start-up goes on either way.
static void LogVersionBanner() {
  uint32_t size = PlatVersionInfoSize("rallylink.dll");
  if (size == 0) {
    Log.Printf("Rallylink version unknown last built %s at %s", __DATE__, __TIME__);
    return;
  }
  void* buffer = malloc(size);
  if (buffer == nullptr) {
    Log.Write("Out of memory");
    exit(1);  // NOLINT(concurrency-mt-unsafe): the process ends here by design
  }
  uint16_t v[4];
  if (PlatReadFileVersion("rallylink.dll", buffer, size, v)) {
    Log.Printf("Rallylink v%2d.%1d.%1d.%1d   last built %s at %s", v[0], v[1], v[2], v[3], __DATE__,
               __TIME__);
  } else {
    Log.Printf("Rallylink version unknown  last built %s at %s", __DATE__, __TIME__);
  }
  free(buffer);
}

// Reads Meetpoint's port from the registry into the session object: 1 done, 0 not.
static int ReadClientPort() {
  char text[17] = {0};  // one byte more than offered, so the text always ends
  uint32_t size = 16;
  PlatRegKey key = nullptr;
  if (PlatRegOpenLocalMachineKey("Software\\Brightmoor\\Orvane", &key) != 0) {
    Log.Write("Failed to open ClientPort key");
    return 0;
  }
  long result = PlatRegQueryValue(key, "ClientPort", text, &size);
  if (result == 0) {
    pSessionData->SetClientPort(static_cast<uint16_t>(atoi(text)));
    PlatRegCloseKey(key);
    Log.Printf("ClientPort is %s", text);
    return 1;
  }
  char message[256] = {0};
  PlatFormatSystemMessage(static_cast<uint32_t>(result), message, 255);
  PlatDebugOutput(message);
  PlatRegCloseKey(key);
  Log.Write("Failed to get ClientPort");
  return 0;
}

// Logs a start-up failure and writes it to the debugger output; returns RLInitialise's 1.
static int StartFailed(const char* line) {
  char withEnd[128];
  snprintf(withEnd, sizeof withEnd, "%s\n", line);
  PlatDebugOutput(withEnd);
  Log.Write(line);
  return 1;
}

// The start's steps from the socket library to MsgInitialise; the session stays "starting"
// meanwhile, so that the game's requests fail at once instead of using a socket that is still
// being set up or reaching Meetpoint before MsgInitialise. Returns RLInitialise's result.
static int StartLink(uint16_t InitialiseValue) {
  if (!TcpStartup()) {
    Log.Write("Failed to init WSA");
    return 1;
  }
  Log.Write("Success, WSA initialised");
  if (!ReadClientPort()) return StartFailed("Failed to read client port from registry");
  PlatEvent socketEvent = TcpCreateSocket(0);
  SetSocketEvent(socketEvent);
  if (socketEvent == nullptr) return StartFailed("Failed to create and bind the socket");
  if (!TcpConnectLoopback(pSessionData->GetClientPort())) {
    return StartFailed("Failed to connect to server 'Meetpoint'");
  }
  if (!CreateExitEvent()) return StartFailed("Failed to create exit event");
  StartMessageThread();  // a thread that fails to start does not fail the start-up

  uint8_t frame[kFrameHeaderSize + 3];
  uint8_t* message = frame + kFrameHeaderSize;
  message[0] = 0x01;
  PutU16(message + 1, InitialiseValue);
  if (OpenSession(frame, 3) == kSent) return 0;
  StopMessageThread();
  return 1;
}

// Ends what a session set up, after RLShutdown's goodbye or without one: stops the message
// thread and joins it before its events and the socket library go away, unless this is the
// thread itself (a callback) or a callback holds it beyond the wait; then the thread's end, or
// the next start or stop, releases them. Closes the log and the socket library either way.
static void EndSession() {
  StopMessageThread();
  EndMessageThread(kThreadEndWaitMs);
  SetSessionState(SessionState::kClosed);
  bStartFailed = false;
  Log.Close();
  PlatSocketCleanup();
}

extern "C" int RLCALL RLInitialise(uint32_t, uint16_t InitialiseValue) {
  StartStopGuard guard;
  // A start after one that failed ends what that one left, as RLShutdown would but without its
  // goodbye to a Meetpoint that never got a session, and then starts anew.
  if (guard.Held() && bStartFailed) EndSession();
  // Refused without a session object, while a session exists, and while another thread starts
  // or ends one (on the message thread, which can't wait for that).
  if (!guard.Held() || pSessionData == nullptr ||
      !ChangeSessionState(SessionState::kClosed, SessionState::kStarting)) {
    Log.PrintfLevel(2, "RLInitialise()");
    return 1;
  }
  if (OnMessageThread()) {
    // A callback ended the session and starts a new one: the thread it runs on carries on with
    // the new session once the callback returns.
    HandOverMessageThread();
  } else if (!EndMessageThread(kThreadEndWaitMs)) {
    // The last session's thread is still held in a callback: two threads must never serve
    // one connection, and a session without one would never see its events.
    SetSessionState(SessionState::kClosed);
    Log.PrintfLevel(2, "RLInitialise()");
    return 1;
  }
  // The last session's socket value may since name another socket: no request may reach it.
  TcpForgetSocket();

  Log.Open("RallylinkLog.txt");
  Log.SetConsoleStream(stdout);
  Log.PrintfLevel(2, "RLInitialise()");
  LogVersionBanner();
  int result = StartLink(InitialiseValue);
  // A start that failed part-way leaves what it set up for RLShutdown or the next start to
  // end, so the session is open either way; its sends fail unless the connection was made.
  if (result != 0) {
    SetSessionState(SessionState::kOpen);
    bStartFailed = true;
  }
  return result;
}

extern "C" int RLCALL RLSetGameState(uint32_t State) {
  Log.Printf("RLSetGameState( State:%u )", State);
  uint8_t frame[kFrameHeaderSize + 2];
  frame[kFrameHeaderSize] = 0x04;
  frame[kFrameHeaderSize + 1] = static_cast<uint8_t>(State);
  return static_cast<int>(SendRequest(frame, 2, "FAILED: RLSetGameState()"));
}

extern "C" int RLCALL RLShutdown(void) {
  StartStopGuard guard;
  Log.Write("RLShutdown()");
  if (!guard.Held() || !ChangeSessionState(SessionState::kOpen, SessionState::kClosing)) {
    // Outside a session: a thread of an earlier session that is still on its way out is
    // waited for, so that the library may be unloaded once this returns.
    if (guard.Held() && !OnMessageThread()) EndMessageThread(kThreadEndWaitMs);
    return 1;
  }
  RLSetGameState(5);
  uint8_t frame[kFrameHeaderSize + 1];
  frame[kFrameHeaderSize] = 0x02;
  int result = static_cast<int>(SendRequest(frame, 1, "FAILED: RLShutdown()"));
  if (result == kSent) {
    PlatSleep(300);
    // Requests are refused from here on, before the close: a close after a failed shutdown
    // frees the socket's number at once, and no request may reach whatever reuses it.
    SetSessionState(SessionState::kClosed);
    TcpClose();
  }
  EndSession();
  return result;
}

bool EndMessageThreadForUnload() {
  StartStopGuard guard;
  if (OnMessageThread()) return true;  // the process ends from a callback: no return to it
  SignalMessageThreadExit();
  return EndMessageThread(kThreadEndWaitMs, true);
}
