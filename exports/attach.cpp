#include "exports/attach.h"

#include "exports/send.h"
#include "exports/startstop.h"
#include "msgthread/defaultcallbacks.h"
#include "session/sessiondata.h"

static uint32_t nAttachCount = 0;  // process attachments; the first creates the session object

void ProcessAttach() {
  PlatDebugOutput("DLL Init routine...(DLL_PROCESS_ATTACH)\n");
  if (++nAttachCount == 1) {
    // The locks live as long as the library, so that every export can reach them: a session
    // only marks whether sends may go out.
    CreateSendLock();
    CreateStartStopLock();
    static const DefaultCallbacks kDefaults = {DefaultLobbyMessageCallback,
                                               DefaultGameInstanceCallback, DefaultResultsCallback,
                                               DefaultVotingCallback, DefaultJoinCallback};
    CreateSessionData(kDefaults);
  }
  PlatDebugOutput("DLL Init routine...(DLL_PROCESS_ATTACH [2])\n");
}

void ProcessDetach(bool threadsMayRun) {
  if (nAttachCount == 0 || --nAttachCount != 0) return;
  // A message thread still held in a callback keeps what it uses; the process is ending.
  if (threadsMayRun && !EndMessageThreadForUnload()) return;
  DestroySessionData();
  DeleteStartStopLock();
  DeleteSendLock();
}
