// Where the lobby keeps what outlives a connection: accounts, ratings, game instances and
// their members, results and accusations. SqliteStore keeps one server's lobby in one file;
// RedisStore lets several servers share one lobby. Every call is made from the server's event
// loop thread; a call that fails because the store can't be reached returns false and sets
// *error, and the server refuses that request with the rule "store-unavailable".
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "protocol.h"

namespace lobby {

const uint32_t kStartRating = 1000;
const uint32_t kRatingStep = 10;

struct Outcome {
  bool fresh = false;  // these results set the ratings; false: they had been set before
  uint32_t vote = 0;
  std::vector<Record> players;  // the members in the order they joined, with new ratings
};

class Store {
 public:
  virtual ~Store() = default;
  virtual bool AddAccount(const std::string& name, const std::string& hash, std::string* error) = 0;
  // *hash is empty for an unknown player.
  virtual bool AccountHash(const std::string& name, std::string* hash, std::string* error) = 0;
  virtual bool Rating(const std::string& name, uint32_t* rating, std::string* error) = 0;
  // A new game instance, with the creator as its first member.
  virtual bool NewInstance(const std::string& creator, uint32_t* giid, std::string* error) = 0;
  // Adds a member; *joined false for an unknown or finished instance, or a full one.
  virtual bool Join(uint32_t giid, const std::string& player, bool* joined, std::string* error) = 0;
  // The members in the order they joined; empty for an unknown instance.
  virtual bool Members(uint32_t giid, std::vector<std::string>* members, std::string* error) = 0;
  // Finishes an instance once: the first results set the members' ratings from the scores
  // (score i belongs to member i), in one atomic step; later calls get the same outcome back.
  virtual bool Finish(uint32_t giid, uint32_t vote, const std::string& scores, Outcome* outcome,
                      std::string* error) = 0;
  virtual bool Accuse(uint32_t giid, const std::string& by, const std::string& player,
                      std::string* error) = 0;
  // Events for the players: Publish hands one to every server that shares this store, this one
  // included, whose handler gets it on a thread of the store's choosing.
  virtual bool Publish(const Bytes& event, std::string* error) = 0;
  virtual void Subscribe(std::function<void(const Bytes&)> handler) = 0;
};

// "redis://HOST:PORT", "sqlite:PATH" or a plain PATH (SQLite).
std::unique_ptr<Store> OpenStore(const std::string& where, std::string* error);

// The rating rule: each member gains kRatingStep for every other member with a lower score and
// loses it for every one with a higher score (score i is byte i of scores, 0 where there are
// fewer), from the ratings before the game; a rating never falls below 0.
std::vector<Record> NewRatings(const std::vector<Record>& before, const std::string& scores);
// FinalResults' payload holds an outcome in the stores.
Bytes PackOutcome(uint32_t giid, const Outcome& outcome);
bool UnpackOutcome(const Bytes& packed, Outcome* outcome);

}  // namespace lobby
