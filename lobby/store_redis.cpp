#include "store_redis.h"

#include <hiredis/hiredis.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <ctime>
#include <map>
#include <mutex>
#include <thread>

#include "log.h"
#include "names.h"

namespace lobby {

namespace {

const char kChannel[] = "rl:events";
const char kRatings[] = "rl:ratings";
const char kPairs[] = "rl:pairs";

// Adds the player to an instance's members, atomically: not for an unknown or finished
// instance, nor past the most members a results event can hold, nor to an instance for
// invited players only that did not invite this one. 1: added, 2: a member already.
const char kJoinScript[] =
    "if redis.call('EXISTS', KEYS[1]) == 0 or redis.call('EXISTS', KEYS[3]) == 1 then return 0 end "
    "if redis.call('SISMEMBER', KEYS[2], ARGV[1]) == 1 then return 2 end "
    "if redis.call('LLEN', KEYS[1]) >= tonumber(ARGV[2]) then return 0 end "
    "if redis.call('EXISTS', KEYS[4]) == 1 and redis.call('SISMEMBER', KEYS[4], ARGV[1]) == 0 "
    "then return 0 end "
    "redis.call('SADD', KEYS[2], ARGV[1]) redis.call('RPUSH', KEYS[1], ARGV[1]) return 1";

// A new instance, atomically: the next number of the counter, raised above ARGV[1] (the
// highest number the server has seen) when the counter is behind it, as after a rollback of
// Redis to an older state; the creator as its first member; the invited players, if any.
const char kNewInstanceScript[] =
    "local n = redis.call('INCR', KEYS[1]) "
    "if n <= tonumber(ARGV[1]) then n = tonumber(ARGV[1]) + 1 redis.call('SET', KEYS[1], n) end "
    "redis.call('SADD', 'rl:memberset:' .. n, ARGV[2]) "
    "redis.call('RPUSH', 'rl:members:' .. n, ARGV[2]) "
    "for i = 3, #ARGV do redis.call('SADD', 'rl:invited:' .. n, ARGV[i]) end "
    "redis.call('SADD', 'rl:open', n) "
    "return n";

// A new account, or a new hash for an account of exactly this name (ARGV[3] '1'), unless the
// name is taken without regard to case: 0 taken, 1 added, 2 replaced. KEYS[1] maps the folded
// name to the stored one (accounts made before it are found by their own key); the ratings
// table and the name index get the account at once.
const char kAddAccountScript[] =
    "local owner = redis.call('GET', KEYS[1]) "
    "if not owner and redis.call('EXISTS', KEYS[2]) == 1 then owner = ARGV[1] end "
    "if owner and (owner ~= ARGV[1] or ARGV[3] ~= '1') then return 0 end "
    "redis.call('SET', KEYS[1], ARGV[1]) redis.call('SET', KEYS[2], ARGV[2]) "
    "local r = tonumber(redis.call('HGET', 'rl:ratings', ARGV[1]) or ARGV[5]) "
    "redis.call('ZADD', 'rl:rank', 'NX', -r, ARGV[1]) "
    "redis.call('ZADD', 'rl:names', 0, ARGV[4] .. '\\0' .. ARGV[1]) "
    "if owner then return 2 end return 1";

// The stored name and hash of the account of a name in any case; empty when there is none.
const char kFindAccountScript[] =
    "local n = redis.call('GET', KEYS[1]) "
    "if not n then if redis.call('EXISTS', 'rl:account:' .. ARGV[1]) == 0 then return {} end "
    "n = ARGV[1] end "
    "return {n, redis.call('GET', 'rl:account:' .. n) or ''}";

// Every live server's figures and players: id, figures, then NAME, VALUE pairs, for each. A
// server whose figures expired (no heartbeat for kServerGone) is cleared out with its players.
const char kOnlineScript[] =
    "local out = {} "
    "for _, id in ipairs(redis.call('SMEMBERS', 'rl:servers')) do "
    "  local info = redis.call('GET', 'rl:server:' .. id) "
    "  if not info then redis.call('SREM', 'rl:servers', id) redis.call('DEL', 'rl:online:' .. id) "
    "  else table.insert(out, id) table.insert(out, info) "
    "    table.insert(out, redis.call('HGETALL', 'rl:online:' .. id)) end "
    "end return out";

// Deletes an account with its name's entries, rating and ban: 1 when there was one.
const char kDeleteAccountScript[] =
    "local n = redis.call('DEL', KEYS[1]) "
    "if redis.call('GET', KEYS[2]) == ARGV[1] then redis.call('DEL', KEYS[2]) end "
    "redis.call('ZREM', 'rl:names', ARGV[2] .. '\\0' .. ARGV[1]) "
    "redis.call('ZREM', 'rl:rank', ARGV[1]) redis.call('HDEL', 'rl:ratings', ARGV[1]) "
    "redis.call('HDEL', 'rl:bans', ARGV[1]) return n";

// A chat line: kept among the last ARGV[3], and published.
const char kChatScript[] =
    "redis.call('RPUSH', KEYS[1], ARGV[1]) redis.call('LTRIM', KEYS[1], -tonumber(ARGV[3]), -1) "
    "return redis.call('PUBLISH', KEYS[2], ARGV[2])";

// Takes a player off its server's list, unless the entry is of a newer login.
const char kOfflineScript[] =
    "if redis.call('HGET', KEYS[1], ARGV[1]) == ARGV[2] then redis.call('HDEL', KEYS[1], ARGV[1]) "
    "end return 0";

// A player's entry on its server's list: when it logged in, then its address.
std::string OnlineValue(const OnlinePlayer& player) {
  return std::to_string(player.since) + "\t" + player.address;
}

std::string Key(const char* prefix, uint32_t giid) { return prefix + std::to_string(giid); }

using Reply = std::unique_ptr<redisReply, void (*)(void*)>;

redisContext* Connect(const std::string& host, int port, std::string* error) {
  timeval connectTimeout{1, 0};
  redisContext* c = redisConnectWithTimeout(host.c_str(), port, connectTimeout);
  if (c == nullptr || c->err != 0) {
    *error = "Redis at " + host + ":" + std::to_string(port) + ": " +
             (c != nullptr ? c->errstr : "no memory");
    if (c != nullptr) redisFree(c);
    return nullptr;
  }
  return c;
}

class RedisStore : public Store {
 public:
  RedisStore(std::string host, int port) : host_(std::move(host)), port_(port) {}
  ~RedisStore() override {
    stop_ = true;
    {
      std::lock_guard<std::mutex> lock(subscriberMutex_);
      if (subscriberFd_ >= 0) shutdown(subscriberFd_, SHUT_RDWR);
    }
    if (subscriber_.joinable()) subscriber_.join();
    if (c_ != nullptr) redisFree(c_);
  }

  bool Open(std::string* error) { return Ping(error); }

  // Persistence that a lobby needs: the append-only file (a snapshot alone loses what came
  // after it), and no eviction of keys when memory runs short.
  bool Durable(std::string* why) override {
    std::string error;
    std::map<std::string, std::string> config;
    for (const char* name : {"appendonly", "maxmemory", "maxmemory-policy"}) {
      Reply r = Command({"CONFIG", "GET", name}, &error);
      if (r == nullptr || r->type != REDIS_REPLY_ARRAY || r->elements != 2) {
        *why = "can't read Redis's settings (" + (r == nullptr ? error : "no answer") +
               "), so can't tell whether it keeps what it is given";
        return false;
      }
      config[name] = std::string(r->element[1]->str, r->element[1]->len);
    }
    if (config["appendonly"] != "yes") {
      *why = "Redis runs without its append-only file (appendonly " + config["appendonly"] +
             "): a restart would lose accounts and ratings";
      return false;
    }
    if (config["maxmemory"] != "0" && config["maxmemory-policy"] != "noeviction") {
      *why = "Redis may evict keys when its memory is full (maxmemory-policy " +
             config["maxmemory-policy"] + "): accounts could vanish";
      return false;
    }
    return true;
  }

  bool AddAccount(const Account& account, bool replace, AddResult* result,
                  std::string* error) override {
    std::string folded = FoldName(account.name);
    Reply r = Command(
        {"EVAL", kAddAccountScript, "2", "rl:name:" + folded, "rl:account:" + account.name,
         account.name, account.hash, replace ? "1" : "0", folded, std::to_string(kStartRating)},
        error);
    if (r == nullptr) return false;
    *result = r->integer == 0   ? AddResult::kTaken
              : r->integer == 1 ? AddResult::kAdded
                                : AddResult::kReplaced;
    return true;
  }

  bool FindAccount(const std::string& name, Account* account, std::string* error) override {
    Reply r = Command({"EVAL", kFindAccountScript, "1", "rl:name:" + FoldName(name), name}, error);
    if (r == nullptr) return false;
    *account = {name, ""};
    if (r->elements == 2) *account = {Text(r->element[0]), Text(r->element[1])};
    return true;
  }

  bool TopRatings(uint32_t count, std::vector<Record>* records, std::string* error) override {
    records->clear();
    if (count == 0) return true;
    Reply r = Command({"ZRANGE", "rl:rank", "0", std::to_string(count - 1), "WITHSCORES"}, error);
    if (r == nullptr) return false;
    for (size_t i = 0; i + 1 < r->elements; i += 2)
      records->push_back(
          {Text(r->element[i]), static_cast<uint32_t>(-std::stoll(Text(r->element[i + 1])))});
    return true;
  }

  bool SetBan(const Ban& ban, std::string* error) override {
    return Command({"HSET", "rl:bans", ban.name,
                    PackTexts({ban.reason, std::to_string(ban.expires), std::to_string(ban.at)})},
                   error) != nullptr;
  }

  bool RemoveBan(const std::string& name, bool* removed, std::string* error) override {
    Reply r = Command({"HDEL", "rl:bans", name}, error);
    if (r == nullptr) return false;
    *removed = r->integer > 0;
    return true;
  }

  bool BanOf(const std::string& name, Ban* ban, std::string* error) override {
    Reply r = Command({"HGET", "rl:bans", name}, error);
    if (r == nullptr) return false;
    *ban = Ban();
    if (r->type == REDIS_REPLY_STRING) InForce(name, Text(r.get()), ban);
    return true;
  }

  bool Bans(std::vector<Ban>* bans, std::string* error) override {
    Reply r = Command({"HGETALL", "rl:bans"}, error);
    if (r == nullptr) return false;
    bans->clear();
    for (size_t i = 0; i + 1 < r->elements; i += 2) {
      Ban ban;
      if (InForce(Text(r->element[i]), Text(r->element[i + 1]), &ban)) bans->push_back(ban);
    }
    std::sort(bans->begin(), bans->end(),
              [](const Ban& a, const Ban& b) { return a.name < b.name; });
    return true;
  }

  bool FindAccounts(const std::string& prefix, uint32_t count, std::vector<Record>* accounts,
                    std::string* error) override {
    accounts->clear();
    std::string folded = FoldName(prefix);
    Reply r =
        Command({"ZRANGEBYLEX", "rl:names", folded.empty() ? "-" : "[" + folded,
                 folded.empty() ? "+" : "(" + folded + "\xff", "LIMIT", "0", std::to_string(count)},
                error);
    if (r == nullptr) return false;
    std::vector<std::string> names;
    for (size_t i = 0; i < r->elements; ++i) {
      std::string entry = Text(r->element[i]);
      names.push_back(entry.substr(entry.find('\0') + 1));
    }
    std::sort(names.begin(), names.end());
    return Ratings(names, accounts, error);
  }

  bool DeleteAccount(const std::string& name, bool* deleted, std::string* error) override {
    std::string folded = FoldName(name);
    Reply r = Command({"EVAL", kDeleteAccountScript, "2", "rl:account:" + name, "rl:name:" + folded,
                       name, folded},
                      error);
    if (r == nullptr) return false;
    *deleted = r->integer > 0;
    return true;
  }

  bool Audit(const AuditEntry& entry, std::string* error) override {
    std::string line = PackTexts(
        {std::to_string(entry.at), entry.action, entry.target, entry.address, entry.detail});
    return Command({"RPUSH", "rl:audit", line}, error) != nullptr &&
           Command({"LTRIM", "rl:audit", "-" + std::to_string(kAuditKept), "-1"}, error) != nullptr;
  }

  bool AuditLog(uint32_t count, std::vector<AuditEntry>* entries, std::string* error) override {
    entries->clear();
    if (count == 0) return true;
    Reply r = Command({"LRANGE", "rl:audit", "-" + std::to_string(count), "-1"}, error);
    if (r == nullptr) return false;
    for (size_t i = 0; i < r->elements; ++i) {
      std::vector<std::string> f;
      if (UnpackTexts(Text(r->element[i]), 5, &f))
        entries->push_back({std::stoll(f[0]), f[1], f[2], f[3], f[4]});
    }
    return true;
  }

  bool Chat(const ChatEntry& line, const Bytes& event, std::string* error) override {
    return Command({"EVAL", kChatScript, "2", "rl:chat", kChannel,
                    PackTexts({std::to_string(line.at), line.from, line.text}),
                    std::string(event.begin(), event.end()), std::to_string(kChatKept)},
                   error) != nullptr;
  }

  bool ChatTail(uint32_t count, std::vector<ChatEntry>* lines, std::string* error) override {
    lines->clear();
    if (count == 0) return true;
    Reply r = Command({"LRANGE", "rl:chat", "-" + std::to_string(count), "-1"}, error);
    if (r == nullptr) return false;
    for (size_t i = 0; i < r->elements; ++i) {
      std::vector<std::string> f;
      if (UnpackTexts(Text(r->element[i]), 3, &f)) lines->push_back({std::stoll(f[0]), f[1], f[2]});
    }
    return true;
  }

  bool OpenInstances(uint32_t count, std::vector<InstanceInfo>* instances, uint64_t* total,
                     std::string* error) override {
    instances->clear();
    Reply r = Command({"SMEMBERS", "rl:open"}, error);
    if (r == nullptr) return false;
    std::vector<uint32_t> open;
    for (size_t i = 0; i < r->elements; ++i)
      open.push_back(static_cast<uint32_t>(std::stoul(Text(r->element[i]))));
    *total = open.size();
    std::sort(open.rbegin(), open.rend());
    for (size_t i = 0; i < open.size() && i < count; ++i) {
      InstanceInfo info;
      info.giid = open[i];
      Reply invited = Command({"EXISTS", Key("rl:invited:", open[i])}, error);
      if (invited == nullptr || !Members(open[i], &info.members, error)) return false;
      info.invitedOnly = invited->integer != 0;
      instances->push_back(info);
    }
    return true;
  }

  bool Ping(std::string* error) override { return Command({"PING"}, error) != nullptr; }

  bool Heartbeat(const ServerInfo& server, const std::vector<OnlinePlayer>* resync,
                 std::string* error) override {
    std::string online = "rl:online:" + server.id;
    bool ok = Command({"MULTI"}, error) != nullptr;
    if (ok && resync != nullptr) {
      Command({"DEL", online}, error);
      std::vector<std::string> set = {"HSET", online};
      for (const OnlinePlayer& player : *resync) {
        set.push_back(player.name);
        set.push_back(OnlineValue(player));
      }
      if (!resync->empty()) Command(set, error);
    }
    if (ok) {
      Command({"SET", "rl:server:" + server.id, PackServer(server), "PX",
               std::to_string(kServerGone.count())},
              error);
      Command({"SADD", "rl:servers", server.id}, error);
    }
    return ok && Command({"EXEC"}, error) != nullptr;
  }

  bool SetOnline(const OnlinePlayer& player, bool online, std::string* error) override {
    std::string key = "rl:online:" + player.server;
    if (online) return Command({"HSET", key, player.name, OnlineValue(player)}, error) != nullptr;
    return Command({"EVAL", kOfflineScript, "1", key, player.name, OnlineValue(player)}, error) !=
           nullptr;
  }

  bool Leave(const std::string& server, std::string* error) override {
    return Command({"DEL", "rl:server:" + server, "rl:online:" + server}, error) != nullptr &&
           Command({"SREM", "rl:servers", server}, error) != nullptr;
  }

  bool Online(std::vector<ServerInfo>* servers, std::vector<OnlinePlayer>* players,
              std::string* error) override {
    Reply r = Command({"EVAL", kOnlineScript, "0"}, error);
    if (r == nullptr) return false;
    servers->clear();
    players->clear();
    for (size_t i = 0; i + 2 < r->elements; i += 3) {
      ServerInfo server;
      if (!UnpackServer(Text(r->element[i + 1]), &server)) continue;
      server.id = Text(r->element[i]);
      servers->push_back(server);
      const redisReply* list = r->element[i + 2];
      for (size_t j = 0; j + 1 < list->elements; j += 2) {
        std::string value = Text(list->element[j + 1]);
        size_t tab = value.find('\t');
        if (tab == std::string::npos) continue;
        players->push_back({Text(list->element[j]), server.id, value.substr(tab + 1),
                            std::stoll(value.substr(0, tab))});
      }
    }
    Deduplicate(players);
    return true;
  }

  // The ratings of these players, as records in the same order (kStartRating when unrated).
  bool Ratings(const std::vector<std::string>& names, std::vector<Record>* records,
               std::string* error) override {
    std::map<std::string, int64_t> values;
    if (!HashNumbers(kRatings, names, &values, error)) return false;
    records->clear();
    for (const std::string& name : names) {
      auto found = values.find(name);
      records->push_back(
          {name, found != values.end() ? static_cast<uint32_t>(found->second) : kStartRating});
    }
    return true;
  }

  // Reads the fields of a hash that hold numbers; fields missing from it stay out of *values.
  bool HashNumbers(const char* hash, const std::vector<std::string>& fields,
                   std::map<std::string, int64_t>* values, std::string* error) {
    if (fields.empty()) return true;
    std::vector<std::string> get = {"HMGET", hash};
    get.insert(get.end(), fields.begin(), fields.end());
    Reply r = Command(get, error);
    if (r == nullptr) return false;
    for (size_t i = 0; i < fields.size() && i < r->elements; ++i) {
      if (r->element[i]->type == REDIS_REPLY_STRING)
        (*values)[fields[i]] = std::stoll(std::string(r->element[i]->str, r->element[i]->len));
    }
    return true;
  }

  bool Rating(const std::string& name, uint32_t* rating, std::string* error) override {
    Reply r = Command({"HGET", kRatings, name}, error);
    if (r == nullptr) return false;
    *rating =
        r->type == REDIS_REPLY_STRING ? static_cast<uint32_t>(std::stoul(r->str)) : kStartRating;
    return true;
  }

  bool NewInstance(const std::string& creator, const std::vector<std::string>& invited,
                   uint32_t atLeast, uint32_t* giid, std::string* error) override {
    std::vector<std::string> args = {"EVAL",    kNewInstanceScript,      "1",
                                     "rl:giid", std::to_string(atLeast), creator};
    args.insert(args.end(), invited.begin(), invited.end());
    Reply r = Command(args, error);
    if (r == nullptr) return false;
    *giid = static_cast<uint32_t>(r->integer);
    return true;
  }

  bool Join(uint32_t giid, const std::string& player, bool* joined, bool* added,
            std::string* error) override {
    Reply r = Command(
        {"EVAL", kJoinScript, "4", Key("rl:members:", giid), Key("rl:memberset:", giid),
         Key("rl:final:", giid), Key("rl:invited:", giid), player, std::to_string(kMaxRecords)},
        error);
    if (r == nullptr) return false;
    *joined = r->type == REDIS_REPLY_INTEGER && r->integer >= 1;
    *added = *joined && r->integer == 1;
    return true;
  }

  bool Members(uint32_t giid, std::vector<std::string>* members, std::string* error) override {
    Reply r = Command({"LRANGE", Key("rl:members:", giid), "0", "-1"}, error);
    if (r == nullptr) return false;
    members->clear();
    for (size_t i = 0; i < r->elements; ++i) {
      members->emplace_back(r->element[i]->str, r->element[i]->len);
    }
    return true;
  }

  bool Report(uint32_t giid, const lobby::Report& report, int64_t pairCooldownSeconds,
              Outcome* outcome, std::string* error) override {
    std::string final = Key("rl:final:", giid);
    std::string reportsKey = Key("rl:reports:", giid);
    // A member's first report stands; it is noted before the transaction, which reads them all.
    std::string noted = std::string(1, static_cast<char>(report.vote)) + report.scores;
    if (Command({"HSETNX", reportsKey, report.player, noted}, error) == nullptr) return false;
    for (int attempt = 0; attempt < 50; ++attempt) {
      if (Command({"WATCH", kRatings, kPairs, final, Key("rl:members:", giid), reportsKey},
                  error) == nullptr)
        return false;
      *outcome = Outcome();
      Reply done = Command({"GET", final}, error);
      if (done == nullptr) return false;
      if (done->type == REDIS_REPLY_STRING) {
        Command({"UNWATCH"}, error);
        if (UnpackOutcome(Bytes(done->str, done->str + done->len), outcome)) return true;
        *error = "a stored outcome is unreadable";
        return false;
      }
      std::vector<std::string> names;
      std::vector<lobby::Report> reports;
      Reply all = Command({"HGETALL", reportsKey}, error);
      if (all == nullptr || !Members(giid, &names, error)) return false;
      for (size_t i = 0; i + 1 < all->elements; i += 2) {
        std::string value(all->element[i + 1]->str, all->element[i + 1]->len);
        if (value.empty()) continue;
        reports.push_back({std::string(all->element[i]->str, all->element[i]->len),
                           static_cast<uint8_t>(value[0]), value.substr(1)});
      }
      lobby::Report agreed;
      if (!AgreedReport(names.size(), reports, &agreed)) {
        Command({"UNWATCH"}, error);
        outcome->pending = true;
        return true;
      }
      std::vector<Record> before;
      if (!Ratings(names, &before, error)) return false;
      std::vector<std::string> pairs;
      for (size_t i = 0; i < names.size(); ++i) {
        for (size_t j = i + 1; j < names.size(); ++j) pairs.push_back(PairKey(names[i], names[j]));
      }
      std::map<std::string, int64_t> last;
      if (!HashNumbers(kPairs, pairs, &last, error)) return false;
      int64_t now = time(nullptr);
      std::vector<std::string> stamp;
      *outcome = AgreedOutcome(
          before, agreed, [&last](const std::string& key) { return last[key]; }, now,
          pairCooldownSeconds, &stamp);
      Bytes packed = PackOutcome(giid, *outcome);
      std::vector<std::string> set = {"HSET", kRatings};
      std::vector<std::string> rank = {"ZADD", "rl:rank"};
      std::string history = "giid=" + std::to_string(giid);
      for (const Record& record : outcome->players) {
        set.push_back(record.name);
        set.push_back(std::to_string(record.rating));
        rank.push_back("-" + std::to_string(record.rating));
        rank.push_back(record.name);
        history += " " + record.name + "=" + std::to_string(record.rating);
      }
      std::vector<std::string> stamps = {"HSET", kPairs};
      for (const std::string& key : stamp) {
        stamps.push_back(key);
        stamps.push_back(std::to_string(now));
      }
      if (Command({"MULTI"}, error) == nullptr) return false;
      if (!names.empty()) Command(set, error);
      if (!names.empty()) Command(rank, error);
      if (!stamp.empty()) Command(stamps, error);
      Command({"SET", final, std::string(packed.begin(), packed.end())}, error);
      Command({"RPUSH", "rl:history", history}, error);
      Command({"SREM", "rl:open", std::to_string(giid)}, error);
      Reply exec = Command({"EXEC"}, error);
      if (exec == nullptr) return false;
      if (exec->type == REDIS_REPLY_ARRAY) return true;
      // Nil: a watched key changed under us; read again and try again.
    }
    *error = "Redis: results kept conflicting with other servers' writes";
    return false;
  }

  bool Accuse(uint32_t giid, const std::string& by, const std::string& player,
              std::string* error) override {
    return Command({"RPUSH", "rl:accusations", std::to_string(giid) + " " + by + " " + player},
                   error) != nullptr;
  }

  bool Publish(const Bytes& event, std::string* error) override {
    return Command({"PUBLISH", kChannel, std::string(event.begin(), event.end())}, error) !=
           nullptr;
  }

  void Subscribe(std::function<void(const Bytes&)> handler) override {
    handler_ = std::move(handler);
    subscriber_ = std::thread([this] { Listen(); });
  }

 private:
  // A stored ban, when it is still in force.
  static bool InForce(const std::string& name, const std::string& packed, Ban* ban) {
    std::vector<std::string> f;
    if (!UnpackTexts(packed, 3, &f)) return false;
    *ban = {name, f[0], std::stoll(f[1]), std::stoll(f[2])};
    if (ban->expires == 0 || ban->expires > UnixMs()) return true;
    *ban = Ban();
    return false;
  }

  static std::string Text(const redisReply* reply) {
    return reply->str != nullptr ? std::string(reply->str, reply->len) : std::string();
  }

  // Runs one command; a broken connection is made again once. Null (with *error) on failure;
  // an error reply is a failure too.
  Reply Command(const std::vector<std::string>& args, std::string* error) {
    std::vector<const char*> argv;
    std::vector<size_t> lengths;
    for (const std::string& arg : args) {
      argv.push_back(arg.data());
      lengths.push_back(arg.size());
    }
    for (int attempt = 0; attempt < 2; ++attempt) {
      if (c_ == nullptr && (c_ = Connect(host_, port_, error)) != nullptr) {
        timeval commandTimeout{2, 0};
        redisSetTimeout(c_, commandTimeout);
      }
      if (c_ == nullptr) return Reply(nullptr, freeReplyObject);
      auto* raw = static_cast<redisReply*>(
          redisCommandArgv(c_, static_cast<int>(argv.size()), argv.data(), lengths.data()));
      if (raw != nullptr) {
        Reply reply(raw, freeReplyObject);
        if (reply->type != REDIS_REPLY_ERROR) return reply;
        *error = "Redis: " + std::string(reply->str, reply->len);
        return Reply(nullptr, freeReplyObject);
      }
      *error = "Redis at " + host_ + ":" + std::to_string(port_) + ": " + c_->errstr;
      redisFree(c_);
      c_ = nullptr;
    }
    return Reply(nullptr, freeReplyObject);
  }

  // The subscriber: reads the channel until the store closes, reconnecting with back-off.
  void Listen() {
    int pauseMs = 100;
    bool lost = false;
    while (!stop_) {
      std::string error;
      redisContext* c = Connect(host_, port_, &error);
      if (c != nullptr) {
        std::lock_guard<std::mutex> lock(subscriberMutex_);
        subscriberFd_ = c->fd;
      }
      void* raw = nullptr;
      Reply subscribed(c != nullptr && !stop_
                           ? static_cast<redisReply*>(redisCommand(c, "SUBSCRIBE %s", kChannel))
                           : nullptr,
                       freeReplyObject);
      if (subscribed != nullptr) {
        if (lost) Log(LogLevel::kWarning, "store-back", "Redis is back; events flow again");
        lost = false;
        pauseMs = 100;
        while (!stop_ && redisGetReply(c, &raw) == REDIS_OK) {
          Reply reply(static_cast<redisReply*>(raw), freeReplyObject);
          if (reply->type == REDIS_REPLY_ARRAY && reply->elements == 3 &&
              reply->element[2]->type == REDIS_REPLY_STRING) {
            const char* data = reply->element[2]->str;
            handler_(Bytes(data, data + reply->element[2]->len));
          }
        }
      }
      if (c != nullptr) {
        std::lock_guard<std::mutex> lock(subscriberMutex_);
        subscriberFd_ = -1;
        redisFree(c);
      }
      if (stop_) break;
      if (!lost) Log(LogLevel::kWarning, "store-lost", "lost Redis for events; trying again");
      lost = true;
      std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
      pauseMs = pauseMs * 2 > 2000 ? 2000 : pauseMs * 2;
    }
  }

  std::string host_;
  int port_;
  redisContext* c_ = nullptr;
  std::function<void(const Bytes&)> handler_;
  std::thread subscriber_;
  std::mutex subscriberMutex_;
  int subscriberFd_ = -1;
  std::atomic<bool> stop_{false};
};

}  // namespace

std::unique_ptr<Store> OpenRedisStore(const std::string& hostPort, std::string* error) {
  size_t colon = hostPort.rfind(':');
  if (colon == std::string::npos) {
    *error = "redis://HOST:PORT expected, got redis://" + hostPort;
    return nullptr;
  }
  int port = atoi(hostPort.c_str() + colon + 1);
  auto store = std::make_unique<RedisStore>(hostPort.substr(0, colon), port);
  if (!store->Open(error)) return nullptr;
  return store;
}

}  // namespace lobby
