#include "lobby.h"

namespace mp {

namespace {

Message Event(uint8_t type) {
  Message event;
  event.type = type;
  return event;
}

}  // namespace

uint32_t Lobby::Rating(const std::string& player) const {
  auto found = ratings_.find(player);
  return found != ratings_.end() ? found->second : settings_.startRating;
}

// Player 0 is the local player, then the others; a game with more players than names gets
// "Player5" and so on (counting from 1).
std::string Lobby::PlayerName(uint32_t index) const {
  if (index == 0) return settings_.localPlayer;
  if (index <= settings_.others.size()) return settings_.others[index - 1];
  return "Player" + std::to_string(index + 1);
}

// The rating rule: player i's score is result byte i (0 where the game sent fewer bytes).
// Each player gains kRatingStep for every other player with a lower score and loses it for
// every one with a higher score; a rating never falls below 0. All changes are worked out
// from the ratings before the game.
Message Lobby::Results(const Message& request) {
  uint32_t count = request.NumberOf("NumPlrs");
  if (count > kMaxPlayerRecords) count = kMaxPlayerRecords;
  std::string results = request.TextOf("Results");
  std::vector<int> scores(count);
  std::vector<int64_t> ratings(count);
  for (uint32_t i = 0; i < count; ++i) {
    scores[i] = i < results.size() ? static_cast<uint8_t>(results[i]) : 0;
    ratings[i] = Rating(PlayerName(i));
  }
  Message event = Event(kNewGameResults);
  event.AddNumber("GiID", request.NumberOf("GiID"));
  event.AddNumber("Vote", request.NumberOf("Vote"));
  event.AddNumber("NumPlrs", count);
  event.AddNumber("RecordsSize", count * 36);
  for (uint32_t i = 0; i < count; ++i) {
    int64_t rating = ratings[i];
    for (uint32_t j = 0; j < count; ++j) {
      if (scores[j] < scores[i]) rating += kRatingStep;
      if (scores[j] > scores[i]) rating -= kRatingStep;
    }
    if (rating < 0) rating = 0;
    ratings_[PlayerName(i)] = static_cast<uint32_t>(rating);
    event.AddPlayer(PlayerName(i), static_cast<uint32_t>(rating));
  }
  return event;
}

std::vector<Message> Lobby::Handle(const Message& request) {
  std::vector<Message> events;
  switch (request.type) {
    case kInitialise:
      initialiseValue_ = static_cast<int>(request.NumberOf("InitialiseValue"));
      break;
    case kGameState:
      gameState_ = static_cast<int>(request.NumberOf("State"));
      break;
    case kServerDescription:
      descriptionSeen_ = true;
      extraBlock_ = request.TextOf("Extra");
      nonBlock_ = request.TextOf("Non");
      break;
    case kStats:
      statsSeen_ = true;
      stats_ = request.TextOf("Stats");
      break;
    case kAccusePlayer:
      accused_.emplace_back(request.NumberOf("GiID"), request.TextOf("Player"));
      break;
    case kStartGameInstance: {
      uint32_t giid = nextGiID_++;
      instances_.insert(giid);
      events.push_back(Event(kNewGameInstance));
      events.back().AddNumber("GiID", giid);
      events.back().AddNumber("VotingFlags", settings_.votingFlags);
      break;
    }
    case kJoinGame: {
      uint32_t giid = request.NumberOf("GiID");
      events.push_back(Event(kNewGameJoin));
      events.back().AddNumber("GiID", giid);
      events.back().AddNumber("Result", KnowsInstance(giid) ? 1 : 0);
      break;
    }
    case kVote:
      events.push_back(Event(kNewGameVote));
      events.back().AddNumber("GiID", request.NumberOf("GiID"));
      events.back().AddNumber("Vote", request.NumberOf("Vote"));
      events.back().AddText("Voter", settings_.localPlayer);
      break;
    case kGameResults:
      events.push_back(Results(request));
      break;
    case kLobbyMessage:
      events.push_back(Event(kIncomingMessage));
      events.back().AddText("From", request.TextOf("From"));
      events.back().AddText("Text", request.TextOf("Text"));
      break;
  }
  if (!settings_.answer) events.clear();
  return events;
}

void Lobby::Sent(const Message& event) {
  if (event.type == kNewGameInstance) instances_.insert(event.NumberOf("GiID"));
}

std::vector<std::string> Lobby::Describe() const {
  std::vector<std::string> lines;
  std::string line = "game instances:";
  for (uint32_t giid : instances_) line += " " + std::to_string(giid);
  lines.push_back(instances_.empty() ? line + " none" : line);
  lines.push_back(
      "initialise value: " + (initialiseValue_ < 0 ? "none" : std::to_string(initialiseValue_)) +
      ", game state: " + (gameState_ < 0 ? "none" : std::to_string(gameState_)));
  line = "ratings:";
  for (const auto& rating : ratings_)
    line += " " + Quote(rating.first) + ":" + std::to_string(rating.second);
  lines.push_back(ratings_.empty() ? line + " none" : line);
  lines.push_back("statistics: " + (statsSeen_ ? Quote(stats_) : "none"));
  lines.push_back(descriptionSeen_ ? "server description: Extra=" +
                                         ToHex(Bytes(extraBlock_.begin(), extraBlock_.end())) +
                                         " Non=" + ToHex(Bytes(nonBlock_.begin(), nonBlock_.end()))
                                   : "server description: none");
  line = "accused players:";
  for (const auto& accused : accused_) {
    line += " " + Quote(accused.second) + " in " + std::to_string(accused.first);
  }
  lines.push_back(accused_.empty() ? line + " none" : line);
  return lines;
}

}  // namespace mp
