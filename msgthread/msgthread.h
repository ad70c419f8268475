// The message thread: the library's only thread. It waits for the socket's network events or
// the exit event, receives each framed message from Meetpoint, logs it and hands it to the
// handler of its type, which calls the game's callback on this thread.
//
// This module owns the thread and the session's two events. The start and the end of a
// session (which the game's exports serialise) call the operations below; nothing else writes
// the globals.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/platform.h"

extern PlatEvent hSocketEvent;                  // signalled by the socket's network events
extern PlatEvent hExitEvent;                    // tells the message thread to end
extern std::atomic<uint8_t> bMsgThreadRunning;  // 1 while the message thread runs
extern PlatThread hMsgThread;                   // the running or not yet joined thread

// Keeps the event that the session's socket signals, for the thread to wait on.
void SetSocketEvent(PlatEvent event);
// Creates the exit event: true, or false (hExitEvent null) when it can't be had.
bool CreateExitEvent();

// Logs "Starting message thread" and starts the thread: 1 when started, 0 when one already
// runs or the start failed. Called on the message thread itself (a callback that ended the
// session and started a new one), it starts nothing: once the callback returns, that thread
// carries on with the new session's events.
int StartMessageThread();
// Logs "Stopping message thread" and signals the exit event: 1, or 0 when no thread runs.
int StopMessageThread();
// Signals the exit event without a log line, for the library's unload.
void SignalMessageThreadExit();
// Waits up to timeoutMs for the session's message thread (if one was started and not yet
// joined) to end, joins it and releases the session's events. False, with nothing released,
// when called on the message thread itself or when the thread did not end in time. The thread
// holds the library loaded until it is joined (PlatThreadStart); atUnload, for the library's own
// unload, keeps that hold, as the library's code is still running the unload.
bool EndMessageThread(uint32_t timeoutMs, bool atUnload = false);
// Gives the current session's events to the message thread, on that thread, before a new
// session replaces them: the thread releases the events its loop waited on once the callback
// that runs returns; the events of a session that began and ended within that callback are
// released here. Each pair is closed once, however often a callback ends and starts sessions.
void HandOverMessageThread();
// True when called on the message thread (from a callback).
bool OnMessageThread();

// How the message loop ended.
enum class LoopEnd { kClosed, kExit, kHandOver };
// The message thread's loop, on the calling thread: waits for the socket's network events or
// the exit event, and receives and dispatches each message into area (4096 bytes). Returns
// when Meetpoint closed the connection, when the exit event was signalled or the wait failed,
// or when a callback started a new session on this thread.
LoopEnd RunMessageLoop(PlatEvent socketEvent, PlatEvent exitEvent, uint8_t* area);
// Logs a received message and hands it to its handler (dispatch of the message thread).
void DispatchReceived(int type, const uint8_t* payload, uint32_t length);
