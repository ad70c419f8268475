#include "session/sessiondata.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "platform/lockorder.h"
#include "session/floattext.h"

CSessionData* pSessionData = nullptr;

// Copies at most max characters of a zero-terminated text and a zero.
static void CopyCut(char* to, const char* from, size_t max) {
  size_t n = strnlen(from, max);
  memcpy(to, from, n);
  to[n] = '\0';
}

CSessionData::CSessionData(const DefaultCallbacks& defaults)
    : LobbyMessageUserData(0),
      GameInstanceUserData(0),
      ResultsUserData(0),
      VotingUserData(0),
      JoinUserData(0),
      Stats(),
      LastMessageText(),
      LastMessageFrom(),
      uClientPort(0),
      ExtraBlockSize(0),
      NonBlockSize(0),
      pLobbyMessageCallback(defaults.lobbyMessage),
      pGameInstanceCallback(defaults.gameInstance),
      pResultsCallback(defaults.results),
      pVotingCallback(defaults.voting),
      pJoinCallback(defaults.join),
      defaults_(defaults) {
  PlatLockInit(&csData);
  memset(ExtraBlock, 0, sizeof ExtraBlock);
  memset(NonBlock, 0, sizeof NonBlock);
  ResetStats();  // the slots start as "0", as after RLResetStats
}

CSessionData::~CSessionData() { PlatLockDelete(&csData); }

void CreateSessionData(const DefaultCallbacks& defaults) {
  pSessionData = new (std::nothrow) CSessionData(defaults);
}

void DestroySessionData() {
  delete pSessionData;
  pSessionData = nullptr;
}

const CSessionData::Slot<LobbyMessageCallback> CSessionData::kLobbyMessage = {
    &CSessionData::pLobbyMessageCallback, &CSessionData::LobbyMessageUserData,
    &DefaultCallbacks::lobbyMessage};
const CSessionData::Slot<GameInstanceCallback> CSessionData::kGameInstance = {
    &CSessionData::pGameInstanceCallback, &CSessionData::GameInstanceUserData,
    &DefaultCallbacks::gameInstance};
const CSessionData::Slot<ResultsCallback> CSessionData::kResults = {
    &CSessionData::pResultsCallback, &CSessionData::ResultsUserData, &DefaultCallbacks::results};
const CSessionData::Slot<VotingCallback> CSessionData::kVoting = {
    &CSessionData::pVotingCallback, &CSessionData::VotingUserData, &DefaultCallbacks::voting};
const CSessionData::Slot<JoinCallback> CSessionData::kJoin = {
    &CSessionData::pJoinCallback, &CSessionData::JoinUserData, &DefaultCallbacks::join};

uint16_t CSessionData::GetClientPort() {
  RankedLockGuard guard(&csData, LockRank::kData);
  return uClientPort;
}

void CSessionData::SetClientPort(uint16_t port) {
  RankedLockGuard guard(&csData, LockRank::kData);
  uClientPort = port;
}

void CSessionData::GetLobbyMessageSlot(LobbyMessageCallback* c, uint32_t* u) {
  GetSlot(kLobbyMessage, c, u);
}
void CSessionData::SetLobbyMessageSlot(LobbyMessageCallback c, uint32_t u) {
  SetSlot(kLobbyMessage, c, u);
}
void CSessionData::GetGameInstanceSlot(GameInstanceCallback* c, uint32_t* u) {
  GetSlot(kGameInstance, c, u);
}
void CSessionData::SetGameInstanceSlot(GameInstanceCallback c, uint32_t u) {
  SetSlot(kGameInstance, c, u);
}
void CSessionData::GetResultsSlot(ResultsCallback* c, uint32_t* u) { GetSlot(kResults, c, u); }
void CSessionData::SetResultsSlot(ResultsCallback c, uint32_t u) { SetSlot(kResults, c, u); }
void CSessionData::GetVotingSlot(VotingCallback* c, uint32_t* u) { GetSlot(kVoting, c, u); }
void CSessionData::SetVotingSlot(VotingCallback c, uint32_t u) { SetSlot(kVoting, c, u); }
void CSessionData::GetJoinSlot(JoinCallback* c, uint32_t* u) { GetSlot(kJoin, c, u); }
void CSessionData::SetJoinCallback(JoinCallback c) { SetCallback(kJoin, c); }

void CSessionData::SetLastMessage(const char* from, const char* text) {
  RankedLockGuard guard(&csData, LockRank::kData);
  CopyCut(LastMessageFrom, from, sizeof LastMessageFrom - 1);
  CopyCut(LastMessageText, text, sizeof LastMessageText - 1);
}

void CSessionData::SetIntegerStat(uint32_t index, int32_t value) {
  if (index >= kStatSlots) return;
  RankedLockGuard guard(&csData, LockRank::kData);
  snprintf(Stats[index], kStatSlotSize, "%u", static_cast<uint32_t>(value));
}

void CSessionData::SetFloatStat(uint32_t index, double value) {
  if (index >= kStatSlots) return;
  RankedLockGuard guard(&csData, LockRank::kData);
  FormatFloatG(value, Stats[index], kStatSlotSize);
}

void CSessionData::ResetStats() {
  RankedLockGuard guard(&csData, LockRank::kData);
  for (auto& slot : Stats) memcpy(slot, "0", 2);
}

void CSessionData::GetStatsText(char* out) {
  RankedLockGuard guard(&csData, LockRank::kData);
  char* p = out;
  for (uint32_t i = 0; i < kStatSlots; ++i) {
    if (i > 0) *p++ = ',';
    size_t n = strnlen(Stats[i], kStatSlotSize - 1);
    memcpy(p, Stats[i], n);
    p += n;
  }
  *p = '\0';
}

// The chosen block and its size; the caller holds csData.
uint8_t* CSessionData::Block(int32_t block, uint32_t** size) {
  if (block == 1) {
    *size = &ExtraBlockSize;
    return ExtraBlock;
  }
  *size = &NonBlockSize;
  return NonBlock;
}

void CSessionData::SetBlock(int32_t block, const void* data, uint32_t size) {
  if (size > kBlockSize) size = kBlockSize;
  RankedLockGuard guard(&csData, LockRank::kData);
  uint32_t* blockSize;
  uint8_t* bytes = Block(block, &blockSize);
  if (size > 0) memcpy(bytes, data, size);
  *blockSize = size;
}

uint32_t CSessionData::GetBlockSize(int32_t block) {
  RankedLockGuard guard(&csData, LockRank::kData);
  uint32_t* blockSize;
  Block(block, &blockSize);
  return *blockSize;
}

void CSessionData::UpdateBlockBits(int32_t block, uint32_t bitPos, uint32_t bitSize,
                                   const void* data) {
  const uint8_t* source = static_cast<const uint8_t*>(data);
  RankedLockGuard guard(&csData, LockRank::kData);
  uint32_t* blockSize;
  uint8_t* bytes = Block(block, &blockSize);
  // Bits at or behind the block's end are never written, and their source bits never read;
  // the position is computed in 64 bits so that it cannot wrap back into the block.
  for (uint32_t j = 0; j < bitSize; ++j) {
    uint64_t bit = static_cast<uint64_t>(bitPos) + j;
    if (bit / 8 >= *blockSize) break;
    uint8_t mask = static_cast<uint8_t>(1u << (bit % 8));
    bytes[bit / 8] = static_cast<uint8_t>(bytes[bit / 8] & ~mask);
    if (source[j / 8] & (1u << (j % 8))) bytes[bit / 8] |= mask;
  }
}

uint32_t CSessionData::CopyBlock(int32_t block, void* destination, uint32_t maximum) {
  RankedLockGuard guard(&csData, LockRank::kData);
  uint32_t* blockSize;
  uint8_t* bytes = Block(block, &blockSize);
  uint32_t n = *blockSize < maximum ? *blockSize : maximum;
  if (n > 0) memcpy(destination, bytes, n);
  return n;
}
