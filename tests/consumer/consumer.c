/* A game that takes Rallylink from an installed tree: one session, one vote, one answer. */
#define _POSIX_C_SOURCE 200809L
#include <rallylink.h>
#include <stdio.h>

#ifdef _WIN32
#include <windows.h>
static void Pause10ms(void) { Sleep(10); }
#else
#include <time.h>
static void Pause10ms(void) {
  struct timespec t = {0, 10 * 1000 * 1000};
  nanosleep(&t, NULL);
}
#endif

static volatile int answered = 0;

static int RLCALL OnVote(const char* Voter, uint32_t GiID, unsigned char Vote, uint32_t UserData) {
  printf("vote from %s on %u: %u (%u)\n", Voter, GiID, Vote, UserData);
  answered = 1;
  return 0;
}

int main(void) {
  int i;
  RLSetVotingCallback(OnVote, 42);
  if (RLInitialise(0, 1) != 0) return 1;
  if (RLSendVote(1, 2) != 0) return 2;
  for (i = 0; i < 500 && !answered; ++i) Pause10ms(); /* at most 5 s for meetpoint's answer */
  return RLShutdown() == 0 && answered ? 0 : 3;
}
