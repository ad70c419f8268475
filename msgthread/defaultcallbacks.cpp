#include "msgthread/defaultcallbacks.h"

#include <cstdio>
#include <cstdlib>

int RLCALL DefaultLobbyMessageCallback(const char* From, const char* Text, uint32_t) {
  printf("<%s> %s\n", From, Text);
  return 1;
}

int RLCALL DefaultGameInstanceCallback(uint32_t GiID, uint32_t VotingFlags, uint32_t) {
  printf("GiID is %d voting flags are %u\n", static_cast<int>(GiID), VotingFlags);
  return 1;
}

int RLCALL DefaultResultsCallback(uint32_t GiID, char Vote, uint32_t NumPlrs, PlayerResult* Players,
                                  uint32_t) {
  printf("Results from GiID %u Vote of %c\n", GiID, Vote);
  printf(" - Has %u players\n", NumPlrs);
  for (uint32_t i = 0; i < NumPlrs; ++i) {
    // A name without its zero is printed no further than its 32 bytes.
    printf("PLAYER %.*s has rating %u\n", 32, Players[i].Name, Players[i].Rating);
  }
  free(Players);
  return 1;
}

int RLCALL DefaultVotingCallback(const char* Voter, uint32_t GiID, unsigned char Vote, uint32_t) {
  static const char* const kVoteNames[] = {"UNDECIDED", "GOOD", "BAD", "EXCELLENT"};
  unsigned v = Vote;
  if (v < 4) {
    printf("Vote from %s is %u or '%s' GiID is %d\n", Voter, v, kVoteNames[v],
           static_cast<int>(GiID));
  } else {
    printf("Vote from %s is %u or 'unknown' GiID is %d\n", Voter, v, static_cast<int>(GiID));
  }
  return 1;
}

int RLCALL DefaultJoinCallback(uint32_t Result, uint32_t GiID, uint32_t) {
  printf("Result of join %u was %u\n", GiID, Result);
  return 1;
}
