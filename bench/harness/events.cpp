#include "events.h"

#include <cstdlib>

#include "codec.h"

// An event's payload from meetpoint's encoder.
static mp::Bytes Encoded(const mp::Message& event) {
  mp::Bytes payload;
  std::string problem;
  if (!mp::EncodeEvent(event, &payload, &problem)) abort();  // a typing error in the caller
  return payload;
}

static mp::Message Event(uint8_t type,
                         std::initializer_list<std::pair<const char*, uint32_t>> numbers) {
  mp::Message event;
  event.type = type;
  for (const auto& n : numbers) event.AddNumber(n.first, n.second);
  return event;
}

mp::Bytes NewGameInstance(uint32_t giid, uint32_t flags) {
  return Encoded(Event(mp::kNewGameInstance, {{"GiID", giid}, {"VotingFlags", flags}}));
}

mp::Bytes NewGameJoin(uint32_t giid, uint32_t result) {
  return Encoded(Event(mp::kNewGameJoin, {{"GiID", giid}, {"Result", result}}));
}

mp::Bytes NewGameVote(uint32_t giid, uint8_t vote, const std::string& voter) {
  mp::Message event = Event(mp::kNewGameVote, {{"GiID", giid}, {"Vote", vote}});
  event.AddText("Voter", voter);
  return Encoded(event);
}

mp::Bytes IncomingMessage(const std::string& from, const std::string& text) {
  mp::Message event = Event(mp::kIncomingMessage, {});
  event.AddText("From", from);
  event.AddText("Text", text);
  return Encoded(event);
}

mp::Bytes NewGameResults(uint32_t giid, uint8_t vote,
                         const std::vector<std::pair<std::string, uint32_t>>& players) {
  mp::Message event = Event(mp::kNewGameResults, {{"GiID", giid}, {"Vote", vote}});
  for (const auto& p : players) event.AddPlayer(p.first, p.second);
  return Encoded(event);
}
