/*
 * Rallylink: links a game to Meetpoint, the local lobby client, over TCP on 127.0.0.1.
 *
 * A session runs from RLInitialise to RLShutdown. Requests sent during a session return 0 when
 * the whole message was handed to the connection and 1 when it was not; outside a session
 * they send nothing and return 1. Statistics, description blocks and callbacks live as long as
 * the library is loaded and need no session.
 *
 * Threads: the exports may be called from any thread. Every callback runs on the library's
 * message thread, one event at a time, with no lock of the library held, so a callback may call
 * any export (RLShutdown and RLInitialise included). A callback that blocks holds up every later
 * event. Strings given to a callback are valid only until it returns. RLInitialise and
 * RLShutdown never overlap: one waits until the other has finished.
 *
 * Unloading: RLShutdown on a game thread waits (up to 5 s) until the message thread has ended
 * and joins it, so the library may be unloaded as soon as it returns. Two cases leave the
 * thread running: RLShutdown called from a callback (the thread is the caller; it ends once the
 * callback returns), and a callback that holds the thread longer than the 5 s wait. Then the
 * game may go on calling any export, and may start a new session, but before it unloads the
 * library it calls RLShutdown once more from a game thread: outside a session that call
 * returns 1 after waiting (up to 5 s again) for such a thread to end and joining it. Whatever
 * the game does, an unload (FreeLibrary, dlclose) never removes code that the message thread
 * still runs: the thread holds the library loaded until it has ended (Windows) or has been
 * joined (elsewhere). An unload before then only gives up the game's own hold: the thread goes
 * on (with the session, if RLShutdown was skipped) until it ends; on Windows its end unloads
 * the library, elsewhere the library stays loaded as it is until the process ends or a game
 * that loads it again joins the thread with RLShutdown. Never unload the library from a
 * callback. A process may end without RLShutdown: the library then stops its thread itself.
 *
 * Every call is logged to RallylinkLog.txt in the current folder and echoed on standard output.
 */
#ifndef RALLYLINK_H
#define RALLYLINK_H

#include <stdint.h>

#if defined(_WIN32)
#define RLCALL __cdecl
#else
#define RLCALL
#endif

#if defined(RALLYLINK_BUILDING) && defined(__GNUC__) && !defined(_WIN32)
#define RLAPI __attribute__((visibility("default")))
#else
#define RLAPI
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* One player's line in the results of a game: 36 bytes, as on the wire. */
typedef struct PlayerResult {
  char Name[32];   /* zero-terminated, at most 31 characters */
  uint32_t Rating; /* the player's rating */
} PlayerResult;

/* The callbacks. Each runs on the library's message thread, may call any export, and returns
 * a value the library ignores. UserData is the word the game gave when it installed it. */

/* A lobby chat line: From (at most 31 characters) and Text (at most 255). Runs on the message
 * thread; may call the exports. */
typedef int(RLCALL* LobbyMessageCallback)(const char* From, const char* Text, uint32_t UserData);
/* A new game instance, answering RLStartGameInstance. Runs on the message thread; may call the
 * exports. */
typedef int(RLCALL* GameInstanceCallback)(uint32_t GiID, uint32_t VotingFlags, uint32_t UserData);
/* The results of a game, answering RLSendGameResults. Players points to NumPlrs records that
 * now belong to the game: give them back with RLFreeGameResults. Only the low byte of Vote is
 * defined. Runs on the message thread; may call the exports. */
typedef int(RLCALL* ResultsCallback)(uint32_t GiID, char Vote, uint32_t NumPlrs,
                                     PlayerResult* Players, uint32_t UserData);
/* A vote on a game instance; Voter has at most 31 characters. Runs on the message thread; may
 * call the exports. */
typedef int(RLCALL* VotingCallback)(const char* Voter, uint32_t GiID, unsigned char Vote,
                                    uint32_t UserData);
/* The result of RLJoinGame. Note the order: Result comes before GiID. UserData is always 0.
 * Runs on the message thread; may call the exports. */
typedef int(RLCALL* JoinCallback)(uint32_t Result, uint32_t GiID, uint32_t UserData);

/* --- Session ------------------------------------------------------------------------------ */

/* Opens the log, connects to Meetpoint at the port in the registry, starts the message thread
 * and sends InitialiseValue. Returns 0 when started, 1 when a step failed (call RLShutdown
 * all the same), a session already exists, or the last session's message thread is still held
 * in a callback after 5 s. Called from a callback after RLShutdown, the new session's events
 * are delivered by the same message thread once that callback returns. The first argument is
 * ignored. */
RLAPI int RLCALL RLInitialise(uint32_t Reserved, uint16_t InitialiseValue);
/* Reports the game's state (low 8 bits of State). Needs a session. Returns 0 sent, 1 not. */
RLAPI int RLCALL RLSetGameState(uint32_t State);
/* Sends state 5 and the shutdown message, closes the connection and the log, ends the
 * session and waits up to 5 s for the message thread to end (not when called from a callback).
 * Returns 0 when the shutdown message was sent, 1 when not or outside a session. After
 * Meetpoint has closed the connection the sends are still tried: they fail when the
 * connection does, not before. */
RLAPI int RLCALL RLShutdown(void);

/* --- Requests (each needs a session; 0 sent, 1 not sent) ----------------------------------- */

/* Asks for a new game instance; Callback (null: the default) gets the answer with UserData. */
RLAPI uint32_t RLCALL RLStartGameInstance(GameInstanceCallback Callback, uint32_t UserData);
/* Asks to join game instance GiID; Callback (null: the default) gets the result. */
RLAPI uint32_t RLCALL RLJoinGame(uint32_t GiID, JoinCallback Callback);
/* Votes on game instance GiID. */
RLAPI uint32_t RLCALL RLSendVote(uint32_t GiID, unsigned char Vote);
/* Reports a game's outcome: ResSize result bytes (at most 1010; more is refused with 1), the
 * vote and the number of players. Callback (null: the default) gets the answer with UserData. */
RLAPI uint32_t RLCALL RLSendGameResults(uint32_t GiID, const void* Results, uint32_t ResSize,
                                        unsigned char Vote, uint32_t NumPlrs,
                                        ResultsCallback Callback, uint32_t UserData);
/* Reports a player who dropped out; a name of more than 4086 characters is refused with 1. */
RLAPI uint32_t RLCALL RLAccusePlayerOfDroppingOut(uint32_t GiID, const char* Player);
/* Sends one lobby chat line; From is cut to 31 characters and Text to 255. */
RLAPI uint32_t RLCALL RLSendLobbyMessage(const char* From, const char* Text);

/* --- Statistics and server description ----------------------------------------------------- */

/* Sets statistic slot Index (0 to 15; others are ignored) to Value as an unsigned number.
 * Needs no session. Returns 1. */
RLAPI uint32_t RLCALL RLAddIntegerStat(uint32_t Index, int32_t Value);
/* Sets statistic slot Index (0 to 15) to Value as "%G" text. Needs no session. Returns 1. */
RLAPI uint32_t RLCALL RLAddFloatStat(uint32_t Index, double Value);
/* Sets every statistic slot to "0". Needs no session. Returns 1. */
RLAPI uint32_t RLCALL RLResetStats(void);
/* Sends the 16 statistics, joined by commas. Needs a session. Returns 0 sent, 1 not. */
RLAPI uint32_t RLCALL RLSendStats(void);
/* Replaces description block 1 ("Extra"; any other number: "Non") with Size bytes of Data
 * (at most 256 are kept). Needs no session. Returns 0. */
RLAPI uint32_t RLCALL RLSetGameSpecificData(int32_t Block, const void* Data, uint32_t Size);
/* Overwrites BitSize bits of a block from bit BitPos with the bits of Data (bit 0 is the least
 * significant bit of the first byte); bits past the block's size are dropped. Returns 0. */
RLAPI uint32_t RLCALL RLUpdateGameSpecificData(int32_t Block, uint32_t BitPos, uint32_t BitSize,
                                               const void* Data);
/* Sends both description blocks. Needs a session. Returns 0 sent, 1 not. */
RLAPI uint32_t RLCALL RLFlushServerDescriptionChanges(void);

/* --- Callbacks ---------------------------------------------------------------------------- */

/* Installs the lobby message callback (null: the default, which prints) with its user data.
 * Needs no session. */
RLAPI void RLCALL RLSetLobbyMessageCallback(LobbyMessageCallback Callback, uint32_t UserData);
/* Installs the voting callback (null: the default, which prints) with its user data. Needs no
 * session. Returns 1. */
RLAPI uint32_t RLCALL RLSetVotingCallback(VotingCallback Callback, uint32_t UserData);
/* Gives back a results block that a ResultsCallback received (null is allowed). Returns 1. */
RLAPI uint32_t RLCALL RLFreeGameResults(PlayerResult* Players);

#ifdef __cplusplus
}
#endif

#endif /* RALLYLINK_H */
