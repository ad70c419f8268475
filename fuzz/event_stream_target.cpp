// Arbitrary bytes as Meetpoint's side of the connection. A peer on a real loopback connection
// writes the input and closes its sending side (so that a frame cut short fails at once
// instead of waiting out its 5 seconds); the message thread's loop then waits, reads the
// network events, receives and dispatches every message until it sees the close. Each input
// runs twice: once with callbacks that check what the game is handed, once with the printing
// defaults.
#include <cstring>

#include "exports/attach.h"
#include "fuzz_targets.h"
#include "log/log.h"
#include "msgthread/msgthread.h"
#include "rallylink.h"
#include "session/sessiondata.h"
#include "support/test_env.h"
#include "tcplibrary/tcplibrary.h"

namespace {

#ifdef _WIN32
const char kNullDevice[] = "NUL";
#else
const char kNullDevice[] = "/dev/null";
#endif

// Far more than the largest frame; the peer's whole input must fit into the connection's
// buffers before the library starts reading.
const size_t kMaxInput = 65536;

void CheckString(const char* s, size_t max) {
  if (s == nullptr || strnlen(s, max + 1) > max) FuzzFail("a string is longer than its field");
}

int RLCALL CheckLobbyMessage(const char* From, const char* Text, uint32_t) {
  CheckString(From, 31);
  CheckString(Text, 255);
  return 0;
}

int RLCALL CheckGameInstance(uint32_t, uint32_t, uint32_t) { return 0; }

int RLCALL CheckResults(uint32_t, char, uint32_t NumPlrs, PlayerResult* Players, uint32_t) {
  // A payload of at most 4091 bytes holds at most 113 records, and the block holds all of
  // them: every byte of it is read so that the sanitizer sees a block that is too small.
  if (NumPlrs > 113 || Players == nullptr) FuzzFail("a results block larger than a payload");
  const uint8_t* bytes = reinterpret_cast<const uint8_t*>(Players);
  volatile uint8_t sum = 0;
  for (size_t i = 0; i < NumPlrs * sizeof(PlayerResult); ++i)
    sum = static_cast<uint8_t>(sum + bytes[i]);
  RLFreeGameResults(Players);
  return 0;
}

int RLCALL CheckVote(const char* Voter, uint32_t, unsigned char, uint32_t) {
  CheckString(Voter, 31);
  return 0;
}

int RLCALL CheckJoin(uint32_t, uint32_t, uint32_t UserData) {
  if (UserData != 0) FuzzFail("a join callback with user data");
  return 0;
}

void InstallCheckingCallbacks(bool install) {
  pSessionData->SetLobbyMessageSlot(install ? CheckLobbyMessage : nullptr, 1);
  pSessionData->SetGameInstanceSlot(install ? CheckGameInstance : nullptr, 2);
  pSessionData->SetResultsSlot(install ? CheckResults : nullptr, 3);
  pSessionData->SetVotingSlot(install ? CheckVote : nullptr, 4);
  pSessionData->SetJoinCallback(install ? CheckJoin : nullptr);
}

struct Meetpoint {
  RawSocket listener = RawSocket::Listen();
  PlatEvent exitEvent = PlatEventCreate();
};

Meetpoint& Setup() {
  static Meetpoint* meetpoint = [] {
    if (pSessionData == nullptr) ProcessAttach();
    // The defaults print on standard output and the log mirrors every line there: keep both
    // out of the fuzzer's way.
    if (freopen(kNullDevice, "w", stdout) == nullptr) FuzzFail("no null device");
    Log.SetConsoleStream(stdout);
    Meetpoint* m = new Meetpoint();
    if (!m->listener.Valid() || m->exitEvent == nullptr) FuzzFail("no listening socket");
    return m;
  }();
  return *meetpoint;
}

void RunOnce(Meetpoint& meetpoint, const uint8_t* data, size_t size) {
  if (TcpStartup() != 1) FuzzFail("the socket library did not start");
  PlatEvent socketEvent = TcpCreateSocket(0);
  if (socketEvent == nullptr) FuzzFail("no socket");
  if (TcpConnectLoopback(meetpoint.listener.Port()) != 1) FuzzFail("no connection");
  RawSocket peer = meetpoint.listener.Accept(5000);
  if (!peer.Valid()) FuzzFail("connection not accepted");
  if (size > 0 && !peer.SendAll(data, size)) FuzzFail("the peer could not send");
  peer.ShutdownSending();

  uint8_t area[4096];
  memset(area, 0, sizeof area);
  if (RunMessageLoop(socketEvent, meetpoint.exitEvent, area) != LoopEnd::kClosed) {
    FuzzFail("the loop missed the close");
  }

  PlatSocketClose(sktServer);
  TcpForgetSocket();
  PlatEventClose(socketEvent);
  PlatSocketCleanup();
}

}  // namespace

int FuzzEventStream(const uint8_t* data, size_t size) {
  Meetpoint& meetpoint = Setup();
  if (size > kMaxInput) size = kMaxInput;
  InstallCheckingCallbacks(true);
  RunOnce(meetpoint, data, size);
  InstallCheckingCallbacks(false);
  RunOnce(meetpoint, data, size);
  return 0;
}
