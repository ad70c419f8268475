// The callbacks that fill each slot until the game installs its own: they print the event on
// standard output and return 1.
#pragma once

#include "rallylink.h"

int RLCALL DefaultLobbyMessageCallback(const char* From, const char* Text, uint32_t UserData);
int RLCALL DefaultGameInstanceCallback(uint32_t GiID, uint32_t VotingFlags, uint32_t UserData);
int RLCALL DefaultResultsCallback(uint32_t GiID, char Vote, uint32_t NumPlrs, PlayerResult* Players,
                                  uint32_t UserData);
int RLCALL DefaultVotingCallback(const char* Voter, uint32_t GiID, unsigned char Vote,
                                 uint32_t UserData);
int RLCALL DefaultJoinCallback(uint32_t Result, uint32_t GiID, uint32_t UserData);
