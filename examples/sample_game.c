/*
 * sample_game: one lobby session of a small racing game, through Rallylink.
 *
 * Read it top to bottom. It installs every callback, keeps a few statistics and a server
 * description, starts a session with Meetpoint (whose port Rallylink reads from the registry
 * value ClientPort), uses each of the nineteen RL functions once, waits a few seconds at most
 * for every answer, and ends the session.
 *
 * Try it against the stand-in Meetpoint: ./tools/demo.sh runs both and shows the conversation.
 * The exit code is 0 when every answer came and 1 otherwise.
 *
 * On a lobby server two sample games can race each other (./tools/demo.sh --lobby): the
 * environment variable SAMPLE_GAME_ROLE makes one the host ("host:Cleo") and the other its
 * guest ("guest:Ada"), each naming the other player. The guest starts an instance of its own
 * (which also lets it hear of others'), then waits for the host's and joins it; the host waits
 * until the guest has voted; each accuses the other (a member of the same instance) and both
 * send the same results, which the lobby takes once both agree. Each waits up to 30 s for the
 * other.
 */
#if !defined(_WIN32)
#define _POSIX_C_SOURCE 200809L /* for nanosleep */
#endif

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#if defined(_WIN32)
#include <windows.h>
#else
#include <pthread.h>
#include <time.h>
#endif

#include "rallylink.h"

/* How long the game waits for each answer from Meetpoint; on a lobby server, where the answer
 * may wait for another player, LOBBY_WAIT_MS. */
#define ANSWER_WAIT_MS 5000
#define LOBBY_WAIT_MS 30000
static int answerWaitMs = ANSWER_WAIT_MS;

/* --- Printing and waiting ---------------------------------------------------------------- */

/* Every line of the game starts with "game:" and is flushed at once, so that it shows up in
 * order among Rallylink's own lines (which it echoes on standard output). */
static void Say(const char* format, ...) {
  va_list args;
  va_start(args, format);
  printf("game: ");
  vprintf(format, args);
  printf("\n");
  fflush(stdout);
  va_end(args);
}

static void PauseMs(int ms) {
#if defined(_WIN32)
  Sleep((DWORD)ms);
#else
  struct timespec pause;
  pause.tv_sec = ms / 1000;
  pause.tv_nsec = (long)(ms % 1000) * 1000000L;
  nanosleep(&pause, NULL);
#endif
}

/* The callbacks run on Rallylink's message thread while the main thread waits for their
 * answers, so the flags (and the game instance) that carry the answers across are written and
 * read under a lock. */
#if defined(_WIN32)
static CRITICAL_SECTION answerLock;
static void InitAnswerLock(void) { InitializeCriticalSection(&answerLock); }
static void LockAnswers(void) { EnterCriticalSection(&answerLock); }
static void UnlockAnswers(void) { LeaveCriticalSection(&answerLock); }
#else
static pthread_mutex_t answerLock = PTHREAD_MUTEX_INITIALIZER;
static void InitAnswerLock(void) {}
static void LockAnswers(void) { pthread_mutex_lock(&answerLock); }
static void UnlockAnswers(void) { pthread_mutex_unlock(&answerLock); }
#endif

static int gotInstance, gotJoin, gotMessage, gotVote, gotResults, gotOtherVote;
static uint32_t gameInstance;
/* With SAMPLE_GAME_ROLE: the other player, whose vote the host waits for. */
static char otherPlayer[32];

/* Sets an answer's flag; called by the callbacks. */
static void Answered(int* flag) {
  LockAnswers();
  *flag = 1;
  UnlockAnswers();
}

static int IsAnswered(int* flag) {
  int answered;
  LockAnswers();
  answered = *flag;
  UnlockAnswers();
  return answered;
}

/* Waits until *flag is set or ANSWER_WAIT_MS have passed; returns the flag. */
static int WaitForAnswer(int* flag, const char* what) {
  int waited;
  for (waited = 0; !IsAnswered(flag) && waited < answerWaitMs; waited += 10) PauseMs(10);
  if (!IsAnswered(flag)) Say("no %s came within %d ms", what, answerWaitMs);
  return IsAnswered(flag);
}

/* --- Callbacks --------------------------------------------------------------------------- */

/* A chat line from the lobby. */
static int RLCALL OnLobbyMessage(const char* From, const char* Text, uint32_t UserData) {
  Say("lobby chat from %s: \"%s\" (user data %u)", From, Text, (unsigned)UserData);
  Answered(&gotMessage);
  return 1;
}

/* A vote on a game instance. */
static int RLCALL OnVote(const char* Voter, uint32_t GiID, unsigned char Vote, uint32_t UserData) {
  Say("%s voted %u on game instance %u (user data %u)", Voter, (unsigned)Vote, (unsigned)GiID,
      (unsigned)UserData);
  Answered(&gotVote);
  if (otherPlayer[0] != 0 && strcmp(Voter, otherPlayer) == 0) Answered(&gotOtherVote);
  return 1;
}

/* The game instance that RLStartGameInstance asked for; on a lobby server, once it has been
 * asked for, also those that other players start. */
static int RLCALL OnGameInstance(uint32_t GiID, uint32_t VotingFlags, uint32_t UserData) {
  Say("new game instance %u, voting flags %u (user data %u)", (unsigned)GiID, (unsigned)VotingFlags,
      (unsigned)UserData);
  LockAnswers();
  gameInstance = GiID;
  UnlockAnswers();
  Answered(&gotInstance);
  return 1;
}

/* The result of RLJoinGame: note that Result comes before GiID. */
static int RLCALL OnJoin(uint32_t Result, uint32_t GiID, uint32_t UserData) {
  Say("joining game instance %u: %s (user data %u)", (unsigned)GiID,
      Result == 1 ? "accepted" : "refused", (unsigned)UserData);
  Answered(&gotJoin);
  return 1;
}

/* The lobby's answer to RLSendGameResults: every player's new rating. The records belong to
 * the game now and go back through RLFreeGameResults. */
static int RLCALL OnResults(uint32_t GiID, char Vote, uint32_t NumPlrs, PlayerResult* Players,
                            uint32_t UserData) {
  uint32_t i;
  Say("results of game instance %u, vote %u, %u players (user data %u):", (unsigned)GiID,
      (unsigned)(unsigned char)Vote, (unsigned)NumPlrs, (unsigned)UserData);
  for (i = 0; i < NumPlrs; ++i) {
    Say("  %.31s now rated %u", Players[i].Name, (unsigned)Players[i].Rating);
  }
  RLFreeGameResults(Players);
  Answered(&gotResults);
  return 1;
}

/* --- The session ------------------------------------------------------------------------- */

int main(void) {
  /* Our server description: the track's name and a flags byte. */
  unsigned char description[8] = {'h', 'a', 'r', 'b', 'o', 'u', 'r', 0x00};
  const unsigned char open = 1;
  /* One score per player, in the lobby's order of players: the higher, the better. */
  const char scores[] = "312";
  uint32_t instance;
  int ok = 1;
  const char* role = getenv("SAMPLE_GAME_ROLE"); /* "host:OTHER" or "guest:OTHER" */
  int host = role != NULL && strncmp(role, "host:", 5) == 0;
  int guest = role != NULL && strncmp(role, "guest:", 6) == 0;

  InitAnswerLock();
  if (host || guest) {
    answerWaitMs = LOBBY_WAIT_MS;
    strncpy(otherPlayer, strchr(role, ':') + 1, sizeof otherPlayer - 1);
  }

  /* Callbacks for events that come unasked: installed before the session starts. */
  RLSetLobbyMessageCallback(OnLobbyMessage, 100);
  RLSetVotingCallback(OnVote, 200);

  /* Statistics and the description live in Rallylink and need no session. */
  RLResetStats();
  RLAddIntegerStat(0, 3);   /* laps driven */
  RLAddFloatStat(1, 87.25); /* best lap, in seconds */
  RLSetGameSpecificData(1, description, sizeof description);
  RLUpdateGameSpecificData(1, 7 * 8, 1, &open); /* bit 0 of the flags byte: open to join */

  if (RLInitialise(0, 1) != 0) {
    Say("could not reach Meetpoint (is it running, and is ClientPort set?)");
    RLShutdown();
    return 1;
  }
  RLSetGameState(1); /* in the lobby */
  RLSendStats();
  RLFlushServerDescriptionChanges();

  RLStartGameInstance(OnGameInstance, 300);
  ok &= WaitForAnswer(&gotInstance, "game instance");
  if (guest) {
    /* The guest races in the host's instance, the next one to come. */
    LockAnswers();
    gotInstance = 0;
    UnlockAnswers();
    ok &= WaitForAnswer(&gotInstance, "game instance of the host");
  }
  LockAnswers();
  instance = gameInstance;
  UnlockAnswers();

  RLJoinGame(instance, OnJoin);
  ok &= WaitForAnswer(&gotJoin, "join result");

  RLSendLobbyMessage("Ada", "Ready to race?");
  ok &= WaitForAnswer(&gotMessage, "lobby message");

  /* The host votes once its guest has: then each sees the other's vote. */
  if (host) ok &= WaitForAnswer(&gotOtherVote, "vote of the other player");
  RLSendVote(instance, 3);
  ok &= WaitForAnswer(&gotVote, "vote");

  /* The race is over: one player left early, and the results go to the lobby. */
  RLAccusePlayerOfDroppingOut(instance, otherPlayer[0] != 0 ? otherPlayer : "Cleo");
  RLSendGameResults(instance, scores, (uint32_t)strlen(scores), 1, 3, OnResults, 400);
  ok &= WaitForAnswer(&gotResults, "results");

  RLShutdown();
  Say(ok ? "session complete" : "session incomplete");
  return ok ? 0 : 1;
}
