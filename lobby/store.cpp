#include "store.h"

#include <algorithm>
#include <ctime>
#include <map>

#include "store_redis.h"
#include "store_sqlite.h"

namespace lobby {

std::unique_ptr<Store> OpenStore(const std::string& where, std::string* error) {
  const std::string redis = "redis://";
  if (where.compare(0, redis.size(), redis) == 0)
    return OpenRedisStore(where.substr(redis.size()), error);
  const std::string sqlite = "sqlite:";
  if (where.compare(0, sqlite.size(), sqlite) == 0)
    return OpenSqliteStore(where.substr(sqlite.size()), error);
  return OpenSqliteStore(where, error);
}

namespace {

uint8_t ScoreOf(const std::string& scores, size_t i) {
  return i < scores.size() ? static_cast<uint8_t>(scores[i]) : 0;
}

}  // namespace

bool AgreedReport(size_t members, const std::vector<Report>& reports, Report* agreed) {
  // The members' scores only: bytes past the last member say nothing about this instance.
  std::map<std::string, size_t> votes;
  for (const Report& report : reports) {
    std::string scores(members, '\0');
    for (size_t i = 0; i < members; ++i) scores[i] = static_cast<char>(ScoreOf(report.scores, i));
    if (++votes[scores] * 2 > members) {
      *agreed = report;
      return true;
    }
  }
  return false;
}

std::vector<Record> NewRatings(const std::vector<Record>& before, const std::string& scores,
                               const Pairs& skip) {
  std::vector<Record> after = before;
  for (size_t i = 0; i < before.size(); ++i) {
    int64_t rating = before[i].rating;
    for (size_t j = 0; j < before.size(); ++j) {
      if (skip.count({std::min(i, j), std::max(i, j)}) != 0) continue;
      if (ScoreOf(scores, j) < ScoreOf(scores, i)) rating += kRatingStep;
      if (ScoreOf(scores, j) > ScoreOf(scores, i)) rating -= kRatingStep;
    }
    after[i].rating = static_cast<uint32_t>(rating < 0 ? 0 : rating);
  }
  return after;
}

std::string PairKey(const std::string& a, const std::string& b) {
  // A zero byte never ends a name: names are counted texts, and the stores keep them whole.
  return a < b ? a + std::string(1, '\0') + b : b + std::string(1, '\0') + a;
}

Outcome AgreedOutcome(const std::vector<Record>& before, const Report& agreed,
                      const std::function<int64_t(const std::string&)>& lastRated, int64_t now,
                      int64_t cooldownSeconds, std::vector<std::string>* stamp) {
  Pairs skip;
  stamp->clear();
  for (size_t i = 0; i < before.size(); ++i) {
    for (size_t j = i + 1; j < before.size(); ++j) {
      std::string key = PairKey(before[i].name, before[j].name);
      int64_t last = lastRated(key);
      if (last != 0 && now - last < cooldownSeconds) {
        skip.insert({i, j});
      } else {
        stamp->push_back(key);
      }
    }
  }
  Outcome outcome;
  outcome.fresh = true;
  outcome.vote = agreed.vote;
  outcome.players = NewRatings(before, agreed.scores, skip);
  return outcome;
}

std::string PackServer(const ServerInfo& server) {
  Bytes packed;
  for (const std::string* text : {&server.id, &server.name, &server.listen})
    PutText(&packed, *text);
  PutU32(&packed, server.players);
  for (int64_t time : {server.started, server.heartbeat}) {
    PutU32(&packed, static_cast<uint32_t>(static_cast<uint64_t>(time) >> 32));
    PutU32(&packed, static_cast<uint32_t>(time));
  }
  return std::string(packed.begin(), packed.end());
}

bool UnpackServer(const std::string& packed, ServerInfo* server) {
  size_t at = 0;
  auto text = [&](std::string* out) {
    if (packed.size() - at < 2) return false;
    size_t length = static_cast<uint8_t>(packed[at]) | (static_cast<uint8_t>(packed[at + 1]) << 8);
    if (packed.size() - at - 2 < length) return false;
    *out = packed.substr(at + 2, length);
    at += 2 + length;
    return true;
  };
  auto u32 = [&](uint32_t* out) {
    if (packed.size() - at < 4) return false;
    *out = GetU32(reinterpret_cast<const uint8_t*>(packed.data()) + at);
    at += 4;
    return true;
  };
  uint32_t parts[4];
  if (!text(&server->id) || !text(&server->name) || !text(&server->listen) ||
      !u32(&server->players))
    return false;
  for (uint32_t& part : parts) {
    if (!u32(&part)) return false;
  }
  server->started = static_cast<int64_t>((static_cast<uint64_t>(parts[0]) << 32) | parts[1]);
  server->heartbeat = static_cast<int64_t>((static_cast<uint64_t>(parts[2]) << 32) | parts[3]);
  return true;
}

void Deduplicate(std::vector<OnlinePlayer>* players) {
  std::sort(players->begin(), players->end(), [](const OnlinePlayer& a, const OnlinePlayer& b) {
    return a.name != b.name ? a.name < b.name : a.since > b.since;
  });
  players->erase(
      std::unique(players->begin(), players->end(),
                  [](const OnlinePlayer& a, const OnlinePlayer& b) { return a.name == b.name; }),
      players->end());
}

std::string PackTexts(const std::vector<std::string>& texts) {
  Bytes packed;
  for (const std::string& text : texts) {
    PutU32(&packed, static_cast<uint32_t>(text.size()));
    packed.insert(packed.end(), text.begin(), text.end());
  }
  return std::string(packed.begin(), packed.end());
}

bool UnpackTexts(const std::string& packed, size_t count, std::vector<std::string>* texts) {
  texts->clear();
  size_t at = 0;
  for (size_t i = 0; i < count; ++i) {
    if (packed.size() - at < 4) return false;
    uint32_t length = GetU32(reinterpret_cast<const uint8_t*>(packed.data()) + at);
    if (packed.size() - at - 4 < length) return false;
    texts->push_back(packed.substr(at + 4, length));
    at += 4 + length;
  }
  return at == packed.size();
}

std::string BanText(const Ban& ban) {
  std::string until = "for good";
  if (ban.expires != 0) {
    time_t seconds = static_cast<time_t>(ban.expires / 1000);
    tm utc{};
    gmtime_r(&seconds, &utc);
    char stamp[32];
    strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &utc);
    until = std::string("until ") + stamp;
  }
  return ban.name + " is banned " + until + ": " + ban.reason;
}

int64_t UnixMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

Bytes PackOutcome(uint32_t giid, const Outcome& outcome) {
  Bytes payload;
  std::string problem;
  Encode(Message(kFinalResults).Num(giid).Num(outcome.vote).Records(outcome.players), &payload,
         &problem);
  return payload;
}

bool UnpackOutcome(const Bytes& packed, Outcome* outcome) {
  Message message;
  std::string problem;
  if (!Decode(packed.data(), packed.size(), &message, &problem) || message.type != kFinalResults) {
    return false;
  }
  outcome->vote = message.num(1);
  outcome->players = message.records(2);
  return true;
}

}  // namespace lobby
