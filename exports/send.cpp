#include "exports/send.h"

#include "log/log.h"
#include "platform/lockorder.h"

PlatLock csSend;

static SessionState gSessionState RL_GUARDED_BY(csSend) = SessionState::kClosed;

// Plain: no path takes csSend while holding it, which the lock order checks would report.
void CreateSendLock() { PlatLockInitPlain(&csSend); }
void DeleteSendLock() { PlatLockDelete(&csSend); }

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

// Sends under csSend, which the caller holds.
static SendResult SendRequestLocked(uint8_t* frame, uint32_t payloadLength, const char* failureLine)
    RL_REQUIRES(csSend) {
  // After Meetpoint closed the connection the send is still tried: the transport's failure,
  // not an earlier guess, tells the game that the connection is gone.
  bool inSession = gSessionState == SessionState::kOpen || gSessionState == SessionState::kClosing;
  bool sent = inSession && TcpSendFrame(frame, payloadLength) == 1;
  if (!sent && failureLine != nullptr) Log.Write(failureLine);
  return sent ? kSent : kNotSent;
}

SendResult OpenSession(uint8_t* frame, uint32_t payloadLength) {
  RankedLockGuard guard(&csSend, LockRank::kSend);
  gSessionState = SessionState::kOpen;
  return SendRequestLocked(frame, payloadLength, nullptr);
}

SendResult SendRequest(uint8_t* frame, uint32_t payloadLength, const char* failureLine) {
  RankedLockGuard guard(&csSend, LockRank::kSend);
  return SendRequestLocked(frame, payloadLength, failureLine);
}

SendResult RefuseRequest(const char* failureLine) {
  RankedLockGuard guard(&csSend, LockRank::kSend);
  Log.Write(failureLine);
  return kNotSent;
}
