#include "store.h"

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

std::vector<Record> NewRatings(const std::vector<Record>& before, const std::string& scores) {
  std::vector<Record> after = before;
  auto score = [&scores](size_t i) {
    return i < scores.size() ? static_cast<uint8_t>(scores[i]) : 0;
  };
  for (size_t i = 0; i < before.size(); ++i) {
    int64_t rating = before[i].rating;
    for (size_t j = 0; j < before.size(); ++j) {
      if (score(j) < score(i)) rating += kRatingStep;
      if (score(j) > score(i)) rating -= kRatingStep;
    }
    after[i].rating = static_cast<uint32_t>(rating < 0 ? 0 : rating);
  }
  return after;
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
