// Installing the two callbacks that no request installs, and giving back results blocks.
#include <cstdlib>

#include "log/log.h"
#include "rallylink.h"
#include "session/sessiondata.h"

extern "C" void RLCALL RLSetLobbyMessageCallback(LobbyMessageCallback Callback, uint32_t UserData) {
  Log.Write("RLSetLobbyMessageCallback()");
  if (pSessionData != nullptr) pSessionData->SetLobbyMessageSlot(Callback, UserData);
}

extern "C" uint32_t RLCALL RLSetVotingCallback(VotingCallback Callback, uint32_t UserData) {
  Log.Write("RLSetVotingCallback()");
  if (pSessionData != nullptr) pSessionData->SetVotingSlot(Callback, UserData);
  return 1;
}

extern "C" uint32_t RLCALL RLFreeGameResults(PlayerResult* Players) {
  Log.Write("RLFreeGameResults()");
  free(Players);
  return 1;
}
