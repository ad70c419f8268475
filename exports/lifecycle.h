// What the exports share: the library's load and unload, the send lock, whether a session
// exists, and the framed send of a request.
#pragma once

#include <cstdint>

#include "platform/platform.h"

extern uint32_t nAttachCount;  // process attachments; the first creates the session object
extern PlatLock csSend;        // serialises whole sends; exists while the library is loaded

// Process attach and detach: create and destroy CSessionData and csSend. Called from DllMain
// on Windows and from the load and unload hooks elsewhere.
void ProcessAttach();
void ProcessDetach();

// A session is starting from the RLInitialise that got past its version banner until that
// call has sent MsgInitialise or failed, then open until RLShutdown ends it. Requests go out
// only while it is open (or closing). The state changes under csSend.
enum class SessionState { kClosed, kStarting, kOpen, kClosing };
// Moves the state from `from` to `to`; false (and no change) when it was not `from`.
bool ChangeSessionState(SessionState from, SessionState to);
void SetSessionState(SessionState to);
// Opens the session and sends its first message in one hold of csSend, so that no request of
// another thread goes out before that message. Returns 0 when it was sent, 1 when not.
uint32_t OpenSession(const void* payload, uint32_t length);

// Sends one request as a frame while holding csSend. Outside a session nothing is sent. When
// the send fails and failureLine is not null, that line is logged, csSend still held.
// Returns 0 when the whole frame was sent, 1 when not.
uint32_t SendRequest(const void* payload, uint32_t length, const char* failureLine);
// Logs failureLine the way a failed send does and returns 1, for requests refused before
// they are built.
uint32_t RefuseRequest(const char* failureLine);

// Little-endian, unaligned writes into message buffers.
inline uint8_t* PutU16(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  return p + 2;
}
inline uint8_t* PutU32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
  return p + 4;
}
