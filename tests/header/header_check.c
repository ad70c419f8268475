/* Compiled as C99 and as C++ with every warning an error: the public header must be usable
 * from both, and its declarations must keep their exact forms. */
#include "rallylink.h"
#include "rallylink.h" /* a second inclusion is harmless */

#define CHECK(name, condition) typedef char name[(condition) ? 1 : -1]
CHECK(player_result_is_36_bytes, sizeof(PlayerResult) == 36);
CHECK(name_comes_first, sizeof(((PlayerResult*)0)->Name) == 32);

/* Callbacks declared the way a game writes them, each held in its type. */
int RLCALL OnLobby(const char* From, const char* Text, uint32_t UserData);
int RLCALL OnInstance(uint32_t GiID, uint32_t VotingFlags, uint32_t UserData);
int RLCALL OnResults(uint32_t GiID, char Vote, uint32_t NumPlrs, PlayerResult* Players,
                     uint32_t UserData);
int RLCALL OnVote(const char* Voter, uint32_t GiID, unsigned char Vote, uint32_t UserData);
int RLCALL OnJoin(uint32_t Result, uint32_t GiID, uint32_t UserData);
LobbyMessageCallback lobby = OnLobby;
GameInstanceCallback instance = OnInstance;
ResultsCallback result_cb = OnResults;
VotingCallback voting = OnVote;
JoinCallback joined = OnJoin;

/* Every export, held in a pointer of its exact type. */
int(RLCALL* initialise)(uint32_t, uint16_t) = RLInitialise;
int(RLCALL* set_state)(uint32_t) = RLSetGameState;
int(RLCALL* shutdown_)(void) = RLShutdown;
uint32_t(RLCALL* start)(GameInstanceCallback, uint32_t) = RLStartGameInstance;
uint32_t(RLCALL* join)(uint32_t, JoinCallback) = RLJoinGame;
uint32_t(RLCALL* vote)(uint32_t, unsigned char) = RLSendVote;
uint32_t(RLCALL* results)(uint32_t, const void*, uint32_t, unsigned char, uint32_t, ResultsCallback,
                          uint32_t) = RLSendGameResults;
uint32_t(RLCALL* accuse)(uint32_t, const char*) = RLAccusePlayerOfDroppingOut;
uint32_t(RLCALL* chat)(const char*, const char*) = RLSendLobbyMessage;
uint32_t(RLCALL* add_int)(uint32_t, int32_t) = RLAddIntegerStat;
uint32_t(RLCALL* add_float)(uint32_t, double) = RLAddFloatStat;
uint32_t(RLCALL* reset)(void) = RLResetStats;
uint32_t(RLCALL* send_stats)(void) = RLSendStats;
uint32_t(RLCALL* set_data)(int32_t, const void*, uint32_t) = RLSetGameSpecificData;
uint32_t(RLCALL* update)(int32_t, uint32_t, uint32_t, const void*) = RLUpdateGameSpecificData;
uint32_t(RLCALL* flush)(void) = RLFlushServerDescriptionChanges;
void(RLCALL* set_lobby)(LobbyMessageCallback, uint32_t) = RLSetLobbyMessageCallback;
uint32_t(RLCALL* set_voting)(VotingCallback, uint32_t) = RLSetVotingCallback;
uint32_t(RLCALL* free_results)(PlayerResult*) = RLFreeGameResults;
