// The start/stop lock: RLInitialise and RLShutdown each hold it for their whole run, so a start
// never overlaps the teardown of the session before it.
#pragma once

// Creates and deletes the lock, at the library's load and unload.
void CreateStartStopLock();
void DeleteStartStopLock();
// At unload: tells a message thread that still runs to end and joins it (up to 5 s). True when
// no thread is left that could still use the library's objects.
bool EndMessageThreadForUnload();
