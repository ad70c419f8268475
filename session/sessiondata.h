// The one session object: the game's callbacks with their user data, the statistic slots,
// the two server description blocks, the last lobby message and Meetpoint's port. It lives
// from the library's load to its unload; csData guards every member.
#pragma once

#include <cstdint>

#include "platform/platform.h"
#include "rallylink.h"

const uint32_t kStatSlots = 16;
const uint32_t kStatSlotSize = 32;
const uint32_t kBlockSize = 256;

// The callbacks that fill each slot until the game installs its own, and again whenever it
// installs null.
struct DefaultCallbacks {
  LobbyMessageCallback lobbyMessage;
  GameInstanceCallback gameInstance;
  ResultsCallback results;
  VotingCallback voting;
  JoinCallback join;
};

class CSessionData {
 public:
  explicit CSessionData(const DefaultCallbacks& defaults);
  ~CSessionData();
  CSessionData(const CSessionData&) = delete;
  CSessionData& operator=(const CSessionData&) = delete;

  uint16_t GetClientPort();
  void SetClientPort(uint16_t port);

  // Callback slots, one member at a time. A null callback puts the slot's default back.
  LobbyMessageCallback GetLobbyMessageCallback();
  void SetLobbyMessageCallback(LobbyMessageCallback callback);
  uint32_t GetLobbyMessageUserData();
  void SetLobbyMessageUserData(uint32_t userData);
  GameInstanceCallback GetGameInstanceCallback();
  void SetGameInstanceCallback(GameInstanceCallback callback);
  uint32_t GetGameInstanceUserData();
  void SetGameInstanceUserData(uint32_t userData);
  ResultsCallback GetResultsCallback();
  void SetResultsCallback(ResultsCallback callback);
  uint32_t GetResultsUserData();
  void SetResultsUserData(uint32_t userData);
  VotingCallback GetVotingCallback();
  void SetVotingCallback(VotingCallback callback);
  uint32_t GetVotingUserData();
  void SetVotingUserData(uint32_t userData);
  JoinCallback GetJoinCallback();
  void SetJoinCallback(JoinCallback callback);
  uint32_t GetJoinUserData();

  // A slot and its user data together, under one hold of the lock, so that an event never
  // meets one callback with another's user data.
  void GetLobbyMessageSlot(LobbyMessageCallback* callback, uint32_t* userData);
  void SetLobbyMessageSlot(LobbyMessageCallback callback, uint32_t userData);
  void GetGameInstanceSlot(GameInstanceCallback* callback, uint32_t* userData);
  void SetGameInstanceSlot(GameInstanceCallback callback, uint32_t userData);
  void GetResultsSlot(ResultsCallback* callback, uint32_t* userData);
  void SetResultsSlot(ResultsCallback callback, uint32_t userData);
  void GetVotingSlot(VotingCallback* callback, uint32_t* userData);
  void SetVotingSlot(VotingCallback callback, uint32_t userData);
  void GetJoinSlot(JoinCallback* callback, uint32_t* userData);

  // Records the last lobby message, each string cut to its field.
  void SetLastMessage(const char* from, const char* text);

  // Statistics: slot texts of at most 31 characters, joined by commas when sent.
  void SetIntegerStat(uint32_t index, int32_t value);
  void SetFloatStat(uint32_t index, double value);
  void ResetStats();
  // Writes the 16 texts joined by commas and a zero; out has room for 16 * 32 bytes.
  void GetStatsText(char* out);

  // Description blocks: 1 is "Extra", any other number "Non".
  void SetBlock(int32_t block, const void* data, uint32_t size);
  uint32_t GetBlockSize(int32_t block);
  void UpdateBlockBits(int32_t block, uint32_t bitPos, uint32_t bitSize, const void* data);
  // Copies the smaller of maximum and the block's size from the block's start; returns it.
  uint32_t CopyBlock(int32_t block, void* destination, uint32_t maximum);

 private:
  uint8_t* Block(int32_t block, uint32_t** size);
  template <typename T>
  T Read(const T& member);
  template <typename T>
  void Write(T& member, T value);

  uint32_t LobbyMessageUserData;
  uint32_t GameInstanceUserData;
  uint32_t ResultsUserData;
  uint32_t VotingUserData;
  uint32_t JoinUserData;
  char Stats[kStatSlots][kStatSlotSize];
  PlatLock csData;
  char LastMessageText[256];
  char LastMessageFrom[32];
  uint16_t uClientPort;
  uint8_t ExtraBlock[kBlockSize];
  uint32_t ExtraBlockSize;
  uint8_t NonBlock[kBlockSize];
  uint32_t NonBlockSize;
  LobbyMessageCallback pLobbyMessageCallback;
  GameInstanceCallback pGameInstanceCallback;
  ResultsCallback pResultsCallback;
  VotingCallback pVotingCallback;
  JoinCallback pJoinCallback;
  const DefaultCallbacks defaults_;
};

// The session object, created when the library is loaded; null if it could not be.
extern CSessionData* pSessionData;
