#include "exports/lifecycle.h"

#include <new>

#include "log/log.h"
#include "msgthread/msgthread.h"
#include "platform/lockorder.h"
#include "session/sessiondata.h"
#include "tcplibrary/tcplibrary.h"

uint32_t nAttachCount = 0;
PlatLock csSend;

static SessionState gSessionState = SessionState::kClosed;  // guarded by csSend

void ProcessAttach() {
  PlatDebugOutput("DLL Init routine...(DLL_PROCESS_ATTACH)\n");
  if (++nAttachCount == 1) {
    // csSend lives as long as the library, so that every export can reach it: a session
    // only marks whether sends may go out.
    PlatLockInit(&csSend);
    pSessionData = new (std::nothrow) CSessionData();
  }
  PlatDebugOutput("DLL Init routine...(DLL_PROCESS_ATTACH [2])\n");
}

void ProcessDetach() {
  if (nAttachCount == 0) return;
  if (--nAttachCount == 0) {
    delete pSessionData;
    pSessionData = nullptr;
    PlatLockDelete(&csSend);
  }
}

bool ChangeSessionState(SessionState from, SessionState to) {
  RankedLockGuard guard(&csSend, LockRank::kSend);
  if (gSessionState != from) return false;
  gSessionState = to;
  return true;
}

void SetSessionState(SessionState to) {
  RankedLockGuard guard(&csSend, LockRank::kSend);
  gSessionState = to;
}

uint32_t OpenSession(const void* payload, uint32_t length) {
  RankedLockGuard guard(&csSend, LockRank::kSend);
  gSessionState = SessionState::kOpen;
  return SendRequest(payload, length, nullptr);
}

uint32_t SendRequest(const void* payload, uint32_t length, const char* failureLine) {
  RankedLockGuard guard(&csSend, LockRank::kSend);
  bool inSession =
      (gSessionState == SessionState::kOpen || gSessionState == SessionState::kClosing) &&
      !bConnectionClosed;
  bool sent = inSession && TcpSendMessage(payload, length) == 1;
  if (!sent && failureLine != nullptr) Log.Printf("%s", failureLine);
  return sent ? 0 : 1;
}

uint32_t RefuseRequest(const char* failureLine) {
  RankedLockGuard guard(&csSend, LockRank::kSend);
  Log.Printf("%s", failureLine);
  return 1;
}
