#include "msgthread/handlers.h"

#include <cstdlib>
#include <cstring>

#include "log/log.h"
#include "session/sessiondata.h"
#include "tcplibrary/wire.h"

namespace {

void Malformed(const uint8_t* payload) { Log.Printf("MP -> Malformed message 0x%02X", payload[0]); }

// Copies the zero-terminated string at offset into to (room for max + 1), cut to max
// characters and to the payload's end. Returns the offset just behind the string's zero, or
// the payload's end when it has none.
uint32_t TakeString(const uint8_t* payload, uint32_t length, uint32_t offset, char* to,
                    size_t max) {
  if (offset >= length) {
    to[0] = '\0';
    return length;
  }
  const uint8_t* start = payload + offset;
  size_t available = length - offset;
  const void* zero = memchr(start, 0, available);
  size_t full =
      zero != nullptr ? static_cast<size_t>(static_cast<const uint8_t*>(zero) - start) : available;
  size_t n = full < max ? full : max;
  memcpy(to, start, n);
  to[n] = '\0';
  return zero != nullptr ? static_cast<uint32_t>(offset + full + 1) : length;
}

}  // namespace

void OnIncomingMessage(const uint8_t* payload, uint32_t length) {
  char from[32];
  char text[256];
  // The text starts behind the sender's zero, however long the sender's name was.
  uint32_t textOffset = TakeString(payload, length, 1, from, 31);
  TakeString(payload, length, textOffset, text, 255);
  pSessionData->SetLastMessage(from, text);
  LobbyMessageCallback callback;
  uint32_t userData;
  pSessionData->GetLobbyMessageSlot(&callback, &userData);
  if (callback != nullptr) callback(from, text, userData);
}

void OnNewGameInstance(const uint8_t* payload, uint32_t length) {
  if (length < 9) return Malformed(payload);
  uint32_t giid = GetU32(payload + 1);
  uint32_t votingFlags = GetU32(payload + 5);
  GameInstanceCallback callback;
  uint32_t userData;
  pSessionData->GetGameInstanceSlot(&callback, &userData);
  if (callback != nullptr) callback(giid, votingFlags, userData);
}

void OnNewGameResults(const uint8_t* payload, uint32_t length) {
  if (length < 14) return Malformed(payload);
  uint32_t giid = GetU32(payload + 1);
  char vote = static_cast<char>(payload[5]);
  uint32_t numPlayers = GetU32(payload + 6);
  uint32_t recordsSize = GetU32(payload + 10);
  // The records must lie inside the payload, and the stated size may not exceed them; the
  // product is taken in 64 bits so that a huge count cannot wrap into a small block.
  uint64_t blockSize = static_cast<uint64_t>(numPlayers) * sizeof(PlayerResult);
  if (blockSize > length - 14 || recordsSize > blockSize) return Malformed(payload);
  // A block is allocated even for no records: the game gives every block back.
  PlayerResult* block = static_cast<PlayerResult*>(malloc(blockSize > 0 ? blockSize : 1));
  if (block == nullptr) return Malformed(payload);
  if (blockSize > 0) memcpy(block, payload + 14, blockSize);
  ResultsCallback callback;
  uint32_t userData;
  pSessionData->GetResultsSlot(&callback, &userData);
  if (callback != nullptr) {
    callback(giid, vote, numPlayers, block, userData);
  } else {
    free(block);
  }
}

void OnNewGameVote(const uint8_t* payload, uint32_t length) {
  if (length < 6) return Malformed(payload);
  uint32_t giid = GetU32(payload + 1);
  unsigned char vote = payload[5];
  char voter[32];
  TakeString(payload, length, 6, voter, 31);
  VotingCallback callback;
  uint32_t userData;
  pSessionData->GetVotingSlot(&callback, &userData);
  if (callback != nullptr) callback(voter, giid, vote, userData);
}

void OnNewGameJoin(const uint8_t* payload, uint32_t length) {
  if (length < 9) return Malformed(payload);
  uint32_t giid = GetU32(payload + 1);
  uint32_t result = GetU32(payload + 5);
  JoinCallback callback;
  uint32_t userData;
  pSessionData->GetJoinSlot(&callback, &userData);
  if (callback != nullptr) callback(result, giid, userData);
}
