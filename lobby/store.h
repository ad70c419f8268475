// Where the lobby keeps what outlives a connection: accounts, ratings, game instances and
// their members, results and accusations. SqliteStore keeps one server's lobby in one file;
// RedisStore lets several servers share one lobby. The calls block: the server makes them on
// a thread of their own (store_queue.h), never on its event loop. A call that fails because
// the store can't be reached returns false and sets *error, and the server refuses that
// request with the rule "store-unavailable".
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "protocol.h"

namespace lobby {

const uint32_t kStartRating = 1000;
const uint32_t kRatingStep = 10;

struct Outcome {
  bool pending = false;  // no majority of the members agrees yet: nothing was decided
  bool fresh = false;    // these results set the ratings; false: they had been set before
  uint32_t vote = 0;
  std::vector<Record> players;  // the members in the order they joined, with new ratings
};

// One member's results for an instance, as that member's game sent them.
struct Report {
  std::string player;
  uint32_t vote = 0;
  std::string scores;
};

class Store {
 public:
  virtual ~Store() = default;
  // True when what is stored survives the store's restart; *why says what is missing.
  virtual bool Durable(std::string* why) = 0;
  virtual bool AddAccount(const std::string& name, const std::string& hash, std::string* error) = 0;
  // *hash is empty for an unknown player.
  virtual bool AccountHash(const std::string& name, std::string* hash, std::string* error) = 0;
  virtual bool Rating(const std::string& name, uint32_t* rating, std::string* error) = 0;
  // A new game instance, with the creator as its first member, numbered above atLeast (the
  // highest number this server has seen, so that a store rolled back to an older state never
  // hands out a number again). invited empty: anyone may join; else only those players.
  virtual bool NewInstance(const std::string& creator, const std::vector<std::string>& invited,
                           uint32_t atLeast, uint32_t* giid, std::string* error) = 0;
  // Adds a member; *joined false for an unknown, finished or full instance, and for a player
  // not invited to an instance for invited players only.
  virtual bool Join(uint32_t giid, const std::string& player, bool* joined, std::string* error) = 0;
  // The members in the order they joined; empty for an unknown instance.
  virtual bool Members(uint32_t giid, std::vector<std::string>* members, std::string* error) = 0;
  // Notes a member's results (a member's first report stands). Once a majority of the
  // members have reported the same scores (see AgreedReport), the instance finishes in one
  // atomic step: the ratings move by NewRatings, except between two players whose ratings
  // moved against each other less than pairCooldownSeconds ago. Until then *outcome is
  // pending; after, every call gets the same outcome back.
  virtual bool Report(uint32_t giid, const lobby::Report& report, int64_t pairCooldownSeconds,
                      Outcome* outcome, std::string* error) = 0;
  virtual bool Accuse(uint32_t giid, const std::string& by, const std::string& player,
                      std::string* error) = 0;
  // Events for the players: Publish hands one to every server that shares this store, this one
  // included, whose handler gets it on a thread of the store's choosing.
  virtual bool Publish(const Bytes& event, std::string* error) = 0;
  virtual void Subscribe(std::function<void(const Bytes&)> handler) = 0;
};

// "redis://HOST:PORT", "sqlite:PATH" or a plain PATH (SQLite).
std::unique_ptr<Store> OpenStore(const std::string& where, std::string* error);

// The scores of member i are byte i of a report's scores (0 where there are fewer). The
// report that a strict majority of the members sent with the same scores, if any.
bool AgreedReport(size_t members, const std::vector<Report>& reports, Report* agreed);

// Pairs of members (i < j, by their place among the members) whose results count nothing.
using Pairs = std::set<std::pair<size_t, size_t>>;
// The rating rule: each member gains kRatingStep for every other member with a lower score and
// loses it for every one with a higher score, from the ratings before the game, except against
// the members of a pair in `skip`; a rating never falls below 0.
std::vector<Record> NewRatings(const std::vector<Record>& before, const std::string& scores,
                               const Pairs& skip = {});
// The key under which a pair of players' last rating change is kept: both names, in order.
std::string PairKey(const std::string& a, const std::string& b);
// The outcome of an instance whose members (before: their ratings, in the order they joined)
// agreed on `agreed`: lastRated(PairKey) is when a pair's ratings last moved against each other
// (0: never), in seconds like now. *stamp gets the keys of the pairs that counted this time.
Outcome AgreedOutcome(const std::vector<Record>& before, const Report& agreed,
                      const std::function<int64_t(const std::string&)>& lastRated, int64_t now,
                      int64_t cooldownSeconds, std::vector<std::string>* stamp);
// FinalResults' payload holds an outcome in the stores.
Bytes PackOutcome(uint32_t giid, const Outcome& outcome);
bool UnpackOutcome(const Bytes& packed, Outcome* outcome);

}  // namespace lobby
