// A small lobby: it hands out game instances, answers joins, votes, results and chat, keeps
// ratings, and stores what the game reports (statistics, accused players, description blocks).
// It lives as long as meetpoint runs, across game connections.
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

#include "message.h"

namespace mp {

struct LobbySettings {
  std::string localPlayer = "Ada";                     // votes in answer to the game's votes
  std::vector<std::string> others = {"Bram", "Cleo"};  // the other players of a game
  uint32_t firstGiID = 1;                              // the first game instance handed out
  uint32_t votingFlags = 1;                            // sent with every new game instance
  uint32_t startRating = 1000;                         // a player's rating before any game
  bool answer = true;                                  // false: record requests, send nothing
};

// Ratings move by this much per other player of the game who scored lower (up) or higher
// (down).
const uint32_t kRatingStep = 10;
// The most player records one answer holds: more would not fit into a frame the game can
// receive.
const uint32_t kMaxPlayerRecords = 113;

class Lobby {
 public:
  explicit Lobby(const LobbySettings& settings)
      : settings_(settings), nextGiID_(settings.firstGiID) {}

  // Takes one request and returns the events that answer it, in order.
  std::vector<Message> Handle(const Message& request);
  // Learns of an event meetpoint sent: a game instance announced by a script is known too.
  void Sent(const Message& event);
  // The lobby's state, one readable line each.
  std::vector<std::string> Describe() const;

  uint32_t Rating(const std::string& player) const;
  bool KnowsInstance(uint32_t giid) const { return instances_.count(giid) != 0; }

 private:
  std::string PlayerName(uint32_t index) const;
  Message Results(const Message& request);

  LobbySettings settings_;
  uint32_t nextGiID_;
  std::set<uint32_t> instances_;
  std::map<std::string, uint32_t> ratings_;
  std::vector<std::pair<uint32_t, std::string>> accused_;
  std::string stats_;
  std::string extraBlock_;
  std::string nonBlock_;
  int gameState_ = -1;
  int initialiseValue_ = -1;
  bool descriptionSeen_ = false;
  bool statsSeen_ = false;
};

}  // namespace mp
