/* A game that ends its process while Meetpoint's events pour in, without calling RLShutdown:
 * its callback uses the library on every event until the very end. Exits 0 after the number of
 * milliseconds given as its argument; 2 when the session did not start. */
#include <stdlib.h>

#include "rallylink.h"

#ifdef _WIN32
#include <windows.h>
static void SleepMs(int ms) { Sleep((DWORD)ms); }
#else
#include <time.h>
static void SleepMs(int ms) {
  struct timespec t;
  t.tv_sec = ms / 1000;
  t.tv_nsec = (long)(ms % 1000) * 1000000L;
  nanosleep(&t, NULL);
}
#endif

static int RLCALL OnVote(const char* Voter, uint32_t GiID, unsigned char Vote, uint32_t UserData) {
  (void)Voter;
  (void)Vote;
  (void)UserData;
  RLAddIntegerStat(0, (int32_t)GiID);
  return 0;
}

int main(int argc, char** argv) {
  int ms = argc > 1 ? atoi(argv[1]) : 20;
  RLSetVotingCallback(OnVote, 0);
  if (RLInitialise(0, 1) != 0) return 2;
  SleepMs(ms);
  return 0;
}
