// What meetpoint tells its page (page_server.h): the game's connection, requests and events,
// and the lobby, either as the relay hears it from a lobby server (its messages) or, without
// one, meetpoint's own lobby (the events it sends the game). Called on the main loop's thread;
// each call hands a change to the page's thread.
#pragma once

#include <memory>
#include <string>

#include "lobby.h"
#include "message.h"
#include "page_server.h"
#include "protocol.h"

namespace mp {

class PageFeed {
 public:
  explicit PageFeed(std::unique_ptr<PageServer> server) : server_(std::move(server)) {}
  PageServer& Server() { return *server_; }

  void GameOpened(int connection);
  void GameEnded(int connection, const std::string& how);
  // dir: "in", "out" or "info"; the line as the console shows it.
  void GameLine(const std::string& dir, const std::string& line);

  // Meetpoint's own lobby: its players and ratings, and an event it sent the game.
  void LocalPlayers(const Lobby& lobby, const LobbySettings& settings);
  void LocalEvent(const Message& event, const Lobby& lobby, const LobbySettings& settings);
  void Chat(const std::string& from, const std::string& text);

  // The lobby server: the state of the link, and a message the relay passed on.
  void Link(const std::string& state, const std::string& text);
  void FromLobby(const lobby::Message& message);

 private:
  std::unique_ptr<PageServer> server_;
};

}  // namespace mp
