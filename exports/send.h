// The send path that every sending export shares: the send lock, whether a session exists,
// and the framed send of one request.
#pragma once

#include <cstdint>

#include "platform/platform.h"
#include "tcplibrary/tcplibrary.h"

// What a sending export returns: 0 when the whole message was handed to the connection, 1
// when it was not.
enum SendResult : uint32_t { kSent = 0, kNotSent = 1 };

extern PlatLock csSend;  // serialises whole sends; exists while the library is loaded

// Creates and deletes csSend, at the library's load and unload.
void CreateSendLock();
void DeleteSendLock();

// A session is starting from the RLInitialise that got past its version banner until that
// call has sent MsgInitialise or failed, then open until RLShutdown ends it. Requests go out
// only while it is open (or closing). The state changes under csSend.
enum class SessionState { kClosed, kStarting, kOpen, kClosing };
// Moves the state from `from` to `to`; false (and no change) when it was not `from`.
bool ChangeSessionState(SessionState from, SessionState to) RL_EXCLUDES(csSend);
void SetSessionState(SessionState to) RL_EXCLUDES(csSend);

// A request is built as its frame: kFrameHeaderSize bytes left free for the length field (the
// send writes it), then the payload, whose length the send is given.

// Opens the session and sends its first message in one hold of csSend, so that no request of
// another thread goes out before that message.
SendResult OpenSession(uint8_t* frame, uint32_t payloadLength) RL_EXCLUDES(csSend);
// Sends one request's frame while holding csSend. Outside a session nothing is sent. When the
// send fails and failureLine is not null, that line is logged, csSend still held.
SendResult SendRequest(uint8_t* frame, uint32_t payloadLength, const char* failureLine)
    RL_EXCLUDES(csSend);
// Logs failureLine the way a failed send does, for requests refused before they are built.
SendResult RefuseRequest(const char* failureLine) RL_EXCLUDES(csSend);
