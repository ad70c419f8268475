// The game's requests to Meetpoint. Each logs its call line, installs the callback that will
// receive the answer (where it has one), builds its message behind the room for the frame's
// length field and sends it under csSend. Only the bytes that are sent are set.
#include <cstring>

#include "exports/send.h"
#include "tcplibrary/wire.h"
#include "log/log.h"
#include "rallylink.h"
#include "session/sessiondata.h"

static const uint32_t kMaxResultBytes = 1010;  // 1024-byte message less its 14 bytes of fields
static const size_t kMaxAccusedName = 4086;    // a frame holds at most 4096 bytes in all
static const size_t kMaxLobbyFrom = 31;
static const size_t kMaxLobbyText = 255;

// Strings the game leaves null are taken as empty.
static const char* OrEmpty(const char* s) { return s != nullptr ? s : ""; }

extern "C" uint32_t RLCALL RLStartGameInstance(GameInstanceCallback Callback, uint32_t UserData) {
  Log.Write("RLStartGameInstance()");
  if (pSessionData == nullptr) return 1;
  pSessionData->SetGameInstanceSlot(Callback, UserData);
  uint8_t frame[kFrameHeaderSize + 1];
  frame[kFrameHeaderSize] = 0x06;
  return SendRequest(frame, 1, "FAILED: RLStartGameInstance()");
}

extern "C" uint32_t RLCALL RLJoinGame(uint32_t GiID, JoinCallback Callback) {
  Log.Printf("RLJoinGame( GiID:%u )", GiID);
  if (pSessionData == nullptr) return 1;
  pSessionData->SetJoinCallback(Callback);
  uint8_t frame[kFrameHeaderSize + 5];
  uint8_t* message = frame + kFrameHeaderSize;
  message[0] = 0x0A;
  PutU32(message + 1, GiID);
  return SendRequest(frame, 5, "FAILED: RLJoinGame()");
}

extern "C" uint32_t RLCALL RLSendVote(uint32_t GiID, unsigned char Vote) {
  Log.Printf("RLSendVote( GiID:%u , Vote:%d)", GiID, Vote);
  uint8_t frame[kFrameHeaderSize + 6];
  uint8_t* message = frame + kFrameHeaderSize;
  message[0] = 0x08;
  PutU32(message + 1, GiID);
  message[5] = Vote;
  return SendRequest(frame, 6, "FAILED: RLSendVote()");
}

extern "C" uint32_t RLCALL RLSendGameResults(uint32_t GiID, const void* Results, uint32_t ResSize,
                                             unsigned char Vote, uint32_t NumPlrs,
                                             ResultsCallback Callback, uint32_t UserData) {
  static const char kFailed[] = "FAILED: RLSendGameResults()";
  Log.Printf("RLSendGameResults( GiID:%u, ResSize:%u, Vote:%d, NumPlrs:%u )", GiID, ResSize, Vote,
             NumPlrs);
  if (ResSize > kMaxResultBytes || (Results == nullptr && ResSize > 0))
    return RefuseRequest(kFailed);
  const uint8_t* results = static_cast<const uint8_t*>(Results);
  for (uint32_t i = 0; i < ResSize; ++i) {
    Log.Printf("Results char %d is %c ASCII %u", static_cast<int>(i), results[i], results[i]);
  }
  if (pSessionData == nullptr) return 1;
  pSessionData->SetResultsSlot(Callback, UserData);
  uint8_t frame[kFrameHeaderSize + 1024];
  uint8_t* message = frame + kFrameHeaderSize;
  message[0] = 0x07;
  uint8_t* p = PutU32(message + 1, GiID);
  p = PutU32(p, ResSize);
  if (ResSize > 0) memcpy(p, results, ResSize);
  p += ResSize;
  *p++ = Vote;
  p = PutU32(p, NumPlrs);
  return SendRequest(frame, static_cast<uint32_t>(p - message), kFailed);
}

extern "C" uint32_t RLCALL RLAccusePlayerOfDroppingOut(uint32_t GiID, const char* Player) {
  static const char kFailed[] = "FAILED: RLAccusePlayerOfDroppingOut()";
  Player = OrEmpty(Player);
  Log.Printf("RLAccusePlayerOfDroppingOut( GiID:%u , %s )", GiID, Player);
  size_t n = strlen(Player);
  if (n > kMaxAccusedName) return RefuseRequest(kFailed);  // its frame would exceed 4096 bytes
  uint8_t frame[kMaxFrameSize];
  uint8_t* message = frame + kFrameHeaderSize;
  message[0] = 0x09;
  PutU32(message + 1, GiID);
  memcpy(message + 5, Player, n + 1);  // the name with its zero
  return SendRequest(frame, static_cast<uint32_t>(6 + n), kFailed);
}

extern "C" uint32_t RLCALL RLSendLobbyMessage(const char* From, const char* Text) {
  From = OrEmpty(From);
  const char* text = OrEmpty(Text);
  Log.Printf("RLSendLobbyMessage( %s , %s )", From, text);
  size_t s = strnlen(From, kMaxLobbyFrom);
  size_t t = strnlen(text, kMaxLobbyText);
  uint8_t frame[kFrameHeaderSize + 1 + 2 + kMaxLobbyFrom + 2 + kMaxLobbyText];
  uint8_t* message = frame + kFrameHeaderSize;
  message[0] = 0x05;
  uint8_t* p = PutU16(message + 1, static_cast<uint32_t>(s));
  memcpy(p, From, s);
  p = PutU16(p + s, static_cast<uint32_t>(t));
  memcpy(p, text, t);
  p += t;
  return SendRequest(frame, static_cast<uint32_t>(p - message), "FAILED: RLSendLobbyMessage()");
}
