// Where the lobby keeps what outlives a connection: accounts, ratings, game instances and
// their members, results and accusations. SqliteStore keeps one server's lobby in one file;
// RedisStore lets several servers share one lobby. The calls block: the server makes them on
// a thread of their own (store_queue.h), never on its event loop. A call that fails because
// the store can't be reached returns false and sets *error, and the server refuses that
// request with the rule "store-unavailable".
#pragma once

#include <chrono>
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

// An account as stored: its name in the case it was made with, and its password's hash.
struct Account {
  std::string name;
  std::string hash;  // empty: no such account
};

// What AddAccount did: made the account, gave an account of exactly that name a new hash, or
// nothing, because the name (in any case) is taken.
enum class AddResult { kAdded, kReplaced, kTaken };

// A server sharing the store, as its last heartbeat said. Times are Unix milliseconds.
struct ServerInfo {
  std::string id;  // made at each start
  std::string name;
  std::string listen;
  uint32_t players = 0;
  int64_t started = 0;
  int64_t heartbeat = 0;
};

// A player logged in on some server.
struct OnlinePlayer {
  std::string name;
  std::string server;  // the server's id
  std::string address;
  int64_t since = 0;  // Unix milliseconds
};

// Servers beat every kHeartbeatEvery; one silent for kServerGone is taken for gone, and its
// players for logged out.
const std::chrono::milliseconds kHeartbeatEvery{2000};
const std::chrono::milliseconds kServerGone{6000};

// A ban of an account: its reason and when it ends (Unix milliseconds; 0: never).
struct Ban {
  std::string name;
  std::string reason;
  int64_t expires = 0;
  int64_t at = 0;  // when it was made
};

// A line of the operator's audit log: who did what to whom, from where.
struct AuditEntry {
  int64_t at = 0;  // Unix milliseconds
  std::string action;
  std::string target;
  std::string address;
  std::string detail;
};

struct ChatEntry {
  int64_t at = 0;  // Unix milliseconds
  std::string from;
  std::string text;
};

// An instance not finished yet.
struct InstanceInfo {
  uint32_t giid = 0;
  std::vector<std::string> members;  // the starter first
  bool invitedOnly = false;
};

// The chat lines the store keeps, the newest of them.
const uint32_t kChatKept = 200;
// The audit lines Redis keeps (SQLite keeps them all).
const uint32_t kAuditKept = 100000;

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
  // Stores a new account, unless its name is taken without regard to case. replace: an
  // account of exactly this name gets the new hash instead (another case is still taken).
  virtual bool AddAccount(const Account& account, bool replace, AddResult* result,
                          std::string* error) = 0;
  // The account of this name without regard to case; account->hash empty when there is none.
  virtual bool FindAccount(const std::string& name, Account* account, std::string* error) = 0;
  virtual bool Rating(const std::string& name, uint32_t* rating, std::string* error) = 0;
  // The ratings of these players, in the same order (kStartRating for the unrated).
  virtual bool Ratings(const std::vector<std::string>& names, std::vector<Record>* records,
                       std::string* error) = 0;
  // The `count` highest ratings of all accounts, highest first, ties by name (byte order).
  virtual bool TopRatings(uint32_t count, std::vector<Record>* records, std::string* error) = 0;
  // A new game instance, with the creator as its first member, numbered above atLeast (the
  // highest number this server has seen, so that a store rolled back to an older state never
  // hands out a number again). invited empty: anyone may join; else only those players.
  virtual bool NewInstance(const std::string& creator, const std::vector<std::string>& invited,
                           uint32_t atLeast, uint32_t* giid, std::string* error) = 0;
  // Adds a member; *joined false for an unknown, finished or full instance, and for a player
  // not invited to an instance for invited players only. *added: a new member (false when
  // the player was one already).
  virtual bool Join(uint32_t giid, const std::string& player, bool* joined, bool* added,
                    std::string* error) = 0;
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

  // Bans: one per account (a new one replaces it); BanOf finds one in force (ban->name empty:
  // none); Bans lists those in force.
  virtual bool SetBan(const Ban& ban, std::string* error) = 0;
  virtual bool RemoveBan(const std::string& name, bool* removed, std::string* error) = 0;
  virtual bool BanOf(const std::string& name, Ban* ban, std::string* error) = 0;
  virtual bool Bans(std::vector<Ban>* bans, std::string* error) = 0;
  // Accounts whose name starts with prefix (without regard to case), in name order, at most
  // count, with their ratings; and deleting one (its rating and ban go too).
  virtual bool FindAccounts(const std::string& prefix, uint32_t count,
                            std::vector<Record>* accounts, std::string* error) = 0;
  virtual bool DeleteAccount(const std::string& name, bool* deleted, std::string* error) = 0;
  // The operator's audit log; the newest `count` lines, oldest first.
  virtual bool Audit(const AuditEntry& entry, std::string* error) = 0;
  virtual bool AuditLog(uint32_t count, std::vector<AuditEntry>* entries, std::string* error) = 0;
  // A chat line: published like any event, and kept among the last kChatKept.
  virtual bool Chat(const ChatEntry& line, const Bytes& event, std::string* error) = 0;
  virtual bool ChatTail(uint32_t count, std::vector<ChatEntry>* lines, std::string* error) = 0;
  // The instances not finished, the newest `count` of them, newest first; *total counts all.
  virtual bool OpenInstances(uint32_t count, std::vector<InstanceInfo>* instances, uint64_t* total,
                             std::string* error) = 0;
  // Whether the store answers at all.
  virtual bool Ping(std::string* error) = 0;

  // Who is online where. A server beats with its figures; resync, when given, replaces all of
  // its players (after a SetOnline that may have been lost).
  virtual bool Heartbeat(const ServerInfo& server, const std::vector<OnlinePlayer>* resync,
                         std::string* error) = 0;
  // online false takes the player off only when its entry is this one (a newer login of the
  // same player on the same server stays).
  virtual bool SetOnline(const OnlinePlayer& player, bool online, std::string* error) = 0;
  // A server that stops takes itself and its players out.
  virtual bool Leave(const std::string& server, std::string* error) = 0;
  // The servers alive and the players on them (a player on two servers at once, for the
  // moment a login moves, counts once). Servers gone silent are cleared out on the way.
  virtual bool Online(std::vector<ServerInfo>* servers, std::vector<OnlinePlayer>* players,
                      std::string* error) = 0;
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
// A server's figures as the stores keep them.
std::string PackServer(const ServerInfo& server);
bool UnpackServer(const std::string& packed, ServerInfo* server);
// Players found on several servers count once, on the server that saw them log in last;
// then in name order.
void Deduplicate(std::vector<OnlinePlayer>* players);
int64_t UnixMs();
// Texts packed into one string and back (for the stores' values).
std::string PackTexts(const std::vector<std::string>& texts);
bool UnpackTexts(const std::string& packed, size_t count, std::vector<std::string>* texts);
// What a banned player is told: "Ada is banned until 2026-12-06T10:00:00Z: cheating".
std::string BanText(const Ban& ban);

// FinalResults' payload holds an outcome in the stores.
Bytes PackOutcome(uint32_t giid, const Outcome& outcome);
bool UnpackOutcome(const Bytes& packed, Outcome* outcome);

}  // namespace lobby
