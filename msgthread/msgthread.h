// The message thread: the library's only thread. It waits for the socket's network events or
// the exit event, receives each framed message from Meetpoint, logs it and hands it to the
// handler of its type, which calls the game's callback on this thread.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/platform.h"

extern PlatEvent hSocketEvent;                  // signalled by the socket's network events
extern PlatEvent hExitEvent;                    // tells the message thread to end
extern std::atomic<uint8_t> bMsgThreadRunning;  // 1 while the message thread runs
extern PlatThread hMsgThread;                   // the handle the start gave
// Set when the message thread saw Meetpoint close the connection: from then on the session's
// sends fail at once instead of writing into a connection that is gone.
extern std::atomic<bool> bConnectionClosed;

// Logs "Starting message thread" and starts the thread: 1 when started, 0 when one already
// runs or the start failed.
int StartMessageThread();
// Logs "Stopping message thread" and signals the exit event: 1, or 0 when no thread runs.
int StopMessageThread();
// True when called on the message thread (from a callback).
bool OnMessageThread();
// Waits up to timeoutMs for every message thread to have ended. Returns false at once when
// called on the message thread itself, which can't wait for itself.
bool WaitForMessageThreadEnd(uint32_t timeoutMs);
// The message thread's loop, on the calling thread: waits for the socket's network events or
// the exit event, and receives and dispatches each message into area (4096 bytes). Returns
// true when Meetpoint closed the connection, false when the exit event was signalled or the
// wait failed.
bool RunMessageLoop(PlatEvent socketEvent, PlatEvent exitEvent, uint8_t* area);
// Logs a received message and hands it to its handler (dispatch of the message thread).
void DispatchMessage(int type, const uint8_t* payload, uint32_t length);
