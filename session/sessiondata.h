// The one session object: the game's callbacks with their user data, the statistic slots,
// the two server description blocks, the last lobby message and Meetpoint's port. It lives
// from the library's load to its unload; csData guards every member.
#pragma once

#include <cstdint>

#include "platform/lockorder.h"
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

  // A slot and its user data together, under one hold of the lock, so that an event never
  // meets one callback with another's user data. A null callback puts the slot's default back.
  void GetLobbyMessageSlot(LobbyMessageCallback* callback, uint32_t* userData);
  void SetLobbyMessageSlot(LobbyMessageCallback callback, uint32_t userData);
  void GetGameInstanceSlot(GameInstanceCallback* callback, uint32_t* userData);
  void SetGameInstanceSlot(GameInstanceCallback callback, uint32_t userData);
  void GetResultsSlot(ResultsCallback* callback, uint32_t* userData);
  void SetResultsSlot(ResultsCallback callback, uint32_t userData);
  void GetVotingSlot(VotingCallback* callback, uint32_t* userData);
  void SetVotingSlot(VotingCallback callback, uint32_t userData);
  void GetJoinSlot(JoinCallback* callback, uint32_t* userData);
  // The join slot's user data has no writer: only its callback is installed.
  void SetJoinCallback(JoinCallback callback);

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
  void UpdateBlockBits(int32_t block, uint32_t bitPos, uint32_t bitSize, const void* data);
  // Copies the smaller of maximum and the block's size from the block's start; returns it.
  uint32_t CopyBlock(int32_t block, void* destination, uint32_t maximum);

  // The object's described interface also reads and writes each member on its own, one hold
  // of the lock each. The library itself uses the slot accessors above instead.
  LobbyMessageCallback GetLobbyMessageCallback() { return Read(kLobbyMessage.callback); }
  void SetLobbyMessageCallback(LobbyMessageCallback c) { SetCallback(kLobbyMessage, c); }
  uint32_t GetLobbyMessageUserData() { return Read(kLobbyMessage.userData); }
  void SetLobbyMessageUserData(uint32_t u) { Write(kLobbyMessage.userData, u); }
  GameInstanceCallback GetGameInstanceCallback() { return Read(kGameInstance.callback); }
  void SetGameInstanceCallback(GameInstanceCallback c) { SetCallback(kGameInstance, c); }
  uint32_t GetGameInstanceUserData() { return Read(kGameInstance.userData); }
  void SetGameInstanceUserData(uint32_t u) { Write(kGameInstance.userData, u); }
  ResultsCallback GetResultsCallback() { return Read(kResults.callback); }
  void SetResultsCallback(ResultsCallback c) { SetCallback(kResults, c); }
  uint32_t GetResultsUserData() { return Read(kResults.userData); }
  void SetResultsUserData(uint32_t u) { Write(kResults.userData, u); }
  VotingCallback GetVotingCallback() { return Read(kVoting.callback); }
  void SetVotingCallback(VotingCallback c) { SetCallback(kVoting, c); }
  uint32_t GetVotingUserData() { return Read(kVoting.userData); }
  void SetVotingUserData(uint32_t u) { Write(kVoting.userData, u); }
  JoinCallback GetJoinCallback() { return Read(kJoin.callback); }
  uint32_t GetJoinUserData() { return Read(kJoin.userData); }
  uint32_t GetBlockSize(int32_t block);

 private:
  // A callback slot: the members of its callback and user data, and its default.
  template <typename F>
  struct Slot {
    F CSessionData::*callback;
    uint32_t CSessionData::*userData;
    F DefaultCallbacks::*fallback;
  };
  static const Slot<LobbyMessageCallback> kLobbyMessage;
  static const Slot<GameInstanceCallback> kGameInstance;
  static const Slot<ResultsCallback> kResults;
  static const Slot<VotingCallback> kVoting;
  static const Slot<JoinCallback> kJoin;

  // Every accessor holds csData for its one read or write.
  template <typename T>
  T Read(T CSessionData::*member);
  template <typename T>
  void Write(T CSessionData::*member, T value);
  template <typename F>
  void SetCallback(const Slot<F>& slot, F callback);
  template <typename F>
  void GetSlot(const Slot<F>& slot, F* callback, uint32_t* userData);
  template <typename F>
  void SetSlot(const Slot<F>& slot, F callback, uint32_t userData);
  uint8_t* Block(int32_t block, uint32_t** size) RL_REQUIRES(csData);

  // The members, in the order of the object's description.
  uint32_t LobbyMessageUserData RL_GUARDED_BY(csData);
  uint32_t GameInstanceUserData RL_GUARDED_BY(csData);
  uint32_t ResultsUserData RL_GUARDED_BY(csData);
  uint32_t VotingUserData RL_GUARDED_BY(csData);
  uint32_t JoinUserData RL_GUARDED_BY(csData);
  char Stats[kStatSlots][kStatSlotSize] RL_GUARDED_BY(csData);
  PlatLock csData;
  char LastMessageText[256] RL_GUARDED_BY(csData);
  char LastMessageFrom[32] RL_GUARDED_BY(csData);
  uint16_t uClientPort RL_GUARDED_BY(csData);
  uint8_t ExtraBlock[kBlockSize] RL_GUARDED_BY(csData);
  uint32_t ExtraBlockSize RL_GUARDED_BY(csData);
  uint8_t NonBlock[kBlockSize] RL_GUARDED_BY(csData);
  uint32_t NonBlockSize RL_GUARDED_BY(csData);
  LobbyMessageCallback pLobbyMessageCallback RL_GUARDED_BY(csData);
  GameInstanceCallback pGameInstanceCallback RL_GUARDED_BY(csData);
  ResultsCallback pResultsCallback RL_GUARDED_BY(csData);
  VotingCallback pVotingCallback RL_GUARDED_BY(csData);
  JoinCallback pJoinCallback RL_GUARDED_BY(csData);
  const DefaultCallbacks defaults_;
};

// Member pointers hide the members from the thread-safety analysis; each access is made with
// csData held all the same.
template <typename T>
inline T CSessionData::Read(T CSessionData::*member) RL_NO_THREAD_SAFETY_ANALYSIS {
  RankedLockGuard guard(&csData, LockRank::kData);
  return this->*member;
}

template <typename T>
inline void CSessionData::Write(T CSessionData::*member, T value) RL_NO_THREAD_SAFETY_ANALYSIS {
  RankedLockGuard guard(&csData, LockRank::kData);
  this->*member = value;
}

// A null callback puts the slot's default back: no slot is ever empty.
template <typename F>
inline void CSessionData::SetCallback(const Slot<F>& slot, F callback) {
  Write(slot.callback, callback != nullptr ? callback : defaults_.*slot.fallback);
}

template <typename F>
inline void CSessionData::GetSlot(const Slot<F>& slot, F* callback,
                                  uint32_t* userData) RL_NO_THREAD_SAFETY_ANALYSIS {
  RankedLockGuard guard(&csData, LockRank::kData);
  *callback = this->*slot.callback;
  *userData = this->*slot.userData;
}

template <typename F>
inline void CSessionData::SetSlot(const Slot<F>& slot, F callback,
                                  uint32_t userData) RL_NO_THREAD_SAFETY_ANALYSIS {
  RankedLockGuard guard(&csData, LockRank::kData);
  this->*slot.callback = callback != nullptr ? callback : defaults_.*slot.fallback;
  this->*slot.userData = userData;
}

// The session object, created when the library is loaded; null if it could not be.
extern CSessionData* pSessionData;
// Creates it with the given defaults, at the library's load; destroys it at the unload.
void CreateSessionData(const DefaultCallbacks& defaults);
void DestroySessionData();
