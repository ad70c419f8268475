/* Compiled as C99 and as C++ with every warning an error: the public header must be usable
 * from both, and its declarations must keep their exact forms. */
#include "rallylink.h"
#include "rallylink.h" /* a second inclusion is harmless */

#define CHECK(name, condition) typedef char name[(condition) ? 1 : -1]
CHECK(player_result_is_36_bytes, sizeof(PlayerResult) == 36);
CHECK(name_comes_first, sizeof(((PlayerResult*)0)->Name) == 32);

/* Callbacks written the way a game writes them. */
static int RLCALL OnLobby(const char* From, const char* Text, uint32_t UserData) {
  return From != 0 && Text != 0 && UserData == 0;
}
static int RLCALL OnInstance(uint32_t GiID, uint32_t VotingFlags, uint32_t UserData) {
  return (int)(GiID + VotingFlags + UserData);
}
static int RLCALL OnResults(uint32_t GiID, char Vote, uint32_t NumPlrs, PlayerResult* Players,
                            uint32_t UserData) {
  (void)Vote;
  RLFreeGameResults(Players);
  return (int)(GiID + NumPlrs + UserData);
}
static int RLCALL OnVote(const char* Voter, uint32_t GiID, unsigned char Vote, uint32_t UserData) {
  return Voter != 0 && GiID + Vote + UserData > 0;
}
static int RLCALL OnJoin(uint32_t Result, uint32_t GiID, uint32_t UserData) {
  return (int)(Result + GiID + UserData);
}

/* Every export, held in a pointer of its exact type. */
int header_check(void);
int header_check(void) {
  int(RLCALL * initialise)(uint32_t, uint16_t) = RLInitialise;
  int(RLCALL * set_state)(uint32_t) = RLSetGameState;
  int(RLCALL * shutdown)(void) = RLShutdown;
  uint32_t(RLCALL * start)(GameInstanceCallback, uint32_t) = RLStartGameInstance;
  uint32_t(RLCALL * join)(uint32_t, JoinCallback) = RLJoinGame;
  uint32_t(RLCALL * vote)(uint32_t, unsigned char) = RLSendVote;
  uint32_t(RLCALL * results)(uint32_t, const void*, uint32_t, unsigned char, uint32_t,
                             ResultsCallback, uint32_t) = RLSendGameResults;
  uint32_t(RLCALL * accuse)(uint32_t, const char*) = RLAccusePlayerOfDroppingOut;
  uint32_t(RLCALL * chat)(const char*, const char*) = RLSendLobbyMessage;
  uint32_t(RLCALL * add_int)(uint32_t, int32_t) = RLAddIntegerStat;
  uint32_t(RLCALL * add_float)(uint32_t, double) = RLAddFloatStat;
  uint32_t(RLCALL * reset)(void) = RLResetStats;
  uint32_t(RLCALL * send_stats)(void) = RLSendStats;
  uint32_t(RLCALL * set_data)(int32_t, const void*, uint32_t) = RLSetGameSpecificData;
  uint32_t(RLCALL * update)(int32_t, uint32_t, uint32_t, const void*) = RLUpdateGameSpecificData;
  uint32_t(RLCALL * flush)(void) = RLFlushServerDescriptionChanges;
  void(RLCALL * set_lobby)(LobbyMessageCallback, uint32_t) = RLSetLobbyMessageCallback;
  uint32_t(RLCALL * set_voting)(VotingCallback, uint32_t) = RLSetVotingCallback;
  uint32_t(RLCALL * free_results)(PlayerResult*) = RLFreeGameResults;
  LobbyMessageCallback lobby = OnLobby;
  GameInstanceCallback instance = OnInstance;
  ResultsCallback result_cb = OnResults;
  VotingCallback voting = OnVote;
  JoinCallback joined = OnJoin;
  return initialise != 0 && set_state != 0 && shutdown != 0 && start != 0 && join != 0 &&
         vote != 0 && results != 0 && accuse != 0 && chat != 0 && add_int != 0 && add_float != 0 &&
         reset != 0 && send_stats != 0 && set_data != 0 && update != 0 && flush != 0 &&
         set_lobby != 0 && set_voting != 0 && free_results != 0 && lobby != 0 && instance != 0 &&
         result_cb != 0 && voting != 0 && joined != 0;
}
