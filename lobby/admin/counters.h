// What rallylobby counts for its operator, and the scrape that shows it: logins by result,
// messages by type and direction, refusals by rule, the chat fan-out time, connections by
// state, the store's calls, and the process's figures. The server counts on its event loop;
// a scrape reads the counts there too.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "metrics.h"

namespace lobby {

struct StoreStats;

// How a login ended: each one ends in Server::LoginDone, which answers, logs and counts it.
enum class LoginResult {
  kOk,
  kWrongPassword,
  kUnknownPlayer,
  kBanned,
  kLimited,
  kBusy,
  kStoreUnavailable,
};
const size_t kLoginResults = 7;

struct LobbyCounters {
  uint64_t logins[kLoginResults] = {};
  uint64_t messagesIn[256] = {};
  uint64_t messagesOut[256] = {};
  std::map<std::string, uint64_t> refusals;  // by rule
  uint64_t connections = 0;                  // accepted
  uint64_t connectionsRefused = 0;           // over the per-address cap
  uint64_t signUps = 0;
  // From a chat line's receipt to the last write of it queued for this server's players.
  Histogram chatFanout{
      {0.0001, 0.00025, 0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1}};
};

// What a scrape reads from the server and the store at that moment.
struct Snapshot {
  uint64_t byState[5] = {};  // handshake, new, greeted, logging in, in
  uint64_t queuedBytes = 0;
  uint64_t playersHere = 0;
  bool haveLobby = false;  // the store answered: the figures below are known
  uint64_t playersOnline = 0;
  uint64_t openInstances = 0;
};

std::string Scrape(const LobbyCounters& counters, const StoreStats& store,
                   const Snapshot& snapshot);

}  // namespace lobby
